// Two pieces of work at once: the first on a thread of its own, the second on the calling
// thread (RunBoth). For the work of one call that splits into independent halves, such as
// making the sort keys of a column's texts, which takes half the time on two cores. Neither
// piece may call the caller's code or touch what the other writes; both only read the
// caller's cells, which nothing changes while the call runs within the engine.
#pragma once

namespace tk::platform {

// Runs first(firstArgument) and second(secondArgument) and returns once both are done. When no
// thread can be started (the system is short of them, or of memory), both run here, one after
// the other: the results are the same, only later.
void RunBoth(void (*first)(void*), void* firstArgument, void (*second)(void*),
             void* secondArgument) noexcept;

}  // namespace tk::platform

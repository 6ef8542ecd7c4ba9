// One call of TKselect at a time (EnterCall, LeaveCall), and the guard of a call's stack
// (RunGuarded): a frame of its own on the system's exception chain, written for each
// architecture (table-based unwinding in the 64-bit build, the fs:[0] chain in the 32-bit
// one), so that a structured exception the host catches above us still ends the call cleanly.
#pragma once

#include <cstdint>

namespace tk::platform {

// Claims the library for the calling thread; false when a call is inside already, on this
// thread (the caller's code, run by a Range or a release, calling back) or on another. The
// engine, its texts and the counters above are one per process, so one call at a time gets
// in, and nobody waits for the one inside: waiting could hang the host for good, for the call
// inside may be running the caller's code (a recalculation on calculation threads, an event)
// that itself waits for the thread now calling.
bool EnterCall() noexcept;
// Gives the library back after EnterCall. Has no effect unless this thread holds it, so it is
// safe twice.
void LeaveCall() noexcept;

using GuardedBody = std::int32_t (*)(void* context);
using UnwindHandler = void (*)(void* context);

// Returns body(context). When a structured exception raised below (in the caller's code that
// a Range method or a release runs) is caught by a handler above, the stack is unwound past
// this frame without any code of ours running to its end: onUnwind(context) then runs first,
// on the unwinding thread, and the exception goes on to its handler. Destructors are no help
// there: the 32-bit build's frames are invisible to the system's unwinder, and the 64-bit
// one skips them for an exception that is not C++'s. The exception is never stopped here:
// it is the host's.
std::int32_t RunGuarded(GuardedBody body, UnwindHandler onUnwind, void* context) noexcept;

}  // namespace tk::platform

// For src/platform alone: what the call inside holds while it runs is noted here, so that
// GiveBackHeld (call_guard.cpp) can give it back when the call never gets to (an exception
// unwound it, its thread ended). InvokeByName notes its argument block with these.
#pragma once

#include "platform/ole.h"

namespace tk::platform {

// Notes a reference to release or a block to free (either may be nullptr).
void Note(IDispatch* reference, void* block) noexcept;
// Crosses off the last note of `item`, a reference or a block.
void CrossOff(const void* item) noexcept;

}  // namespace tk::platform

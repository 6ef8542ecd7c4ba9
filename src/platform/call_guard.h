// One call of TKselect at a time (EnterCall, LeaveCall), and the guard of a call's stack
// (RunGuarded): a frame of its own on the system's exception chain, written for each
// architecture (table-based unwinding in the 64-bit build, the fs:[0] chain in the 32-bit
// one), so that a structured exception the host catches above us still ends the call cleanly.
#pragma once

#include <cstdint>

#include "platform/ole.h"

namespace tk::platform {

// Claims the library for the calling thread, with `record` (the caller's record, or nullptr) as
// the record the call works on; false when a call is inside already, on this thread (the
// caller's code, run by a Range or a release, calling back) or on another, and also when a
// refused call is writing its 712 into `record` at this moment. The engine, its texts and the
// counters above are one per process, so one call at a time gets in, and nobody waits for the
// one inside: waiting could hang the host for good, for the call inside may be running the
// caller's code (a recalculation on calculation threads, an event) that itself waits for the
// thread now calling.
// A call inside whose thread has ended (ExitThread in the caller's code, or the thread
// terminated from outside) never leaves: the first call that finds it gone takes the library
// over, runs `dropGoneCall` (which drops that call's work and gives back what it held, as
// after an exception) and gets in.
bool EnterCall(const void* record, void (*dropGoneCall)()) noexcept;
// Gives the library back after EnterCall. Has no effect unless this thread holds it, so it is
// safe twice.
void LeaveCall() noexcept;
// True when the calling thread holds the library.
bool OwnsCall() noexcept;

// A refused call may write its 712 into its own record only while no call works on that
// record: BeginRefusalWrite claims `record` for the refusal (a call that comes with it in the
// meantime is refused too) and answers true when the call inside works on another record (or
// none); false when the call inside works on `record` or another refusal is writing into it,
// and the refusal then writes its code alone. [out] slot: what EndRefusalWrite takes.
bool BeginRefusalWrite(const void* record, int& slot) noexcept;
void EndRefusalWrite(int slot) noexcept;

// What a call holds only while it runs: a reference of its own to a caller's object, a block
// for the arguments of a dispatch call. Each is noted when taken and crossed off when given
// back, so that a call that never gets to give it back (an exception unwound it, its thread
// ended) leaves it to GiveBackHeld, which the one who drops that call runs. Only the thread
// that holds the library (or one that took it over from a thread that has gone) uses these.
void HoldReference(IDispatch* object) noexcept;  // AddRef, noted
void DropReference(IDispatch* object) noexcept;  // crossed off, then Release
// Releases every reference and frees every block still noted, the last taken first.
void GiveBackHeld() noexcept;

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

// What the host does around a call of the library, for the tests to do the same:
//   exceptions  a structured exception that the caller's code raises inside a call (a Range
//               method, an object's release) is caught above the call, and the stack between
//               is unwound, the library's frames included, without any of them running to
//               its end;
//   threads     while a call is inside, another thread (a worksheet function on a calculation
//               thread) calls the library too, and the caller's code may wait for it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/library.h"
#include "platform/ole.h"
#include "protocol/record.h"

namespace tkr {

// The exception the caller's code raises here: an application's own code, continuable.
constexpr DWORD kHostException = 0xE0740001u;

// Raises kHostException.
void RaiseHostException();
// Whether CatchHostException catches an exception of this code.
bool CaughtByHost(DWORD code);

// Runs `body`; when kHostException is raised inside it, or its thread's stack overflows, the
// stack is unwound to here (every frame's unwind handler runs on the way) and true is
// returned. Other exceptions go on to whoever handles them. Nothing of `body`'s frames ends
// normally after a catch: objects they held are lost, as they are for the host.
bool CatchHostException(const std::function<void()>& body);

// A call made on a thread of its own, and what it got; `answered` false when it did not come
// back within the wait (the thread is then left to finish on its own, never waited for).
struct OtherCall {
  bool answered = false;
  std::int32_t returned = 0;
  std::int32_t code = 0;
  std::wstring status;  // the Status text, "" when there is none
};

// Calls `tkselect` with `command` on a new thread, with a record of its own that `prepare`
// (run on this thread first, when given) fills, and waits up to `waitMs` for the answer.
OtherCall CallOnAnotherThread(TKselectFn tkselect, std::int32_t command, DWORD waitMs,
                              const std::function<void(tk::TKCOMM&)>& prepare = nullptr);

}  // namespace tkr

// What the host does with a structured exception that the caller's code raises inside a call
// of the library (a Range method, an object's release): it catches it above the call, and
// the stack between is unwound, the library's frames included, without any of them running
// to its end. Tests use this to raise such an exception where the caller's code runs and to
// catch it as the host would.
#pragma once

#include <functional>

#include "platform/ole.h"

namespace tkr {

// The exception the caller's code raises here: an application's own code, continuable.
constexpr DWORD kHostException = 0xE0740001u;

// Raises kHostException.
void RaiseHostException();

// Runs `body`; when kHostException is raised inside it, the stack is unwound to here (every
// frame's unwind handler runs on the way) and true is returned. Other exceptions go on to
// whoever handles them. Nothing of `body`'s frames ends normally after a catch: objects they
// held are lost, as they are for the host.
bool CatchHostException(const std::function<void()>& body);

}  // namespace tkr

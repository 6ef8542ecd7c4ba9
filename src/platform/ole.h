// The one header that brings in the Windows and OLE Automation declarations.
//
// Engine code includes this for the types that cross the interface (VARIANT, BSTR,
// SAFEARRAY, IDispatch) and calls the operations through platform.h, never the
// Windows API directly: the hot paths (comparison, copy) then stand in one place to
// measure, and a second target would only need a second facade.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, whose declarations it relies on.
#include <oleauto.h>

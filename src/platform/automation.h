// OLE Automation's values as the engine handles them: BSTRs (AllocString, ReplaceText),
// VARIANT cells (compare, clear, release, put, copy, convert), SAFEARRAYs (create, resize,
// destroy, what they hold) and a late-bound IDispatch call (InvokeByName).
//
// Caller-owned values stay raw: the engine never wraps a caller's VARIANT, BSTR or SAFEARRAY
// in anything that frees it on its own. A caller's cell is written first and what it held is
// released after, for a release can run the caller's code. The strings and arrays made here
// are counted and can be made to fail in test builds (heap.h).
#pragma once

#include <cstdint>

#include "platform/ole.h"

namespace tk::platform {

// A new BSTR holding `text` for a caller's cell or field; nullptr when memory is short.
BSTR AllocString(const wchar_t* text) noexcept;

// ---- strings ------------------------------------------------------------------------------

// Makes `field` a VT_BSTR holding `text`.
// [in/out] field: caller-owned. A VT_BSTR is reallocated in place (its buffer reused);
//   VT_EMPTY gets a new string whatever its value bits hold; any other content is
//   replaced by the new string and released after (PutCell's order), so a stray number or
//   object reference is never taken for a string, and an object's release finds the text
//   already in place.
// Returns false when memory is short; the field then holds what it held, or, where it
//   held something other than a string, VT_EMPTY.
bool ReplaceText(VARIANT& field, const wchar_t* text) noexcept;

// ---- cells --------------------------------------------------------------------------------

// VarCmp(a, b) with the system locale, case-insensitive unless `flags` say otherwise (see
// kTextIgnoreCase in locale_text.h): VARCMP_LT 0, VARCMP_EQ 1, VARCMP_GT 2, VARCMP_NULL 3, or
// a failure HRESULT. Both cells are read in place.
inline HRESULT CompareCells(VARIANT* a, VARIANT* b,
                            std::uint32_t flags = NORM_IGNORECASE) noexcept {
  return VarCmp(a, b, LOCALE_SYSTEM_DEFAULT, flags);
}
// VariantClear: releases the cell's content and leaves it VT_EMPTY. For the engine's own
// values; a caller's field is emptied with ReleaseField.
inline HRESULT ClearCell(VARIANT* cell) noexcept {
  return VariantClear(cell);
}
// Empties a caller's field: detached first (VT_EMPTY), then what it held is released. The
// release can run the caller's code (an object's last reference), which then finds the field
// empty instead of a value on its way to being freed, and cannot release it a second time.
void ReleaseField(VARIANT& field) noexcept;
// Stores `value` (the engine's to give away) into a caller's `cell`, then releases what the
// cell held. Releasing an object's last reference runs the caller's code, which may resize or
// replace the very array the cell is in; done last, it can no longer make the write land in
// freed memory. The engine checks the arrays again before its next write.
void PutCell(VARIANT* cell, const VARIANT& value) noexcept;
// VariantCopy in that safe order: `source` copied aside (a string as a new string), stored
// into `dest` with PutCell. Returns VariantCopy's failure with `dest` untouched.
HRESULT ReplaceCell(VARIANT* dest, const VARIANT* source) noexcept;
// The cell's value converted to a 32-bit integer; false when it does not convert.
bool AsInt32(const VARIANT& cell, std::int32_t& value) noexcept;

// ---- arrays -------------------------------------------------------------------------------

// A one-dimensional VARIANT array, lower bound 0, `count` VT_EMPTY elements; nullptr when
// memory is short.
SAFEARRAY* CreateVariantVector(std::uint32_t count) noexcept;
// SafeArrayCreate: a new array of `type` with `dimensions` bounds (left dimension first);
// nullptr when memory is short.
SAFEARRAY* CreateArray(VARTYPE type, UINT dimensions, SAFEARRAYBOUND* bounds) noexcept;
// Resizes a one-dimensional array created by CreateVariantVector to `count` elements.
bool ResizeVector(SAFEARRAY* array, std::uint32_t count) noexcept;
// SafeArrayDestroy: frees the array and the VARIANTs in it. Fails (returns the HRESULT)
// for a locked array or one the caller declared with fixed bounds.
HRESULT DestroyArray(SAFEARRAY* array) noexcept;

// True when the array's elements are 16-byte VARIANTs: FADF_VARIANT, or a stored element
// type of VT_VARIANT (arrays from SafeArrayAllocDescriptorEx carry only the latter on some
// systems). A 16-byte DECIMAL or record array is not one.
bool HoldsVariants(const SAFEARRAY& array) noexcept;

// ---- objects ------------------------------------------------------------------------------

// A late-bound call of `member` on `object`: the DISPID is looked up by name (user locale)
// on every call, the arguments are passed in reverse order as IDispatch expects, a property
// put names DISPID_PROPERTYPUT, and Invoke runs with the system locale.
// [out] result: may be nullptr (no result wanted). [in] args: borrowed, shallow-copied.
// Returns Invoke's HRESULT, or the lookup's on failure, or E_POINTER for a null object.
HRESULT InvokeByName(VARIANT* result, WORD flags, IDispatch* object, const wchar_t* member,
                     std::uint32_t argCount, const VARIANT* args) noexcept;

}  // namespace tk::platform

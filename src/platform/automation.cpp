// BSTRs, VARIANT cells, SAFEARRAYs and late-bound calls (see automation.h).
#include "platform/automation.h"

#include "platform/call_internal.h"
#include "platform/heap.h"
#include "platform/heap_internal.h"

namespace tk::platform {

BSTR AllocString(const wchar_t* text) noexcept {
  if (InjectedFailure()) return nullptr;
  BSTR fresh = SysAllocString(text);
  if (fresh != nullptr) ++g_counters.strings;
  return fresh;
}

bool ReplaceText(VARIANT& field, const wchar_t* text) noexcept {
  if (field.vt == VT_BSTR && field.bstrVal != nullptr) {
    // Reuse the caller's buffer; on failure SysReAllocString leaves it untouched.
    if (InjectedFailure()) return false;
    return SysReAllocString(&field.bstrVal, text) != FALSE;
  }
  // A number, an object, an array...: released properly instead of its value bits being
  // taken for a string pointer, and only once the field no longer holds it. A clear that
  // fails (a locked array) leaves the caller's block alone; the field is reused all the same.
  // (An empty field's value bits, or a null string, release nothing.)
  BSTR fresh = AllocString(text);
  if (fresh == nullptr) {
    if (field.vt != VT_BSTR) ReleaseField(field);
    return false;
  }
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = fresh;
  PutCell(&field, value);
  return true;
}

void ReleaseField(VARIANT& field) noexcept {
  VARIANT old = field;
  VariantInit(&field);
  VariantClear(&old);
}

void PutCell(VARIANT* cell, const VARIANT& value) noexcept {
  VARIANT old = *cell;
  *cell = value;
  VariantClear(&old);
}

HRESULT ReplaceCell(VARIANT* dest, const VARIANT* source) noexcept {
  VARIANT copy;
  VariantInit(&copy);
  const HRESULT hr = VariantCopy(&copy, const_cast<VARIANT*>(source));
  if (FAILED(hr)) return hr;
  PutCell(dest, copy);
  return S_OK;
}

bool AsInt32(const VARIANT& cell, std::int32_t& value) noexcept {
  VARIANT converted;
  VariantInit(&converted);
  if (FAILED(VariantChangeType(&converted, const_cast<VARIANT*>(&cell), 0, VT_I4))) return false;
  value = converted.lVal;  // a VT_I4 owns nothing: no clear needed
  return true;
}

SAFEARRAY* CreateVariantVector(std::uint32_t count) noexcept {
  SAFEARRAYBOUND bound = {count, 0};
  return CreateArray(VT_VARIANT, 1, &bound);
}

SAFEARRAY* CreateArray(VARTYPE type, UINT dimensions, SAFEARRAYBOUND* bounds) noexcept {
  if (InjectedFailure()) return nullptr;
  SAFEARRAY* array = SafeArrayCreate(type, dimensions, bounds);
  if (array != nullptr) ++g_counters.arraysCreated;
  return array;
}

bool ResizeVector(SAFEARRAY* array, std::uint32_t count) noexcept {
  if (InjectedFailure()) return false;
  SAFEARRAYBOUND bound = {count, 0};
  return SUCCEEDED(SafeArrayRedim(array, &bound));
}

HRESULT DestroyArray(SAFEARRAY* array) noexcept {
  const HRESULT hr = SafeArrayDestroy(array);
  if (SUCCEEDED(hr)) ++g_counters.arraysDestroyed;
  return hr;
}

bool HoldsVariants(const SAFEARRAY& array) noexcept {
  if (array.cbElements != sizeof(VARIANT)) return false;
  if ((array.fFeatures & FADF_VARIANT) != 0) return true;
  VARTYPE type = VT_EMPTY;
  return (array.fFeatures & FADF_HAVEVARTYPE) != 0 &&
         SUCCEEDED(SafeArrayGetVartype(const_cast<SAFEARRAY*>(&array), &type)) &&
         type == VT_VARIANT;
}

HRESULT InvokeByName(VARIANT* result, WORD flags, IDispatch* object, const wchar_t* member,
                     std::uint32_t argCount, const VARIANT* args) noexcept {
  if (object == nullptr) return E_POINTER;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR name = const_cast<LPOLESTR>(member);
  HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;

  // IDispatch takes the arguments last first. One spare slot keeps the block non-empty.
  auto* reversed = static_cast<VARIANT*>(AllocZeroed(argCount + 1u, sizeof(VARIANT)));
  if (reversed == nullptr) return E_OUTOFMEMORY;
  Note(nullptr, reversed);  // Invoke runs the caller's code, which may never come back
  for (std::uint32_t i = 0; i < argCount; ++i) reversed[argCount - 1 - i] = args[i];

  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params = {};
  params.rgvarg = reversed;
  params.cArgs = argCount;
  if ((flags & DISPATCH_PROPERTYPUT) != 0) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  EXCEPINFO exception = {};
  UINT badArgument = 0;
  hr = object->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &params, result, &exception,
                      &badArgument);
  // The exception's texts are ours to free, whether or not anyone reads them.
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  CrossOff(reversed);
  Free(reversed);  // shallow copies: the caller's VARIANTs stay the caller's
  return hr;
}

}  // namespace tk::platform

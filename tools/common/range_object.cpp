#include "common/range_object.h"

#include <cwctype>

namespace tkr {
namespace {

bool SameName(const wchar_t* a, const wchar_t* b) {
  for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
    if (std::towlower(*a) != std::towlower(*b)) return false;
  }
  return *a == *b;
}

LONG Elements(const SAFEARRAY* cells) {
  LONG count = 1;
  for (USHORT d = 0; d < cells->cDims; ++d)
    count *= static_cast<LONG>(cells->rgsabound[d].cElements);
  return count;
}

}  // namespace

RangeObject::RangeObject(SAFEARRAY* cells) : cells_(cells) {}

RangeObject::~RangeObject() {
  if (cells_ != nullptr) SafeArrayDestroy(cells_);
}

HRESULT RangeObject::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG RangeObject::AddRef() {
  return static_cast<ULONG>(++refs);
}
ULONG RangeObject::Release() {
  return static_cast<ULONG>(--refs);
}

HRESULT RangeObject::GetTypeInfoCount(UINT* count) {
  if (count != nullptr) *count = 0;
  return S_OK;
}

HRESULT RangeObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT RangeObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (count != 1 || names == nullptr || ids == nullptr) return E_INVALIDARG;
  if (SameName(names[0], L"Count")) {
    ids[0] = kCountId;
  } else if (SameName(names[0], L"Value")) {
    ids[0] = kValueId;
  } else {
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  return S_OK;
}

LONG RangeObject::CellCount() const {
  return Elements(cells_);
}

HRESULT RangeObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                            VARIANT* result, EXCEPINFO*, UINT*) {
  if (id == kCountId && (flags & DISPATCH_PROPERTYGET) != 0) {
    if (result == nullptr) return E_POINTER;
    VariantInit(result);
    result->vt = VT_I4;
    result->lVal = CellCount();
    return S_OK;
  }
  if (id == kValueId && (flags & DISPATCH_PROPERTYGET) != 0) {
    if (result == nullptr) return E_POINTER;
    VariantInit(result);
    if (Elements(cells_) == 1) {  // a one-cell range answers the value itself
      return VariantCopy(result, static_cast<VARIANT*>(cells_->pvData));
    }
    SAFEARRAY* copy = nullptr;
    const HRESULT hr = SafeArrayCopy(cells_, &copy);
    if (FAILED(hr)) return hr;
    result->vt = VT_ARRAY | VT_VARIANT;
    result->parray = copy;
    return S_OK;
  }
  if (id == kValueId && (flags & DISPATCH_PROPERTYPUT) != 0) {
    if (params == nullptr || params->cArgs != 1 || params->cNamedArgs != 1 ||
        params->rgdispidNamedArgs == nullptr ||
        params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
      return DISP_E_BADPARAMCOUNT;
    }
    const VARIANT& arg = params->rgvarg[0];
    if ((arg.vt & VT_ARRAY) == 0 || (arg.vt & VT_BYREF) != 0 || arg.parray == nullptr) {
      return DISP_E_TYPEMISMATCH;
    }
    SAFEARRAY* copy = nullptr;
    const HRESULT hr = SafeArrayCopy(arg.parray, &copy);
    if (FAILED(hr)) return hr;
    SafeArrayDestroy(cells_);
    cells_ = copy;
    return S_OK;
  }
  return DISP_E_MEMBERNOTFOUND;
}

void PutRangeObject(VARIANT& target, RangeObject& range) {
  VariantClear(&target);
  target.vt = VT_DISPATCH;
  target.pdispVal = &range;
  range.AddRef();
}

}  // namespace tkr

#include "support/fake_range.h"

#include <cwctype>

namespace tkt {
namespace {

constexpr DISPID kCountId = 1;
constexpr DISPID kValueId = 2;

bool SameName(const wchar_t* a, const wchar_t* b) {
  for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
    if (std::towlower(*a) != std::towlower(*b)) return false;
  }
  return *a == *b;
}

}  // namespace

FakeRange::FakeRange(const Rows& rows) : cells_(MakeTable(rows, 1, 1)) {}

FakeRange::~FakeRange() {
  if (cells_ != nullptr) SafeArrayDestroy(cells_);
}

HRESULT FakeRange::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

// The test owns the object on its stack; the count is kept only to check balance.
ULONG FakeRange::AddRef() { return static_cast<ULONG>(++refs); }
ULONG FakeRange::Release() { return static_cast<ULONG>(--refs); }

HRESULT FakeRange::GetTypeInfoCount(UINT* count) {
  if (count != nullptr) *count = 0;
  return S_OK;
}
HRESULT FakeRange::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT FakeRange::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  ++nameLookups;
  if (FAILED(lookupFailure)) return lookupFailure;
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

HRESULT FakeRange::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                          VARIANT* result, EXCEPINFO*, UINT*) {
  const Shape shape = ShapeOf(cells_);
  if (id == kCountId && (flags & DISPATCH_PROPERTYGET) != 0) {
    ++countGets;
    if (FAILED(countFailure)) return countFailure;
    if (result == nullptr) return E_POINTER;
    VariantInit(result);
    result->vt = VT_I4;
    result->lVal = overrideCount ? countAnswer : shape.rows * shape.columns;
    return S_OK;
  }
  if (id == kValueId && (flags & DISPATCH_PROPERTYGET) != 0) {
    ++valueGets;
    if (FAILED(valueGetFailure)) return valueGetFailure;
    if (result == nullptr) return E_POINTER;
    VariantInit(result);
    if (shape.rows * shape.columns == 1) {
      // A one-cell range answers the value itself, not an array.
      return VariantCopy(result, &CellAt(cells_, 1, 1));
    }
    SAFEARRAY* copy = nullptr;
    const HRESULT hr = SafeArrayCopy(cells_, &copy);
    if (FAILED(hr)) return hr;
    result->vt = VT_ARRAY | VT_VARIANT;
    result->parray = copy;
    return S_OK;
  }
  if (id == kValueId && (flags & DISPATCH_PROPERTYPUT) != 0) {
    ++valuePuts;
    if (FAILED(valuePutFailure)) return valuePutFailure;
    if (params == nullptr || params->cArgs != 1 || params->cNamedArgs != 1 ||
        params->rgdispidNamedArgs == nullptr ||
        params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
      return DISP_E_BADPARAMCOUNT;
    }
    const VARIANT& arg = params->rgvarg[0];
    if ((arg.vt & VT_ARRAY) == 0 || arg.parray == nullptr) return DISP_E_TYPEMISMATCH;
    SAFEARRAY* copy = nullptr;
    const HRESULT hr = SafeArrayCopy(arg.parray, &copy);
    if (FAILED(hr)) return hr;
    SafeArrayDestroy(cells_);
    cells_ = copy;
    return S_OK;
  }
  return DISP_E_MEMBERNOTFOUND;
}

void PutRange(tk::RangeSlot& slot, FakeRange& range) {
  VariantClear(&slot.RangeObj);
  slot.RangeObj.vt = VT_DISPATCH;
  slot.RangeObj.pdispVal = &range;
  range.AddRef();
}

}  // namespace tkt

#include "support/fake_range.h"

namespace tkt {

HRESULT FakeRange::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
  ++nameLookups;
  if (FAILED(lookupFailure)) return lookupFailure;
  return RangeObject::GetIDsOfNames(riid, names, count, lcid, ids);
}

HRESULT FakeRange::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                          VARIANT* result, EXCEPINFO* exception, UINT* argError) {
  HRESULT failure = S_OK;
  if (id == kCountId) {
    ++countGets;
    failure = countFailure;
  } else if (id == kValueId && (flags & DISPATCH_PROPERTYPUT) != 0) {
    ++valuePuts;
    failure = valuePutFailure;
  } else if (id == kValueId) {
    ++valueGets;
    failure = valueGetFailure;
  }
  if (id == kValueId && onValue) onValue();
  if (id == kCountId && onCount) onCount();
  if (FAILED(failure)) return failure;
  return RangeObject::Invoke(id, riid, lcid, flags, params, result, exception, argError);
}

ULONG FakeRange::Release() {
  const ULONG left = RangeObject::Release();
  if (onRelease) onRelease();
  return left;
}

LONG FakeRange::CellCount() const {
  return overrideCount ? countAnswer : RangeObject::CellCount();
}

void PutRange(tk::RangeSlot& slot, FakeRange& range) {
  tkr::PutRangeObject(slot.RangeObj, range);
}

}  // namespace tkt

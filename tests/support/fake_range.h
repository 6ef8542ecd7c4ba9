// FakeRange: a worksheet Range as the engine sees it, an IDispatch with two properties.
//
//   Count  (get)  the number of cells, VT_I4
//   Value  (get)  the cells as a 2-D array (rows from 1, columns from 1), or the single
//                 cell's value itself for a one-cell range
//   Value  (put)  replaces the cells with the array given
//
// Names are matched without regard to case, as a spreadsheet does. Every call is counted,
// and each member can be made to fail, so tests can check "one Count and one Value per
// read" and the engine's answer to a Range that refuses.
#pragma once

#include <cstdint>
#include <string>

#include "support/table.h"

namespace tkt {

class FakeRange final : public IDispatch {
 public:
  // A range holding `rows` (rows from 1, columns from 1).
  explicit FakeRange(const Rows& rows);
  ~FakeRange();
  FakeRange(const FakeRange&) = delete;
  FakeRange& operator=(const FakeRange&) = delete;

  // The cells as the range holds them now (owned by the range).
  SAFEARRAY* cells() const { return cells_; }

  // Call counters.
  int nameLookups = 0;
  int countGets = 0;
  int valueGets = 0;
  int valuePuts = 0;
  LONG refs = 1;  // the test's own reference

  // Injected failures: a failing HRESULT makes that call answer it.
  HRESULT lookupFailure = S_OK;
  HRESULT countFailure = S_OK;
  HRESULT valueGetFailure = S_OK;
  HRESULT valuePutFailure = S_OK;
  // When set, Count answers this instead of the cell count (0 or negative: an empty range).
  bool overrideCount = false;
  std::int32_t countAnswer = 0;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override;

 private:
  SAFEARRAY* cells_ = nullptr;
};

// Puts `range` into a slot's RangeObj as VT_DISPATCH, with a reference of its own.
void PutRange(tk::RangeSlot& slot, FakeRange& range);

}  // namespace tkt

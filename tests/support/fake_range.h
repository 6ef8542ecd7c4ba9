// FakeRange: the Range object of the tools, with every call counted and each member able
// to fail, so tests can check "one Count and one Value per read" and the engine's answer
// to a Range that refuses.
#pragma once

#include <cstdint>
#include <functional>

#include "common/range_object.h"
#include "support/table.h"

namespace tkt {

class FakeRange final : public tkr::RangeObject {
 public:
  // A range holding `rows` (rows from 1, columns from 1).
  explicit FakeRange(const Rows& rows) : RangeObject(MakeTable(rows, 1, 1)) {}

  // Call counters.
  int nameLookups = 0;
  int countGets = 0;
  int valueGets = 0;
  int valuePuts = 0;

  // Injected failures: a failing HRESULT makes that call answer it.
  HRESULT lookupFailure = S_OK;
  HRESULT countFailure = S_OK;
  HRESULT valueGetFailure = S_OK;
  HRESULT valuePutFailure = S_OK;
  // When set, Count answers this instead of the cell count (0 or negative: an empty range).
  bool overrideCount = false;
  std::int32_t countAnswer = 0;
  // Runs at every Value get and put, before the range answers: the caller's code that a
  // worksheet runs then (a recalculation calling a worksheet function, say). onCount runs at
  // every Count get, onRelease at every release of a reference (the last one too: the range
  // itself stays alive, its owner holds it).
  std::function<void()> onValue;
  std::function<void()> onCount;
  std::function<void()> onRelease;

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argError) override;
  ULONG STDMETHODCALLTYPE Release() override;

 protected:
  LONG CellCount() const override;
};

// Puts `range` into a slot's RangeObj as VT_DISPATCH, with a reference of its own.
void PutRange(tk::RangeSlot& slot, FakeRange& range);

}  // namespace tkt

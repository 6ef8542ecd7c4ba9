// RangeObject: a worksheet Range as tkselect sees it, an IDispatch with two properties.
//
//   Count  (get)  the number of cells, VT_I4
//   Value  (get)  the cells as a 2-D VARIANT array (rows from 1, columns from 1), or the
//                 single cell's value itself for a one-cell range
//   Value  (put)  replaces the cells with a copy of the array given
//
// Names are matched without regard to case, as a spreadsheet does. The object lives where
// its owner puts it (on the stack, as a member); the reference count is kept so that the
// owner can check that every reference it handed out came back.
#pragma once

#include "platform/ole.h"

namespace tkr {

class RangeObject : public IDispatch {
 public:
  static constexpr DISPID kCountId = 1;
  static constexpr DISPID kValueId = 2;

  // Takes ownership of `cells`, a 2-D VARIANT array.
  explicit RangeObject(SAFEARRAY* cells);
  virtual ~RangeObject();
  RangeObject(const RangeObject&) = delete;
  RangeObject& operator=(const RangeObject&) = delete;

  // The cells as the range holds them now (owned by the range).
  SAFEARRAY* cells() const { return cells_; }
  LONG refs = 1;  // the owner's own reference

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

 protected:
  // The cell count Count answers; a test range may answer something else.
  virtual LONG CellCount() const;

 private:
  SAFEARRAY* cells_ = nullptr;
};

// Stores `range` in a VARIANT as VT_DISPATCH, with a reference of its own.
void PutRangeObject(VARIANT& target, RangeObject& range);

}  // namespace tkr

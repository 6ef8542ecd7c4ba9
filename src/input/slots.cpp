// Table slots and Range access. See slots.h.
#include "input/slots.h"

#include <cstdint>
#include <limits>

#include "platform/platform.h"

namespace tk {
namespace {

// Wrapping 32-bit addition: row numbers come from the caller, and an absurd header count
// must give a bounds error, not undefined behaviour.
std::int32_t AddWrapping(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace

SAFEARRAY* SlotArray(const VARIANT& data) noexcept {
  if ((data.vt & VT_ARRAY) == 0 || (data.vt & VT_BYREF) != 0) return nullptr;
  return data.parray;
}

VARIANT* DataBlock(const RangeSlot& slot) noexcept {
  SAFEARRAY* array = SlotArray(slot.Data);
  return array != nullptr ? static_cast<VARIANT*>(array->pvData) : nullptr;
}

bool SlotStillHolds(const RangeSlot& slot, const ArrayBounds& bounds,
                    const VARIANT* block) noexcept {
  const SAFEARRAY* array = SlotArray(slot.Data);
  if (array == nullptr || block == nullptr || array->pvData != block) return false;
  if (array->cDims < 1 || array->cDims > 2) return false;
  const SAFEARRAYBOUND& rows = array->rgsabound[array->cDims - 1];
  if (rows.lLbound != bounds.FirstArrayRow || rows.cElements != bounds.Rows) return false;
  if (array->cDims == 1) return bounds.FirstColumn == 1 && bounds.Columns == 1;
  return array->rgsabound[0].lLbound == bounds.FirstColumn &&
         array->rgsabound[0].cElements == bounds.Columns;
}

Status ValidateSlot(ArrayBounds& bounds, RangeSlot& slot) noexcept {
  slot.Valid = 0;
  slot.FromRange = 0;
  if (slot.RangeObj.vt != VT_EMPTY) {
    const Status read = ReadRange(slot);
    if (read != Status::Success) return read;
    slot.FromRange = 1;
  }

  const SAFEARRAY* array = SlotArray(slot.Data);
  if (array == nullptr) return Status::ArrayError;
  if (array->cDims < 1 || array->cDims > 2) return Status::TooManyDimensions;
  // Cells are 16-byte VARIANTs: anything else (a macro's Long or String array handed over
  // in a Variant) would be read past its block if taken for cells.
  if (!platform::HoldsVariants(*array)) return Status::ArrayError;
  // A bare descriptor (no cells behind it) has nothing to sort or to write into.
  if (array->pvData == nullptr) return Status::ArrayError;

  // The descriptor lists the last dimension first: entry 0 is the columns of a 2-D array.
  const SAFEARRAYBOUND& rowBound = array->rgsabound[array->cDims - 1];
  std::int64_t lastRow = std::int64_t{rowBound.lLbound} + rowBound.cElements - 1;
  std::int64_t lastColumn = 1;
  bounds.FirstArrayRow = rowBound.lLbound;
  bounds.Rows = rowBound.cElements;
  bounds.FirstColumn = 1;
  bounds.Columns = 1;
  if (array->cDims == 2) {
    bounds.FirstColumn = array->rgsabound[0].lLbound;
    bounds.Columns = array->rgsabound[0].cElements;
    lastColumn = std::int64_t{bounds.FirstColumn} + bounds.Columns - 1;
  }
  // Row and column numbers travel as 32-bit values; an array whose last index does not
  // fit cannot be addressed by them.
  constexpr std::int64_t kMaxIndex = std::numeric_limits<std::int32_t>::max();
  if (lastRow > kMaxIndex || lastColumn > kMaxIndex) return Status::BadBounds;
  bounds.LastArrayRow = static_cast<std::int32_t>(lastRow);
  bounds.LastColumn = static_cast<std::int32_t>(lastColumn);

  if (slot.FirstRow == 0 && slot.LastRow == 0) {
    slot.FirstRow = AddWrapping(bounds.FirstArrayRow, slot.HeaderLines);
    slot.LastRow = bounds.LastArrayRow;
  }
  if (slot.FirstRow < bounds.FirstArrayRow || slot.LastRow > bounds.LastArrayRow ||
      slot.FirstRow > slot.LastRow) {
    return Status::BadBounds;
  }
  if (std::int64_t{slot.FirstRow} - bounds.FirstArrayRow < slot.HeaderLines) {
    return Status::BadBounds;  // the first data row lies inside the header rows
  }
  if (slot.HeaderLines < 0 || static_cast<std::uint32_t>(slot.HeaderLines) >= bounds.Rows) {
    return Status::BadHeaderLines;
  }

  // All rows below the header, whatever FirstRow and LastRow say.
  bounds.DataRows = bounds.Rows - static_cast<std::uint32_t>(slot.HeaderLines);
  bounds.RowOffset =
      static_cast<std::int32_t>(1u - static_cast<std::uint32_t>(bounds.FirstArrayRow));
  slot.RowCount = static_cast<double>(bounds.DataRows);
  slot.Valid = 1;
  return Status::Success;
}

Status ReadRange(RangeSlot& slot) noexcept {
  if (SAFEARRAY* old = SlotArray(slot.Data)) {
    // A fixed array is the caller's to keep, whatever SafeArrayDestroy would say of it; a
    // locked one cannot be destroyed either. Leave it and read nothing.
    if (IsFixedArray(*old) || old->cLocks != 0) return Status::ArrayError;
    // Detached before it is destroyed: destroying it releases the objects in its cells, and
    // the caller's code that runs then must not find the slot still pointing at it.
    VariantInit(&slot.Data);
    if (FAILED(platform::DestroyArray(old))) {
      if (slot.Data.vt == VT_EMPTY) {
        slot.Data.vt = VT_ARRAY | VT_VARIANT;
        slot.Data.parray = old;
      }
      return Status::ArrayError;
    }
  } else {
    // Whatever else the caller left there (a string, a reference) is released, not
    // overwritten and leaked.
    platform::ReleaseField(slot.Data);
  }
  // Read aside: the releases above and the Range's own calls run the caller's code, which
  // may store a table of its own in the slot meanwhile. That one is the caller's to keep:
  // the read is dropped and the table refused as changed.
  VARIANT values;
  VariantInit(&values);
  if (!RangeTransfer(slot.RangeObj, values, Transfer::Read)) {
    platform::ClearCell(&values);
    return Status::RangeError;
  }
  if (slot.Data.vt != VT_EMPTY) {
    platform::ClearCell(&values);
    return Status::ArrayError;
  }
  slot.Data = values;
  return Status::Success;
}

Status WriteRange(RangeSlot& slot) noexcept {
  if (SlotArray(slot.Data) == nullptr) return Status::NullPointer;
  return RangeTransfer(slot.RangeObj, slot.Data, Transfer::Write) ? Status::Success
                                                                  : Status::RangeError;
}

bool IsFixedArray(const SAFEARRAY& array) noexcept {
  return (array.fFeatures & (FADF_FIXEDSIZE | FADF_STATIC | FADF_EMBEDDED | FADF_AUTO)) != 0;
}

Status WriteBack(RangeSlot& slot, bool readFromRange) noexcept {
  if (!readFromRange || slot.FromRange == 0) return Status::Success;
  return WriteRange(slot) == Status::Success ? Status::Success : Status::RangeWriteError;
}

bool RangeTransfer(const VARIANT& rangeObj, VARIANT& data, Transfer direction) noexcept {
  if (rangeObj.vt != VT_DISPATCH || rangeObj.pdispVal == nullptr) return false;
  // A reference of our own while we call it: the caller's code that its members run may
  // empty the slot that holds it. Noted, so that it is given back even when that code never
  // comes back (an exception the host catches, the thread's end).
  IDispatch* range = rangeObj.pdispVal;
  platform::HoldReference(range);
  bool done = false;
  if (direction == Transfer::Write) {
    done =
        SUCCEEDED(platform::InvokeByName(nullptr, DISPATCH_PROPERTYPUT, range, L"Value", 1, &data));
  } else {
    VARIANT count;
    VariantInit(&count);
    const HRESULT hr =
        platform::InvokeByName(&count, DISPATCH_PROPERTYGET, range, L"Count", 0, nullptr);
    // Taken as a 32-bit integer; a Count that does not convert counts as no cells.
    std::int32_t cells = 0;
    const bool hasCells = SUCCEEDED(hr) && platform::AsInt32(count, cells) && cells > 0;
    platform::ClearCell(&count);
    done = hasCells && SUCCEEDED(platform::InvokeByName(&data, DISPATCH_PROPERTYGET, range,
                                                        L"Value", 0, nullptr));
  }
  platform::DropReference(range);
  return done;
}

}  // namespace tk

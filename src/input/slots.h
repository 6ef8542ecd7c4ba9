// Table slots and Range access.
//
// A slot (Source or Dest of the record) names its table by a Range object, an array of
// VARIANT cells, or both. SELECT validates each slot once:
//   ValidateSlot  reads the Range into the slot's array when one is given (ReadRange),
//                 checks the array, fills ArrayBounds and writes the default data rows
//                 (every row below the header lines) into the slot.
// MOVE, EXPORT and the benchmark hand a slot's array back with WriteBack (WriteRange when
// the slot came from a Range). Reads and writes go through RangeTransfer: one Count get and one
// Value get to read, one Value put to write, as late-bound calls (platform::InvokeByName); between
// those, all work happens in the array, never cell by cell through the Range.
//
// Order of checks in ValidateSlot, first failure wins: Range read (715, 718), no array
// (718), dimensions (708), cells not VARIANTs (718), bounds (700), header lines (702).
// Because defaults are written before the checks, too many header lines with default rows
// give 700, not 702: the default first row lies past the last.
//
// The slot's array stays the caller's. ReadRange destroys the old one before it stores
// the Range's values in its place, unless the caller declared it fixed (718, Data left as it
// is); nothing else here frees or resizes it.
#pragma once

#include "input/bounds.h"
#include "protocol/record.h"
#include "protocol/status.h"

namespace tk {

// The array a Data VARIANT holds by value (VT_ARRAY, not by reference), or nullptr.
SAFEARRAY* SlotArray(const VARIANT& data) noexcept;

// The cells of the slot's array, or nullptr when it holds no array.
VARIANT* DataBlock(const RangeSlot& slot) noexcept;

// True while the slot still holds the array that was validated into `bounds` with its cells
// at `block`: same data block, same dimensions and bounds. Operations that keep pointers
// into the cells across calls check this before they touch a cell again.
bool SlotStillHolds(const RangeSlot& slot, const ArrayBounds& bounds,
                    const VARIANT* block) noexcept;

// [out] bounds, [in/out] slot (borrowed). Returns 2, 700, 702, 708, 715 or 718.
Status ValidateSlot(ArrayBounds& bounds, RangeSlot& slot) noexcept;

// Replaces the slot's array by the Range's values. Returns 2, 715 or 718 (the old array
// fixed or locked, or the slot given another table while the Range was read).
Status ReadRange(RangeSlot& slot) noexcept;

// Writes the slot's array into its Range. Returns 2, 704 (no array) or 715.
Status WriteRange(RangeSlot& slot) noexcept;

// How MOVE, EXPORT and the benchmark's fill end: the array goes back into the Range it was
// read from; an array the caller gave alone stays where it is. `readFromRange`: SELECT read
// this slot from its Range; the record's FromRange may only narrow that. Returns 2, or 716
// when the Range refused it (the array holds the work all the same).
Status WriteBack(RangeSlot& slot, bool readFromRange) noexcept;

// True for an array its owner declared fixed (fixed size, static, embedded in a structure,
// or on the stack): it may be read and written, never replaced, resized or destroyed.
bool IsFixedArray(const SAFEARRAY& array) noexcept;

enum class Transfer { Read, Write };

// The property calls on `rangeObj` (must be a non-null VT_DISPATCH). Read fills `data`,
// which must be empty; Write passes it unchanged, header rows included. True when every
// call succeeded (and, for a read, Count was positive).
bool RangeTransfer(const VARIANT& rangeObj, VARIANT& data, Transfer direction) noexcept;

}  // namespace tk

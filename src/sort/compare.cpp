// Row comparison and the compare break-out.
//
// CompareRows decides the order of rows StepRowA and StepRowB for the sort: key by key in
// command-line order until one key tells them apart. A key of mode 1 or 2 is compared here
// with VarCmp on the two cells in place (system locale, case-insensitive); a key of mode 3
// is handed to the caller: the call returns 1 with code 3 and BrkRowA/BrkRowB/BrkColumn,
// and the caller's next call brings the key's result in the code (ResumeCompare).
//
// Result: -1 row A first, 0 not told apart, 1 row A after; written into the code, where the
// sort's continuation reads it, so a decided comparison and an answered break-out reach the
// sort the same way. A VarCmp failure f gives f - 1 (a value that is neither -1 nor 1 and
// stops whichever scan asked); a null cell ends the call with 710.
//
// Empty cells: with IgnoreEmpty 0 they sort after every non-empty cell in ascending and
// descending keys alike (the rule replaces the descending step, so it is never reversed);
// with any other value an empty cell ties and the next key decides.
#include "entry/engine.h"
#include "input/slots.h"
#include "platform/platform.h"

namespace tk {

void CompareState::Clear() noexcept {
  StepRowA = 0;
  StepRowB = 0;
  CompareReturnState = 0;
  CompareKeyIndex = 0;
}

bool Engine::CompareRows() noexcept {
  compare.CompareReturnState = ResumeState;
  compare.CompareKeyIndex = 0;
  return CompareKeys(0);
}

bool Engine::CompareKeys(std::int32_t result) noexcept {
  TKCOMM& c = *comm_;
  // The record's count, bounded by the table SELECT built: a caller that changes
  // SortKeyCount while a break-out waits must not make us read past the keys.
  const std::int32_t built = static_cast<std::int32_t>(selection.keys.SortKeys.size());
  const std::int32_t keyCount = c.SortKeyCount < built ? c.SortKeyCount : built;
  const KeyEntry* keys = selection.keys.SortKeys.get();

  while (result == 0 && compare.CompareKeyIndex < keyCount) {
    const KeyEntry& key = keys[compare.CompareKeyIndex];
    if (key.Mode == kCompareBreakOut) {
      c.BrkRowA = compare.StepRowA;
      c.BrkRowB = compare.StepRowB;
      c.BrkColumn = key.Column;
      *code_ = ToCode(Status::CompareBreakOut);
      ResumeState = ToCode(Continuation::CompareBreakOut);
      pendingReturn_ = kReturnBreakOut;
      return false;
    }
    VARIANT* a = ColumnCell(key.Cells, compare.StepRowA);
    VARIANT* b = ColumnCell(key.Cells, compare.StepRowB);
    const HRESULT v = platform::CompareCells(a, b);
    if (v == VARCMP_NULL) {
      pendingReturn_ = Finish(Status::BadCell);
      return false;
    }
    // Wrapping arithmetic: a failure HRESULT minus one, and its negation, stay defined.
    result = static_cast<std::int32_t>(static_cast<std::uint32_t>(v) - 1u);
    const bool emptyA = a->vt == VT_EMPTY;
    const bool emptyB = b->vt == VT_EMPTY;
    if (emptyA && emptyB) {
      result = 0;
    } else if (emptyA) {
      result = c.IgnoreEmpty != 0 ? 0 : 1;
    } else if (emptyB) {
      result = c.IgnoreEmpty != 0 ? 0 : -1;
    } else if (key.Mode == kCompareDescending) {
      result = static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(result));
    }
    ++compare.CompareKeyIndex;
  }
  *code_ = result;
  return true;
}

bool Engine::ResumeCompare() noexcept {
  // The answer is used as it stands: the caller owns direction and empty cells of its keys.
  const std::int32_t answer = *code_;
  ResumeState = compare.CompareReturnState;
  ++compare.CompareKeyIndex;
  return CompareKeys(answer);
}

bool Engine::SourceUnchanged() const noexcept {
  return SlotStillHolds(comm_->Source, selection.SourceBounds, selection.SourceBlock);
}

bool Engine::DestUnchanged() const noexcept {
  return SlotStillHolds(comm_->Dest, selection.DestBounds, selection.DestBlock);
}

}  // namespace tk

// Row comparison and the compare break-out. See compare.h.
#include "sort/compare.h"

#include "platform/platform.h"

namespace tk {
namespace {

// True for a cell whose comparison may run the caller's code.
bool IsObject(const VARIANT& cell) noexcept {
  const VARTYPE type = cell.vt & VT_TYPEMASK;
  return type == VT_DISPATCH || type == VT_UNKNOWN;
}

// The cell a key of `rule` compares: a text the system locale reads as a number becomes that
// number (in `number`) for a key that reads numbers in text; any other cell is itself. The
// number read when the sort began is taken where there is one.
VARIANT* AsCompared(const TextKeys& text, std::int32_t key, std::int32_t row, VARIANT* cell,
                    const TextRule& rule, VARIANT& number) noexcept {
  if (!rule.ReadsNumbers) return cell;
  double value = 0;
  const int read = text.ReadNumber(key, row, value);
  if (read == 0) return cell;
  if (read < 0) {
    BSTR string = nullptr;
    if (cell->vt == VT_BSTR) string = cell->bstrVal;
    if (cell->vt == (VT_BSTR | VT_BYREF) && cell->pbstrVal != nullptr) string = *cell->pbstrVal;
    if (string == nullptr || !platform::TextAsNumber(string, value)) return cell;
  }
  number.vt = VT_R8;
  number.dblVal = value;
  return &number;
}

// The key loop from the cursor's CompareKeyIndex on, with the result so far.
Step CompareKeys(Context& ctx, CompareCursor& compare, const TextKeys& text,
                 const Selection& selection, std::int32_t result) noexcept {
  const KeyTable& keys = selection.keys.SortKeys;
  const TKCOMM& c = ctx.comm;
  // The record's count, bounded by the table SELECT built: a caller that changes
  // SortKeyCount while a break-out waits must not make us read past the keys.
  const auto built = static_cast<std::int32_t>(keys.size());
  const std::int32_t keyCount = c.SortKeyCount < built ? c.SortKeyCount : built;
  const KeyEntry* entries = keys.get();

  while (result == 0 && compare.CompareKeyIndex < keyCount) {
    const KeyEntry& key = entries[compare.CompareKeyIndex];
    if (key.Mode == kCompareBreakOut) {
      return HandOut(ctx, Status::CompareBreakOut, Continuation::CompareBreakOut, compare.StepRowA,
                     compare.StepRowB, key.Column);
    }
    HRESULT v = VARCMP_EQ;
    bool emptyA = false;
    bool emptyB = false;
    if (!text.Compare(compare.CompareKeyIndex, compare.StepRowA, compare.StepRowB, v)) {
      const TextRule rule = TextRuleOf(key.Mode);
      VARIANT numberA;
      VARIANT numberB;
      VARIANT* a = AsCompared(text, compare.CompareKeyIndex, compare.StepRowA,
                              ColumnCell(key.Cells, compare.StepRowA), rule, numberA);
      VARIANT* b = AsCompared(text, compare.CompareKeyIndex, compare.StepRowB,
                              ColumnCell(key.Cells, compare.StepRowB), rule, numberB);
      emptyA = a->vt == VT_EMPTY;
      emptyB = b->vt == VT_EMPTY;
      // Against an empty cell only a null matters (710): the empty-cell rule below replaces
      // whatever else VarCmp says.
      const bool known =
          emptyA || emptyB ? IsPlainCell(*a) && IsPlainCell(*b) : CompareNumbers(*a, *b, v);
      if (!known) {
        // Everything the result needs from the cells is read before VarCmp: after it, an
        // object's code may have freed them.
        const bool objects = IsObject(*a) || IsObject(*b);
        // Two texts under flags of their own go to the locale's comparison directly, the
        // rest to VarCmp with the key's flags.
        v = a->vt == VT_BSTR && b->vt == VT_BSTR && rule.Flags != platform::kTextIgnoreCase
                ? platform::CompareTexts(a->bstrVal, b->bstrVal, rule.Flags)
                : platform::CompareCells(a, b, rule.Flags);
        if (objects && !selection.SourceUnchanged(c)) return Step::Ended(Status::ArrayError);
        if (v == VARCMP_NULL) return Step::Ended(Status::BadCell);
      }
    }
    // Wrapping arithmetic: a failure HRESULT minus one, and its negation, stay defined.
    result = static_cast<std::int32_t>(static_cast<std::uint32_t>(v) - 1u);
    if (emptyA && emptyB) {
      result = 0;
    } else if (emptyA) {
      result = c.IgnoreEmpty != 0 ? 0 : 1;
    } else if (emptyB) {
      result = c.IgnoreEmpty != 0 ? 0 : -1;
    } else if (IsDescending(key.Mode)) {
      result = static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(result));
    }
    ++compare.CompareKeyIndex;
  }
  return Step::Compared(result);
}

}  // namespace

void CompareState::Clear() noexcept {
  Text.Clear();
  Carried.Clear();
  StepRowA = 0;
  StepRowB = 0;
  Then = Continuation::Idle;
  CompareKeyIndex = 0;
}

Step CompareRowsWith(Context& ctx, CompareCursor& cursor, const TextKeys& text,
                     const Selection& selection, Continuation asking, std::int32_t rowA,
                     std::int32_t rowB, std::int32_t firstKey) noexcept {
  cursor.StepRowA = rowA;
  cursor.StepRowB = rowB;
  cursor.Then = asking;
  cursor.CompareKeyIndex = firstKey;
  return CompareKeys(ctx, cursor, text, selection, 0);
}

Step CompareRows(Context& ctx, CompareState& compare, const Selection& selection,
                 Continuation asking, std::int32_t rowA, std::int32_t rowB,
                 std::int32_t firstKey) noexcept {
  return CompareRowsWith(ctx, compare, compare.Text, selection, asking, rowA, rowB, firstKey);
}

void PrefetchRow(const CompareState& compare, const Selection& selection, std::int32_t row,
                 std::int32_t key) noexcept {
  const KeyTable& keys = selection.keys.SortKeys;
  if (static_cast<std::uint32_t>(key) >= keys.size()) return;
  // An address is only computed, never read: a row or table that changed cannot fault here.
  __builtin_prefetch(ColumnCell(keys[static_cast<std::size_t>(key)].Cells, row));
  compare.Text.Prefetch(key, row);
}

Step ResumeCompare(Context& ctx, CompareState& compare, const Selection& selection,
                   std::int32_t answer) noexcept {
  // The answer is used as it stands: the caller owns direction and empty cells of its keys.
  ctx.GoOnAt(compare.Then);
  ++compare.CompareKeyIndex;
  return CompareKeys(ctx, compare, compare.Text, selection, answer);
}

}  // namespace tk

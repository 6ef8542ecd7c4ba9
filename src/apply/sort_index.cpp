// SORTINDEX. See sort_index.h.
#include "apply/sort_index.h"

#include "input/slots.h"
#include "platform/platform.h"

namespace tk {

Status RecreateSafeArray(SAFEARRAY** target, std::int32_t count) noexcept {
  if (SAFEARRAY* old = *target) {
    if (IsFixedArray(*old)) return Status::StaticSortIndex;
    // Detached before it is destroyed: the caller's code that destroying it may run (an array
    // of objects) must not find the record still pointing at it.
    *target = nullptr;
    if (FAILED(platform::DestroyArray(old))) {
      if (*target == nullptr) *target = old;
      return Status::BadBounds;
    }
    // That code may also have stored an array of its own there: the caller's, kept.
    if (*target != nullptr) return Status::ArrayError;
  }
  SAFEARRAYBOUND bounds = {static_cast<ULONG>(count), 1};
  *target = platform::CreateArray(VT_I4, 1, &bounds);
  return *target != nullptr ? Status::Success : Status::NoMemory;
}

Step SortIndex(Context& ctx, const Selection& selection) noexcept {
  if (selection.IndexValid == 0) return Step::Ended(Status::OutOfOrder);

  TKCOMM& c = ctx.comm;
  const std::int32_t first = selection.SelFirstRow;
  const std::int32_t lastSelected = selection.SelLastRow;
  std::int64_t last = lastSelected;
  // The record's Dest.Valid may narrow what SELECT validated, never stand in for it.
  if (c.Dest.Valid != 0 && selection.DestBlock != nullptr) {
    last = std::int64_t{c.Dest.LastRow} - c.Dest.FirstRow + first;
    if (last >= lastSelected) last = lastSelected;
  }
  const std::int64_t k = last - first + 1;
  // A destination whose rows the caller turned upside down gives no count: refuse before
  // the caller's array is destroyed.
  if (k < 1) return Step::Ended(Status::BadBounds);

  const Status created = RecreateSafeArray(&c.SortIndex, static_cast<std::int32_t>(k));
  if (created != Status::Success) return Step::Ended(created);
  auto* out = static_cast<std::int32_t*>(c.SortIndex->pvData);
  if (out == nullptr) return Step::Ended(Status::NoMemory);
  for (std::int64_t i = 0; i < k; ++i) out[i] = selection.RowIndex[static_cast<std::size_t>(i + 1)];
  c.SortIndexValid = 1;
  return Step::Ended(Status::Success, kReturnOutput);
}

}  // namespace tk

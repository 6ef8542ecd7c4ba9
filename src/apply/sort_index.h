// SORTINDEX: the order of the last SELECT handed out as the caller's Long array.
//
// The caller's dynamic array in SortIndex is replaced by a new one (RecreateSafeArray):
// one dimension, lower bound 1, VT_I4, k elements, element i the array row of the i-th row
// in sorted order. k is the number of data rows, cut to the destination's rows
// (Dest.LastRow - Dest.FirstRow + 1) when the destination is valid. A static or fixed-size
// array is left alone (706), one that cannot be destroyed too (700). RowIndex is not
// changed, so SORTINDEX answers the same before and after MOVE and EXPORT.
#pragma once

#include <cstdint>

#include "input/selection.h"
#include "platform/ole.h"
#include "protocol/status.h"
#include "protocol/step.h"

namespace tk {

// SORTINDEX on the last selection: 707 without one, 700 when the destination's rows are
// upside down, else the array (RecreateSafeArray's statuses); ends with 2 and return value 2.
Step SortIndex(Context& ctx, const Selection& selection) noexcept;

// Replaces the caller's array at *target by a new one-dimensional array of `count` VT_I4
// elements, lower bound 1. [in/out] target: the caller's SAFEARRAY pointer. Returns 2; 706
// for an array its owner declared fixed, static, embedded or on the stack (left alone,
// whatever SafeArrayDestroy would say); 700 when it cannot be destroyed (left alone); 718 when
// the caller's code that destroying it ran stored an array of its own there (kept); 705 when
// the new one cannot be created (*target is then null: the old one is gone).
Status RecreateSafeArray(SAFEARRAY** target, std::int32_t count) noexcept;

}  // namespace tk

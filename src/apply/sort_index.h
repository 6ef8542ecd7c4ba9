// The array replacement behind SORTINDEX.
#pragma once

#include <cstdint>

#include "platform/ole.h"
#include "protocol/status.h"

namespace tk {

// Replaces the caller's array at *target by a new one of `elementType` with bounds
// low1..high1 (and low2..high2 as a second dimension when high2 > 1).
// [in/out] target: the caller's SAFEARRAY pointer. Returns 2; 706 for a static or
// fixed-size array (left alone); 700 when it cannot be destroyed (left alone); 705 when
// the new one cannot be created (*target is then null: the old one is gone).
Status RecreateSafeArray(SAFEARRAY** target, VARTYPE elementType, std::int32_t low1,
                         std::int32_t high1, std::int32_t low2, std::int32_t high2) noexcept;

}  // namespace tk

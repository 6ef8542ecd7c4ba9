// SortFrame: one level of the quicksort's explicit recursion, and the stack's capacity.
#pragma once

#include <cstdint>

namespace tk {

struct SortFrame {
  std::int32_t PivotRow;   // the row at PivotIndex when the frame's partition started
  std::uint32_t Right;     // right scan position; outer position of the insertion pass
  std::uint32_t Left;      // left scan position; inner position of the insertion pass
  std::uint32_t High;      // last RowIndex position of the frame's range
  std::uint32_t Low;       // first RowIndex position of the frame's range
  std::int8_t ReturnCode;  // 1-4: where the parent goes on once this frame is done
};

// Frames on the sort stack. The depth equals the recursion depth, and a middle pivot keeps
// it near log2(n) for varied keys (8 for 1,000 rows, about 20 for a million). Keys with few
// distinct values grow it with the number of rows; a push that would need frame 516 ends
// the sort with 714 instead of growing without bound.
constexpr std::uint32_t kSortStackFrames = 516;

}  // namespace tk

// ArrayBounds: the engine's geometry of a validated table.
//
// Rows and columns are the array's own index values. A two-dimensional array is stored
// column by column, so `Rows` is also the distance in cells from one column to the next;
// the cell (r, c) is element (c - FirstColumn) * Rows + (r - FirstArrayRow).
#pragma once

#include <cstdint>

namespace tk {

struct ArrayBounds {
  std::int32_t FirstArrayRow = 0;  // lower bound of the row index
  std::int32_t LastArrayRow = 0;   // FirstArrayRow + Rows - 1
  std::int32_t RowOffset = 0;      // 1 - FirstArrayRow: array row + RowOffset = 1-based row
  std::int32_t FirstColumn = 0;    // lower bound of the column index (1 for one dimension)
  std::int32_t LastColumn = 0;     // FirstColumn + Columns - 1
  std::uint32_t Rows = 0;          // all rows, header rows included
  std::uint32_t Columns = 0;       // 1 for a one-dimensional array
  std::uint32_t DataRows = 0;      // Rows - HeaderLines
};

}  // namespace tk

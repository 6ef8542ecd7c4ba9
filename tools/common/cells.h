// Cells of a caller's table, addressed as the engine names them: by array row and column.
//
// A table is a 1-D or 2-D SAFEARRAY of VARIANT cells stored column by column; a 1-D table
// has one column, numbered 1. CellAt trusts its arguments (the engine named the cell);
// CellInside checks them, for callers that must survive a wrong name.
#pragma once

#include <cstdint>

#include "platform/ole.h"

namespace tkr {

// Whether a table of `rows` x `columns` VARIANT cells can be made: each count a positive
// 32-bit array bound, and the bytes of all its cells within 32 bits, for the array's
// descriptor and the system's size computation hold no more (past that the size wraps and
// a small block is handed out) and within what this build can address.
bool TableFits(std::uint64_t rows, std::uint64_t columns);

// Geometry of a 1-D or 2-D array, as its bounds entries give it.
struct Shape {
  std::int32_t firstRow, rows, firstColumn, columns;
};
Shape ShapeOf(const SAFEARRAY* array);

// The array `data` holds by value when it is a 1-D or 2-D array of VARIANT cells, else nullptr.
SAFEARRAY* CellArray(const VARIANT& data);

// The cell at array row `row`, column `column`. No checks.
VARIANT& CellAt(SAFEARRAY* array, std::int32_t row, std::int32_t column = 1);

// The cell at (row, column) of the table `data` holds, or nullptr when it holds none or the
// cell lies outside it.
VARIANT* CellInside(const VARIANT& data, std::int32_t row, std::int32_t column);

}  // namespace tkr

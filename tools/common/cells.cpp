#include "common/cells.h"

#include <algorithm>
#include <cstdint>

namespace tkr {

bool TableFits(std::uint64_t rows, std::uint64_t columns) {
  constexpr std::uint64_t kLargestBound = 0x7FFFFFFF;
  constexpr std::uint64_t kLargestBlock = 0xFFFFFFFF;  // the system's sizes are 32-bit
  constexpr std::uint64_t kCellsAtMost =
      std::min<std::uint64_t>(kLargestBlock, SIZE_MAX) / sizeof(VARIANT);
  if (rows == 0 || columns == 0) return true;
  if (rows > kLargestBound || columns > kLargestBound) return false;
  return rows <= kCellsAtMost / columns;
}

Shape ShapeOf(const SAFEARRAY* array) {
  // The descriptor lists the last dimension first: entry 0 is the columns of a 2-D array.
  if (array->cDims == 1) {
    return Shape{array->rgsabound[0].lLbound,
                 static_cast<std::int32_t>(array->rgsabound[0].cElements), 1, 1};
  }
  return Shape{
      array->rgsabound[1].lLbound, static_cast<std::int32_t>(array->rgsabound[1].cElements),
      array->rgsabound[0].lLbound, static_cast<std::int32_t>(array->rgsabound[0].cElements)};
}

SAFEARRAY* CellArray(const VARIANT& data) {
  if ((data.vt & VT_ARRAY) == 0 || (data.vt & VT_BYREF) != 0 || data.parray == nullptr) {
    return nullptr;
  }
  SAFEARRAY* array = data.parray;
  if (array->cDims < 1 || array->cDims > 2 || array->cbElements != sizeof(VARIANT)) return nullptr;
  return array;
}

VARIANT& CellAt(SAFEARRAY* array, std::int32_t row, std::int32_t column) {
  const Shape s = ShapeOf(array);
  auto* cells = static_cast<VARIANT*>(array->pvData);
  return cells[(column - s.firstColumn) * s.rows + (row - s.firstRow)];
}

VARIANT* CellInside(const VARIANT& data, std::int32_t row, std::int32_t column) {
  SAFEARRAY* array = CellArray(data);
  if (array == nullptr || array->pvData == nullptr) return nullptr;
  const Shape s = ShapeOf(array);
  const std::int64_t r = std::int64_t{row} - s.firstRow;
  const std::int64_t c = std::int64_t{column} - s.firstColumn;
  if (r < 0 || r >= s.rows || c < 0 || c >= s.columns) return nullptr;
  return &CellAt(array, row, column);
}

}  // namespace tkr

// Table builders and record helpers for tests.
//
//   Cell                  one VARIANT value: text, numbers, dates, booleans, empty, null...
//   MakeTable(rows, ...)  a 2-D SAFEARRAY of VARIANT (row, column), stored column by column,
//                         with chosen lower bounds; MakeColumn for a 1-D array.
//   CellAt, Text, Dump    read cells back by array row and column; ReadNumberInText.
//   Record                a TKCOMM that owns what the test put in it and frees it at the end.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/cells.h"
#include "protocol/record.h"

namespace tkt {

// One cell value. Owns its VARIANT (strings are BSTRs).
class Cell {
 public:
  Cell() noexcept;  // VT_EMPTY
  Cell(const char* text);
  Cell(const wchar_t* text);
  Cell(int value);     // VT_I4
  Cell(double value);  // VT_R8
  Cell(bool value);    // VT_BOOL
  Cell(const Cell& other);
  Cell& operator=(const Cell& other);
  ~Cell();

  static Cell Null();                         // VT_NULL
  static Cell Date(double oleDate);           // VT_DATE
  static Cell Currency(std::int64_t scaled);  // VT_CY, value * 10,000
  static Cell Error(std::int32_t scode);      // VT_ERROR
  static Cell Short(std::int16_t value);      // VT_I2

  const VARIANT& variant() const { return v_; }

 private:
  VARIANT v_;
};

using Rows = std::vector<std::vector<Cell>>;

// n rows x `columns` columns of numbers: row r (from 0), column c (from 0) holds r * 10 + c.
Rows NumberGrid(int n, int columns);

// n rows x `columns` columns all holding the text "." (a blank destination, a table to fill).
Rows Dots(int n, int columns);

// A two-dimensional array holding rows[r][c] at (firstRow + r, firstColumn + c). Rows
// shorter than the longest are padded with empty cells. The caller owns the result.
SAFEARRAY* MakeTable(const Rows& rows, std::int32_t firstRow = 1, std::int32_t firstColumn = 1);
// A one-dimensional array of cells from firstRow.
SAFEARRAY* MakeColumn(const std::vector<Cell>& cells, std::int32_t firstRow = 1);

// Stores `array` (ownership passes to the VARIANT) as VT_ARRAY | VT_VARIANT in `target`,
// clearing what it held.
void PutArray(VARIANT& target, SAFEARRAY* array);
// A VT_BSTR copy of `text` in `target`, clearing what it held.
void PutText(VARIANT& target, const wchar_t* text);

// Geometry and cells by array row and column, as the tools address them (common/cells.h).
using tkr::CellAt;
using tkr::Shape;
using tkr::ShapeOf;
// A cell as text for assertions: strings as they are, numbers in the C locale's form,
// "<empty>", "<null>", "<error>".
std::wstring Text(const VARIANT& cell);
// A whole array as rows of Text, in array order.
using Grid = std::vector<std::vector<std::wstring>>;
Grid Dump(SAFEARRAY* array);
// `cell` as the orders that read numbers in text take it: a text the system locale reads as a
// number becomes that number (VT_R8, not owned: the text stays the caller's); any other cell
// is left as it is.
void ReadNumberInText(VARIANT& cell);
// Text of a BSTR VARIANT field, or "<not a string>".
std::wstring FieldText(const VARIANT& field);

// A record as a freshly declared macro variable (all zero, all VT_EMPTY) that releases
// every VARIANT and the SortIndex array it holds when it goes away.
struct Record {
  tk::TKCOMM comm{};
  Record() = default;
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  ~Record();
};

}  // namespace tkt

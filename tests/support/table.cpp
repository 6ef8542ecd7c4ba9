#include "support/table.h"

#include <algorithm>
#include <cwchar>

#include "common/caller.h"
#include "common/library.h"

namespace tkt {

Cell::Cell() noexcept {
  VariantInit(&v_);
}
Cell::Cell(const char* text) {
  VariantInit(&v_);
  std::wstring wide(text, text + std::char_traits<char>::length(text));
  v_.vt = VT_BSTR;
  v_.bstrVal = SysAllocString(wide.c_str());
}
Cell::Cell(const wchar_t* text) {
  VariantInit(&v_);
  v_.vt = VT_BSTR;
  v_.bstrVal = SysAllocString(text);
}
Cell::Cell(int value) {
  VariantInit(&v_);
  v_.vt = VT_I4;
  v_.lVal = value;
}
Cell::Cell(double value) {
  VariantInit(&v_);
  v_.vt = VT_R8;
  v_.dblVal = value;
}
Cell::Cell(bool value) {
  VariantInit(&v_);
  v_.vt = VT_BOOL;
  v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}
Cell::Cell(const Cell& other) {
  VariantInit(&v_);
  VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
}
Cell& Cell::operator=(const Cell& other) {
  if (this != &other) VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
  return *this;
}
Cell::~Cell() {
  VariantClear(&v_);
}

Cell Cell::Null() {
  Cell c;
  c.v_.vt = VT_NULL;
  return c;
}
Cell Cell::Date(double oleDate) {
  Cell c;
  c.v_.vt = VT_DATE;
  c.v_.date = oleDate;
  return c;
}
Cell Cell::Currency(std::int64_t scaled) {
  Cell c;
  c.v_.vt = VT_CY;
  c.v_.cyVal.int64 = scaled;
  return c;
}
Cell Cell::Error(std::int32_t scode) {
  Cell c;
  c.v_.vt = VT_ERROR;
  c.v_.scode = scode;
  return c;
}
Cell Cell::Short(std::int16_t value) {
  Cell c;
  c.v_.vt = VT_I2;
  c.v_.iVal = value;
  return c;
}

Rows NumberGrid(int n, int columns) {
  Rows rows;
  for (int r = 0; r < n; ++r) {
    std::vector<Cell> row;
    for (int c = 0; c < columns; ++c) row.emplace_back(r * 10 + c);
    rows.push_back(row);
  }
  return rows;
}

Rows Dots(int n, int columns) {
  Rows out(static_cast<std::size_t>(n));
  for (auto& row : out) row.assign(static_cast<std::size_t>(columns), Cell("."));
  return out;
}

SAFEARRAY* MakeTable(const Rows& rows, std::int32_t firstRow, std::int32_t firstColumn) {
  std::size_t columns = 0;
  for (const auto& row : rows) columns = std::max(columns, row.size());
  // SafeArrayCreate takes the bounds left dimension first (row, then column).
  SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(rows.size()), firstRow},
                              {static_cast<ULONG>(columns), firstColumn}};
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (array == nullptr) return nullptr;
  auto* cells = static_cast<VARIANT*>(array->pvData);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      VariantCopy(&cells[c * rows.size() + r], const_cast<VARIANT*>(&rows[r][c].variant()));
    }
  }
  return array;
}

SAFEARRAY* MakeColumn(const std::vector<Cell>& cells, std::int32_t firstRow) {
  SAFEARRAYBOUND bound = {static_cast<ULONG>(cells.size()), firstRow};
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &bound);
  if (array == nullptr) return nullptr;
  auto* data = static_cast<VARIANT*>(array->pvData);
  for (std::size_t r = 0; r < cells.size(); ++r) {
    VariantCopy(&data[r], const_cast<VARIANT*>(&cells[r].variant()));
  }
  return array;
}

void PutArray(VARIANT& target, SAFEARRAY* array) {
  VariantClear(&target);
  target.vt = VT_ARRAY | VT_VARIANT;
  target.parray = array;
}

void PutText(VARIANT& target, const wchar_t* text) {
  VariantClear(&target);
  target.vt = VT_BSTR;
  target.bstrVal = SysAllocString(text);
}

std::wstring Text(const VARIANT& cell) {
  switch (cell.vt) {
    case VT_EMPTY: return L"<empty>";
    case VT_NULL: return L"<null>";
    case VT_ERROR: return L"<error>";
    case VT_BSTR: return cell.bstrVal != nullptr ? std::wstring(cell.bstrVal) : L"";
    default: break;
  }
  VARIANT text;
  VariantInit(&text);
  // Locale-neutral conversion so that expectations do not depend on the machine.
  const LCID neutral = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
  if (FAILED(VariantChangeTypeEx(&text, const_cast<VARIANT*>(&cell), neutral, 0, VT_BSTR))) {
    return L"<unconvertible>";
  }
  std::wstring out(text.bstrVal);
  VariantClear(&text);
  return out;
}

Grid Dump(SAFEARRAY* array) {
  const Shape s = ShapeOf(array);
  Grid out;
  for (std::int32_t r = 0; r < s.rows; ++r) {
    std::vector<std::wstring> row;
    for (std::int32_t c = 0; c < s.columns; ++c) {
      row.push_back(Text(CellAt(array, s.firstRow + r, s.firstColumn + c)));
    }
    out.push_back(row);
  }
  return out;
}

void ReadNumberInText(VARIANT& cell) {
  double value = 0;
  if (cell.vt == VT_BSTR &&
      SUCCEEDED(VarR8FromStr(cell.bstrVal, LOCALE_SYSTEM_DEFAULT, 0, &value))) {
    cell.vt = VT_R8;
    cell.dblVal = value;
  }
}

std::wstring FieldText(const VARIANT& field) {
  if (field.vt != VT_BSTR) return L"<not a string>";
  return field.bstrVal != nullptr ? std::wstring(field.bstrVal) : L"";
}

Record::~Record() {
  tkr::ReleaseRecord(comm);
}

}  // namespace tkt

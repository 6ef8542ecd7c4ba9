// Typing a CSV field: the cell a field's text stands for, used to compare only.
//
// An empty field, quoted or not, is empty; TRUE/FALSE (any case) are booleans; YYYY-MM-DD,
// optionally with Thh:mm or Thh:mm:ss, is a date when the calendar has that day and the year
// is 0100 or later (the first year of OLE dates; 0001-01-01 and 2023-02-31 stay text, never
// another day), and so is a day written with slashes in the system's order of day, month and
// a four-digit year, with points where the day comes first (3/14/2026 where the month comes
// first; 14/03/2026 and 14.03.2026 where the day does), optionally with h:mm or h:mm:ss after
// a blank; a decimal integer that fits in 32 bits is a Long, another decimal number a Double;
// everything else is text. Quotes do not make a field text: "10" is the number 10, as a
// spreadsheet's import reads it, unless the caller keeps quoted fields as text.
#pragma once

#include <string>

#include "platform/ole.h"

namespace tkr {

// A field's text and whether it was quoted: what cell typing needs.
struct CsvField {
  std::wstring text;
  bool quoted = false;
};

// How fields are typed: whether a quoted field stays text (and "" the empty text), the
// decimal mark ('.' or ','; with ',' points may group thousands: 1.234,5), and the order of
// day, month and year in dates written with slashes or points.
enum class DateOrder { MonthDayYear, DayMonthYear, YearMonthDay };
struct CellTyping {
  bool quotedText = false;
  wchar_t decimal = L'.';
  DateOrder dates = DateOrder::MonthDayYear;
};

// The order of the system's short dates (the one its spreadsheet writes).
DateOrder SystemDateOrder();

// The typed VARIANT for one field (the caller clears it).
VARIANT CellFromField(const CsvField& field, const CellTyping& typing = {});

// A text cell holding `text` as it stands (the caller clears it).
VARIANT TextCell(const std::wstring& text);

}  // namespace tkr

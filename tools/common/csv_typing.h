// Typing a CSV field: the cell a field's text stands for, used to compare only.
//
// A field is typed as a spreadsheet's import reads it under the automatic order, and only where
// it clearly is a number, a date or a time; everything else is text. Blanks around a field
// (spaces, tabs, no-break spaces) do not count for its type. An empty field, quoted or not, is
// empty, and so is one of the missing-value words the caller names (NA, N/A, null: exactly as
// given); TRUE/FALSE (any case) are booleans. Dates: YYYY-MM-DD, its month and day with one
// digit or two (2024-3-5), optionally with hh:mm or hh:mm:ss after a T or a blank, is a date
// when the calendar has that day and the year is 0100 or later (the first year of OLE dates;
// 0001-01-01 and 2023-02-31 stay text, never another day), and so is a day written with
// slashes in the locale's order of day, month and a four-digit year, with points where the
// day comes first (3/14/2026 where the month comes first; 14/03/2026 and 14.03.2026 where the
// day does), optionally with h:mm or h:mm:ss after a blank. A time of day alone (12:30,
// 8:05:59; hours 0 to 23) is the date 0 at that time, as a spreadsheet keeps a time. Numbers:
// a decimal integer that fits in 32 bits is a Long, another decimal number a Double; the
// locale's thousands mark may group the whole part in threes (1,234.50), and a number may be
// dressed as the spreadsheet shows it: the locale's currency symbol before or after it
// ($5.25, or 5,25 with
// the euro sign after it where that is the locale's), a sign before either, a percent sign after it
// (5% is 0.05), or accounting parentheses for a negative amount ((20.00) and ($20.00) are -20).
// Quotes do not make a field text: "10" is the number 10, as a spreadsheet's import reads it,
// unless the caller keeps quoted fields as text.
#pragma once

#include <string>
#include <vector>

#include "common/text_blocks.h"
#include "platform/ole.h"

namespace tkr {

// A field's text and whether it was quoted: what cell typing needs.
struct CsvField {
  std::wstring text;
  bool quoted = false;
};

// How fields are typed: whether a quoted field stays text (and "" the empty text), the
// decimal mark ('.' or ','; with ',' points may group thousands: 1.234,5), the order of day,
// month and year in dates written with slashes or points, the marks that may group thousands
// (empty: the one of , and . that is not the decimal mark), the currency symbol a number may
// wear (empty: none), and the words that stand for a missing value.
enum class DateOrder { MonthDayYear, DayMonthYear, YearMonthDay };
struct CellTyping {
  // The first three as most callers give them; the rest are set by name.
  CellTyping(bool quoted = false, wchar_t mark = L'.', DateOrder order = DateOrder::MonthDayYear)
      : quotedText(quoted), decimal(mark), dates(order) {}
  bool quotedText = false;
  wchar_t decimal = L'.';
  DateOrder dates = DateOrder::MonthDayYear;
  std::wstring groups;
  std::wstring currency = L"$";
  std::vector<std::wstring> missing;
};

// The order of the system's short dates (the one its spreadsheet writes).
DateOrder SystemDateOrder();

// True for a field that stands for a missing value: one of `typing.missing`, blanks around it
// not counted, unless it is quoted and quoted fields stay text.
bool IsMissing(const CsvField& field, const CellTyping& typing);

// The typed VARIANT for one field (the caller clears it). Its text, if it is one, is made in
// `blocks` when given (then nothing may clear it: see text_blocks.h).
VARIANT CellFromField(const CsvField& field, const CellTyping& typing = {},
                      TextBlocks* blocks = nullptr);

// A text cell holding `text` as it stands (the caller clears it), made in `blocks` when given.
VARIANT TextCell(const std::wstring& text, TextBlocks* blocks = nullptr);

}  // namespace tkr

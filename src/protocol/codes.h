// The numbers a caller exchanges with TKselect, besides the statuses (status.h) and the
// continuations (continuation.h): the command codes, what the return value says, the keyword
// values of the three command lines and the shape of an entry array.
//
// Every value here is part of the interface: macros hold them as constants of their own, and
// an entry array a macro builds itself carries the keyword values as they stand. The engine,
// the tools and the tests use these names; no other file writes the numbers again.
#pragma once

#include <cstdint>

namespace tk {

// Command codes, in the order in which a call tests them.
enum Command : std::int32_t {
  kSelect = 100,
  kBenchmark = 832,
  kExport = 103,
  kMove = 102,
  kSortIndex = 101,
  kAbout = 107,
  kReset = 104,
};

// True for the seven command codes; any other code is an answer to a break-out.
constexpr bool IsCommand(std::int32_t code) {
  return code == kSelect || code == kBenchmark || code == kExport || code == kMove ||
         code == kSortIndex || code == kAbout || code == kReset;
}

// What the return value of TKselect tells the caller.
enum CallReturn : std::int32_t {
  kReturnEnded = 0,     // finished or failed; the code holds the status
  kReturnBreakOut = 1,  // the caller must compare or copy, then call again
  kReturnOutput = 2,    // SORTINDEX succeeded, ABOUT, first benchmark phase
  kReturnReset = 3,     // RESET
};

// True for 700 to 799: the errors, each with a message of its own, that LastError keeps.
// Division truncates toward zero, so -700 is no error.
constexpr bool IsError(std::int32_t code) {
  return code / 100 == 7;
}

// Keyword values: the mode of an entry in the sort, move and export lines. The sort keys
// after the first three keep VarCmp's rule for every pair but two texts (or, for the last
// pair, a text the system locale reads as a number); see sort/cell_order.h.
enum KeyMode : std::int32_t {
  kCompareAscending = 1,          // TK_COMPASCAUTO
  kCompareDescending = 2,         // TK_COMPDESAUTO
  kCompareBreakOut = 3,           // TK_COMPBRKO
  kCompareAscendingCase = 4,      // TK_COMPASCCASE: text with case, lower case first
  kCompareDescendingCase = 5,     // TK_COMPDESCASE
  kCompareAscendingNatural = 6,   // TK_COMPASCNATURAL: digit runs compared as numbers
  kCompareDescendingNatural = 7,  // TK_COMPDESNATURAL
  kCompareAscendingNumText = 8,   // TK_COMPASCNUMTEXT: text that reads as a number is one
  kCompareDescendingNumText = 9,  // TK_COMPDESNUMTEXT
  kMoveAuto = 500,                // TK_MOVEAUTO
  kMoveBreakOut = 501,            // TK_MOVEBRKO
  kExportAuto = 600,              // TK_EXPORTAUTO
  kExportBreakOut = 601,          // TK_EXPORTBRKO
};

// True for the sort keys whose order is reversed.
constexpr bool IsDescending(std::int32_t mode) {
  return mode == kCompareDescending || mode == kCompareDescendingCase ||
         mode == kCompareDescendingNatural || mode == kCompareDescendingNumText;
}

// Elements per entry of an entry array: column and keyword value for sort and move lines,
// source column, destination column and keyword value for export lines.
constexpr std::int32_t kPairFields = 2;
constexpr std::int32_t kExportFields = 3;

}  // namespace tk

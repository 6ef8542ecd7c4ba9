// Comparison rules for keys a program is asked about (TK_COMPBRKO), as tkrun's --compare
// names them.
//
//   natural  runs of digits by their value, the rest by the system locale's case-insensitive
//            collation: "file9" before "file10", "co-op 2" before "coop 10"
//   case     the system locale's collation with regard to case: "a" before "A"
//   numtext  a text the system locale reads as a number ("10", "1,500.5") as that number
//   length   shorter text first; equal lengths tie
//   exact    code point by code point, case-sensitive
// Each may be reversed ("natural:desc"). The first three are orders the engine compares
// itself (NativeKeyword): a program hands it the key with that keyword and answers no
// comparison. The program answers the other two (CompareByRule). Empty cells (an empty field
// without quotes) sort after every other cell, in either direction, under every rule.
#pragma once

#include <cstdint>
#include <string>

#include "common/csv.h"

namespace tkr {

enum class Rule { Natural, Case, NumText, Length, Exact };

struct CompareRule {
  Rule rule = Rule::Natural;
  bool descending = false;
};

// Parses "natural", "case", "numtext", "length", "exact", each optionally followed by ":desc".
bool ParseRule(const std::string& text, CompareRule& rule);

// The sort keyword value under which the engine compares `rule` itself, or 0 for a rule
// whose comparisons the program answers.
std::int32_t NativeKeyword(const CompareRule& rule);

// -1, 0 or 1 for two fields under `rule`, one of those NativeKeyword gives 0 for; the
// others tie here, for the engine never asks about them.
std::int32_t CompareByRule(const CompareRule& rule, const CsvField& a, const CsvField& b);

}  // namespace tkr

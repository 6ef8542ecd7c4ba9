// Comparison rules a program can use to answer compare break-outs.
//
//   natural  runs of digits by their value, everything between them by the same
//            case-insensitive collation of the system locale that the engine's automatic keys
//            use: "file9" before "file10", "Item 2" before "item 10", "École" before "zebra"
//   length   shorter text first; equal lengths tie
//   exact    code point by code point, case-sensitive
// Each may be reversed ("natural:desc"). Empty cells (an empty field without quotes) sort after
// every other cell, in either direction, as the engine's own keys do.
#pragma once

#include <cstdint>
#include <string>

#include "common/csv.h"

namespace tkr {

enum class Rule { Natural, Length, Exact };

struct CompareRule {
  Rule rule = Rule::Natural;
  bool descending = false;
};

// Parses "natural", "length", "exact", each optionally followed by ":desc".
bool ParseRule(const std::string& text, CompareRule& rule);

// -1, 0 or 1 for the two texts.
int NaturalCompare(const std::wstring& a, const std::wstring& b);

// -1, 0 or 1 for two fields under `rule`.
std::int32_t CompareByRule(const CompareRule& rule, const CsvField& a, const CsvField& b);

}  // namespace tkr

// Comparison rules a program can use to answer compare break-outs.
//
//   natural  case-insensitive, runs of digits by their value: "file9" before "file10",
//            "Item 2" before "item 10"
//   length   shorter text first; equal lengths tie
//   exact    code point by code point, case-sensitive
// Each may be reversed ("natural:desc"). Empty cells sort after every other cell, in either
// direction, as the engine's own keys do.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ole.h"

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

// -1, 0 or 1 for two cells under `rule`.
std::int32_t CompareByRule(const CompareRule& rule, const VARIANT& a, const VARIANT& b);

}  // namespace tkr

#include "common/compare_rules.h"

#include "platform/ole.h"

namespace tkr {
namespace {

int Sign(long long v) {
  return v < 0 ? -1 : v > 0 ? 1 : 0;
}

bool IsDigit(wchar_t ch) {
  return ch >= L'0' && ch <= L'9';
}

}  // namespace

bool ParseRule(const std::string& text, CompareRule& rule) {
  std::string name = text;
  rule.descending = false;
  const std::string desc = ":desc";
  if (name.size() > desc.size() &&
      name.compare(name.size() - desc.size(), desc.size(), desc) == 0) {
    rule.descending = true;
    name.resize(name.size() - desc.size());
  }
  if (name == "natural") {
    rule.rule = Rule::Natural;
  } else if (name == "length") {
    rule.rule = Rule::Length;
  } else if (name == "exact") {
    rule.rule = Rule::Exact;
  } else {
    return false;
  }
  return true;
}

int NaturalCompare(const std::wstring& a, const std::wstring& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      // Compare the two runs of digits by value: skip leading zeros, then the longer run is
      // the larger number, and runs of equal length compare digit by digit.
      std::size_t ei = i, ej = j;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      std::size_t si = i, sj = j;
      while (si + 1 < ei && a[si] == L'0') ++si;
      while (sj + 1 < ej && b[sj] == L'0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
      for (std::size_t k = 0; k < ei - si; ++k) {
        if (a[si + k] != b[sj + k]) return a[si + k] < b[sj + k] ? -1 : 1;
      }
      i = ei;
      j = ej;
      continue;
    }
    // The runs up to the next digit, compared as the engine compares text cells.
    std::size_t ei = i, ej = j;
    while (ei < a.size() && !IsDigit(a[ei])) ++ei;
    while (ej < b.size() && !IsDigit(b[ej])) ++ej;
    const int r = CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data() + i,
                                 static_cast<int>(ei - i), b.data() + j, static_cast<int>(ej - j));
    if (r == CSTR_LESS_THAN) return -1;
    if (r == CSTR_GREATER_THAN) return 1;
    i = ei;
    j = ej;
  }
  return Sign(static_cast<long long>(a.size() - i) - static_cast<long long>(b.size() - j));
}

std::int32_t CompareByRule(const CompareRule& rule, const CsvField& a, const CsvField& b) {
  const bool emptyA = !a.quoted && a.text.empty();
  const bool emptyB = !b.quoted && b.text.empty();
  if (emptyA || emptyB) return emptyA == emptyB ? 0 : emptyA ? 1 : -1;
  int r = 0;
  switch (rule.rule) {
    case Rule::Natural: r = NaturalCompare(a.text, b.text); break;
    case Rule::Length:
      r = Sign(static_cast<long long>(a.text.size()) - static_cast<long long>(b.text.size()));
      break;
    case Rule::Exact: r = Sign(a.text.compare(b.text)); break;
  }
  return rule.descending ? -r : r;
}

}  // namespace tkr

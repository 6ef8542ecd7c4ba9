#include "common/compare_rules.h"

#include "protocol/codes.h"

namespace tkr {
namespace {

int Sign(long long v) {
  return v < 0 ? -1 : v > 0 ? 1 : 0;
}

}  // namespace

bool ParseRule(const std::string& text, CompareRule& rule) {
  static const struct {
    const char* name;
    Rule rule;
  } kNames[] = {{"natural", Rule::Natural},
                {"case", Rule::Case},
                {"numtext", Rule::NumText},
                {"length", Rule::Length},
                {"exact", Rule::Exact}};
  std::string name = text;
  rule.descending = false;
  const std::string desc = ":desc";
  if (name.size() > desc.size() &&
      name.compare(name.size() - desc.size(), desc.size(), desc) == 0) {
    rule.descending = true;
    name.resize(name.size() - desc.size());
  }
  for (const auto& known : kNames) {
    if (name == known.name) {
      rule.rule = known.rule;
      return true;
    }
  }
  return false;
}

std::int32_t NativeKeyword(const CompareRule& rule) {
  switch (rule.rule) {
    case Rule::Natural:
      return rule.descending ? tk::kCompareDescendingNatural : tk::kCompareAscendingNatural;
    case Rule::Case:
      return rule.descending ? tk::kCompareDescendingCase : tk::kCompareAscendingCase;
    case Rule::NumText:
      return rule.descending ? tk::kCompareDescendingNumText : tk::kCompareAscendingNumText;
    case Rule::Length:
    case Rule::Exact: break;
  }
  return 0;
}

std::int32_t CompareByRule(const CompareRule& rule, const CsvField& a, const CsvField& b) {
  const bool emptyA = !a.quoted && a.text.empty();
  const bool emptyB = !b.quoted && b.text.empty();
  if (emptyA || emptyB) return emptyA == emptyB ? 0 : emptyA ? 1 : -1;
  int r = 0;
  switch (rule.rule) {
    case Rule::Length:
      r = Sign(static_cast<long long>(a.text.size()) - static_cast<long long>(b.text.size()));
      break;
    case Rule::Exact: r = Sign(a.text.compare(b.text)); break;
    case Rule::Natural:
    case Rule::Case:
    case Rule::NumText: break;
  }
  return rule.descending ? -r : r;
}

}  // namespace tkr

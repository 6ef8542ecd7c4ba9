// Texts ranked by code points or by a chosen locale's collation (see ranks.h).
#include "tkrun/ranks.h"

#include <algorithm>
#include <cwchar>
#include <new>
#include <string_view>
#include <vector>

#include "sort/cell_order.h"

namespace tkrun {
namespace {

// A UTF-16 unit's place in code-point order: the surrogates, which stand for the code points
// past U+FFFF, after every other unit (U+E000 to U+FFFF move down to make room).
unsigned CodePointWeight(wchar_t unit) {
  const unsigned u = unit;
  return u >= 0xD800u && u <= 0xDFFFu ? u + 0x2000u : u >= 0xE000u ? u - 0x800u : u;
}

// -1, 0 or 1: `a` before, with or after `b` in code-point order (a prefix first).
int CompareCodePoints(BSTR a, BSTR b) {
  const UINT na = SysStringLen(a), nb = SysStringLen(b);
  for (UINT i = 0; i < na && i < nb; ++i) {
    if (a[i] != b[i]) return CodePointWeight(a[i]) < CodePointWeight(b[i]) ? -1 : 1;
  }
  return na == nb ? 0 : na < nb ? -1 : 1;
}

// The collation's sort key of `text` under `flags`, appended to `keys`.
void AppendSortKey(const std::wstring& locale, std::uint32_t flags, BSTR text, std::string& keys) {
  const DWORD map = LCMAP_SORTKEY | flags;
  const int length = static_cast<int>(SysStringLen(text));
  const int size =
      LCMapStringEx(locale.c_str(), map, text, length, nullptr, 0, nullptr, nullptr, 0);
  if (size <= 0) return;  // no key: the text goes first, as one with an empty key
  const std::size_t at = keys.size();
  keys.resize(at + static_cast<std::size_t>(size));
  // With LCMAP_SORTKEY the destination is a byte buffer passed as a wide pointer.
  LCMapStringEx(locale.c_str(), map, text, length, reinterpret_cast<LPWSTR>(&keys[at]), size,
                nullptr, nullptr, 0);
}

}  // namespace

TextRanking RankingOf(const Entry& key, bool rankTexts) {
  TextRanking how;
  if (key.ordinal) {
    how.kind = TextRanking::Kind::CodePoints;
    return how;
  }
  if (!rankTexts || CellsOf(key) == KeyCells::None) return how;
  // The flags and the reading of numbers the library gives the key's keyword.
  const tk::TextRule rule = tk::TextRuleOf(key.mode);
  how.kind = TextRanking::Kind::Collation;
  how.flags = rule.Flags;
  how.readsNumbers = rule.ReadsNumbers;
  return how;
}

int SlotOf(const Entry& key, bool automaticToo, bool rankTexts) {
  // 0: the typed cells, or the text of the column's only kind of text key; 1: text beside
  // typed cells; 2: code-point ranks; 3 and up: collation ranks, one column per set of flags.
  if (key.ordinal) return 2;
  if (CellsOf(key) == KeyCells::Text && rankTexts) {
    const TextRanking how = RankingOf(key, rankTexts);
    return 3 + static_cast<int>(how.flags) * 2 + (how.readsNumbers ? 1 : 0);
  }
  return CellsOf(key) == KeyCells::Text && automaticToo ? 1 : 0;
}

void RankTexts(VARIANT* cells, std::size_t count, const TextRanking& how,
               const std::wstring& locale, tkr::TextBlocks* blocks) {
  const auto drop = [blocks](BSTR text) {
    if (blocks == nullptr) SysFreeString(text);
  };
  if (how.kind == TextRanking::Kind::None) return;
  if (how.readsNumbers) {
    // As the library reads a numtext key's texts, but in the chosen locale.
    const LCID lcid = LocaleNameToLCID(locale.c_str(), 0);
    for (std::size_t r = 0; r < count; ++r) {
      VARIANT& cell = cells[r];
      double value = 0;
      if (cell.vt == VT_BSTR && SysStringLen(cell.bstrVal) > 0 &&
          SUCCEEDED(VarR8FromStr(cell.bstrVal, lcid, 0, &value))) {
        drop(cell.bstrVal);
        cell.vt = VT_R8;
        cell.dblVal = value;
      }
    }
  }
  // The empty text ("" kept as text) comes before every other in any locale: only code
  // points rank it, so that every text of an ordinal column is a number.
  const bool codePoints = how.kind == TextRanking::Kind::CodePoints;
  std::vector<std::uint32_t> texts;
  for (std::size_t r = 0; r < count; ++r) {
    if (cells[r].vt == VT_BSTR && (codePoints || SysStringLen(cells[r].bstrVal) > 0)) {
      texts.push_back(static_cast<std::uint32_t>(r));
    }
  }
  if (texts.empty()) return;
  std::string keys;
  std::vector<std::size_t> keyAt;  // by the place in `texts`: where its key starts, then ends
  if (!codePoints) {
    keyAt.reserve(texts.size() + 1);
    for (const std::uint32_t r : texts) {
      keyAt.push_back(keys.size());
      AppendSortKey(locale, how.flags, cells[r].bstrVal, keys);
    }
    keyAt.push_back(keys.size());
  }
  // Sorted with the first few code points (or sort-key bytes) of each text packed into one
  // number beside it, which decides most comparisons without reading the text: padded with
  // zeros, which come first as a shorter text does, so the packed order is the full one
  // wherever the packed numbers differ. (The code points' weights below are a permutation of
  // the 16-bit units, so four of them fill 64 bits.)
  struct Place {
    std::uint64_t prefix;
    std::uint32_t text;  // in `texts`
  };
  std::vector<Place> order(texts.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    std::uint64_t prefix = 0;
    if (codePoints) {
      const BSTR text = cells[texts[i]].bstrVal;
      const UINT length = SysStringLen(text);
      for (UINT k = 0; k < 4; ++k)
        prefix = prefix << 16 | (k < length ? CodePointWeight(text[k]) : 0u);
    } else {
      for (std::size_t k = 0; k < 8; ++k) {
        const std::size_t at = keyAt[i] + k;
        prefix = prefix << 8 | (at < keyAt[i + 1] ? static_cast<unsigned char>(keys[at]) : 0u);
      }
    }
    order[i] = {prefix, i};
  }
  auto key = [&](std::uint32_t i) {
    return std::string_view(keys).substr(keyAt[i], keyAt[i + 1] - keyAt[i]);
  };
  auto compare = [&](const Place& a, const Place& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    return codePoints
               ? CompareCodePoints(cells[texts[a.text]].bstrVal, cells[texts[b.text]].bstrVal)
               : key(a.text).compare(key(b.text));
  };
  std::sort(order.begin(), order.end(),
            [&](const Place& a, const Place& b) { return compare(a, b) < 0; });
  // Ranks from 1; texts that compare equal share one. Each cell is replaced once all ranks
  // are known, for the comparison reads the texts.
  std::vector<std::uint32_t> rank(texts.size());
  std::uint32_t next = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i == 0 || compare(order[i - 1], order[i]) != 0) ++next;
    rank[order[i].text] = next;
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    VARIANT& cell = cells[texts[i]];
    drop(cell.bstrVal);
    if (codePoints) {
      cell.vt = VT_I4;
      cell.lVal = static_cast<LONG>(rank[i]);
      continue;
    }
    wchar_t text[16];
    const int length = std::swprintf(text, 16, L"r%010u", rank[i]);
    cell.bstrVal = blocks != nullptr ? blocks->Add(text, static_cast<std::size_t>(length))
                                     : SysAllocString(text);
    if (cell.bstrVal == nullptr) {
      cell.vt = VT_EMPTY;
      throw std::bad_alloc();
    }
  }
}

}  // namespace tkrun

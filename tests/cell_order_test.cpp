// The comparison without VarCmp against VarCmp itself: random pairs of hostile cells, where
// every key result must be the one VarCmp gives, and every shortcut VarCmp's own value. Each
// order runs its share: the automatic one, with case, natural, text as number; VarCmp is
// given each order's flags, and for text as number the numbers VarR8FromStr reads.
//
// cell_order_test                          200,000 pairs per order (the test command)
// cell_order_test --pairs 10000000         a long run
// cell_order_test --lcid 0407              fails unless the system locale is that one (the
//                                          CTest entries run it under several locales)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "entry/engine.h"
#include "sort/compare.h"
#include "sort/letter_keys.h"
#include "support/caller.h"
#include "support/table.h"

namespace {

long long gPairs = 200000;
unsigned long gLcid = 0;  // 0: any locale

// Characters that collations treat each in their own way: case, accents and combining marks,
// hyphens and apostrophes (weighed little), digits, punctuation and spaces, ß, the Turkish
// dotted and dotless i, ligatures, full-width forms, Danish and Swedish letters, Czech ch,
// Japanese kana, ignorable and control characters, an unpaired surrogate half.
const wchar_t kAlphabet[] =
    L"aAbBcChHiIzZ-' 0129.,;!~_"
    L"\u00df\u0130\u0131\u00e9\u00c9\u00e8\u0301\u0308\u00fc\u00dc\u00f6\u00e4\u00c4\u00e6"
    L"\u00f8\u00e5\u00c5\u0153\ufb01\u00bd\uff21\uff41\uff11\u3042\u30a2\u30ab\u00ad\u200b"
    L"\u0001\u007f\xd800\xdc00";

class Cells {
 public:
  explicit Cells(std::uint32_t seed) : gen_(seed) {}

  // A cell of the batch's kind: 0 text, 1 one numeric type, 2 whole numbers and Doubles,
  // 3 anything.
  void Make(int kind, VARTYPE numeric, VARIANT& cell) {
    VariantInit(&cell);
    if (kind == 0 || (kind == 3 && Below(3) == 0)) return Text(cell);
    const VARTYPE mixes[] = {VT_UI1, VT_I2, VT_I4, VT_INT, VT_I8, VT_R8};
    VARTYPE type = numeric;
    if (kind == 2) type = mixes[Below(6)];
    if (kind == 3) type = kAnyTypes[Below(sizeof kAnyTypes / sizeof kAnyTypes[0])];
    Number(type, cell);
  }

  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(gen_() % n); }

  // A batch's large Currency amounts lie next to one value between 2^53 and 2^62 units.
  bool IsLargeCurrency(std::int64_t units) const {
    return units >= largeCurrency_ && units < largeCurrency_ + 4;
  }

  static constexpr VARTYPE kNumericTypes[] = {VT_I1,  VT_UI1, VT_I2,   VT_UI2,  VT_I4,
                                              VT_UI4, VT_INT, VT_UINT, VT_I8,   VT_UI8,
                                              VT_R4,  VT_R8,  VT_CY,   VT_DATE, VT_BOOL};
  static constexpr VARTYPE kAnyTypes[] = {
      VT_EMPTY, VT_NULL, VT_ERROR, VT_DECIMAL, VT_I1, VT_UI1, VT_I2, VT_UI2,  VT_I4,   VT_UI4,
      VT_INT,   VT_UINT, VT_I8,    VT_UI8,     VT_R4, VT_R8,  VT_CY, VT_DATE, VT_BOOL, VT_EMPTY};

 private:
  void Text(VARIANT& cell) {
    cell.vt = VT_BSTR;
    const std::uint32_t roll = Below(40);
    if (roll == 0) return;  // a null string
    std::wstring s;
    if (roll == 1) {
      s = std::to_wstring(static_cast<int>(Below(2000)) - 1000);  // a number as text
    } else if (roll >= 28) {
      s = Numberish();
    } else if (!last_.empty() && roll < 16) {
      s = last_;  // close to the text before: one character changed, added or removed
      const std::uint32_t at = Below(static_cast<std::uint32_t>(s.size()));
      const std::uint32_t how = Below(4);
      const wchar_t c = kAlphabet[Below(sizeof kAlphabet / sizeof(wchar_t) - 1)];
      if (how == 0) s[at] = c;
      if (how == 1) s.insert(s.begin() + at, c);
      if (how == 2 && s.size() > 1) s.erase(s.begin() + at);
      if (how == 3)
        s[at] = static_cast<wchar_t>(std::iswupper(s[at]) ? std::towlower(s[at])
                                                          : std::towupper(s[at]));
    } else {
      const std::uint32_t length = Below(9);
      for (std::uint32_t i = 0; i < length; ++i) {
        s += Below(3) == 0 ? kAlphabet[Below(sizeof kAlphabet / sizeof(wchar_t) - 1)]
                           : static_cast<wchar_t>(L'a' + Below(26));
      }
    }
    if (Below(50) == 0)
      s.insert(s.begin() + Below(static_cast<std::uint32_t>(s.size()) + 1), L'\0');
    last_ = s;
    cell.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  }

  // Text that reads as a number, nearly does, or holds digit runs: signs, currency symbols,
  // separators of thousands and decimals, exponents, leading zeros and runs longer than any
  // number, digits of other scripts, words around them.
  std::wstring Numberish() {
    static const wchar_t* const kPieces[] = {L"-",
                                             L"+",
                                             L"\u2212",
                                             L"$",
                                             L"\u20ac",
                                             L"\u00a5",
                                             L"%",
                                             L"(",
                                             L")",
                                             L" ",
                                             L"\u00a0",
                                             L",",
                                             L".",
                                             L"'",
                                             L"e5",
                                             L"E-3",
                                             L"e",
                                             L"0",
                                             L"00",
                                             L"007",
                                             L"file",
                                             L"v",
                                             L"Item ",
                                             L"\u0661\u0662",
                                             L"\uff11\uff10",
                                             L"\u0967\u0966",
                                             L"&H1F",
                                             L"1.5",
                                             L"1,000"};
    std::wstring s;
    const std::uint32_t pieces = 1 + Below(5);
    for (std::uint32_t i = 0; i < pieces; ++i) {
      if (Below(2) == 0) {
        s += kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
      } else {
        // A run of digits: mostly short, now and then longer than any number type holds.
        const std::uint32_t digits = Below(8) == 0 ? 16 + Below(30) : 1 + Below(4);
        for (std::uint32_t d = 0; d < digits; ++d) s += static_cast<wchar_t>(L'0' + Below(10));
      }
    }
    return s;
  }

  double Special() {
    const double specials[] = {0.0,
                               -0.0,
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::denorm_min(),
                               -std::numeric_limits<double>::denorm_min(),
                               std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::lowest(),
                               -657434.0,     // the first date, 100-01-01
                               2958465.9999,  // the last, 9999-12-31 23:59
                               -1.25,         // a date before 1899-12-30 with a time
                               -1.75,
                               -0.5,
                               1e-300,
                               9007199254740993.0};
    return specials[Below(sizeof specials / sizeof specials[0])];
  }

  void Number(VARTYPE type, VARIANT& cell) {
    const bool special = Below(5) == 0;
    const double real = special ? Special() : (static_cast<double>(Below(2001)) - 1000) / 8;
    const auto whole = static_cast<std::int64_t>(Below(401)) - 200;
    cell.vt = type;
    switch (type) {
      case VT_EMPTY:
      case VT_NULL: break;
      case VT_ERROR: cell.scode = Below(2) == 0 ? DISP_E_PARAMNOTFOUND : 2042; break;
      case VT_DECIMAL: {
        VARIANT r8;
        r8.vt = VT_R8;
        r8.dblVal = static_cast<double>(whole) / 4;
        VarDecFromR8(r8.dblVal, &cell.decVal);
        cell.vt = VT_DECIMAL;
        break;
      }
      case VT_I1: cell.cVal = static_cast<CHAR>(special ? -128 : whole / 2); break;
      case VT_UI1: cell.bVal = static_cast<BYTE>(special ? 255 : whole + 200); break;
      case VT_I2: cell.iVal = static_cast<SHORT>(special ? -32768 : whole); break;
      case VT_UI2: cell.uiVal = static_cast<USHORT>(special ? 65535 : whole + 200); break;
      case VT_I4:
        cell.lVal = special ? (Below(2) ? INT32_MIN : INT32_MAX) : static_cast<LONG>(whole);
        break;
      case VT_UI4: cell.ulVal = special ? 0xFFFFFFFFu : static_cast<ULONG>(whole + 200); break;
      case VT_INT: cell.intVal = static_cast<INT>(whole); break;
      case VT_UINT: cell.uintVal = static_cast<UINT>(whole + 200); break;
      case VT_I8:
        cell.llVal = special ? (Below(2) ? INT64_MIN : (INT64_C(1) << 53) + 1) : whole;
        break;
      case VT_UI8: cell.ullVal = special ? UINT64_MAX : static_cast<ULONGLONG>(whole + 200); break;
      case VT_R4: cell.fltVal = static_cast<float>(real); break;
      case VT_R8: cell.dblVal = real; break;
      case VT_CY:
        cell.cyVal.int64 = special ? (Below(2) ? INT64_MIN : INT64_MAX) : whole * 2500;
        if (Below(4) == 0) cell.cyVal.int64 = largeCurrency_ + Below(4);  // neighbours
        break;
      case VT_DATE: cell.date = real; break;
      case VT_BOOL:
        // True, False, and now and then a value a caller wrote by hand.
        cell.boolVal =
            static_cast<VARIANT_BOOL>(special ? 1 : (Below(2) ? VARIANT_TRUE : VARIANT_FALSE));
        break;
      default: cell.vt = VT_EMPTY; break;
    }
  }

  std::mt19937 gen_;
  std::wstring last_;
  std::int64_t largeCurrency_ = (std::int64_t{1} << 53) + (std::int64_t{gen_() >> 2} << 30);
};

// The orders under test: the ascending keyword of each, and the flags VarCmp gets for it.
struct Order {
  const char* name;
  const wchar_t* ascending;
  const wchar_t* descending;
  DWORD flags;
  bool readsNumbers;
};
const Order kOrders[] = {
    {"automatic", L"1,TK_COMPASCAUTO", L"1,TK_COMPDESAUTO", NORM_IGNORECASE, false},
    {"with case", L"1,TK_COMPASCCASE", L"1,TK_COMPDESCASE", 0, false},
    {"natural", L"1,TK_COMPASCNATURAL", L"1,TK_COMPDESNATURAL",
     NORM_IGNORECASE | SORT_DIGITSASNUMBERS, false},
    {"text as number", L"1,TK_COMPASCNUMTEXT", L"1,TK_COMPDESNUMTEXT", NORM_IGNORECASE, true},
};

// VarCmp's answer under `order`: a text that reads as a number is that number first.
HRESULT Reference(const Order& order, const VARIANT* a, const VARIANT* b) {
  VARIANT x = *a, y = *b;
  if (order.readsNumbers) {
    tkt::ReadNumberInText(x);
    tkt::ReadNumberInText(y);
  }
  return VarCmp(&x, &y, LOCALE_SYSTEM_DEFAULT, order.flags);
}

// Currency amounts are whole numbers of ten-thousandths in 64 bits. The 64-bit VarCmp we
// run on compares two of them through doubles, so that neighbours past 2^53 units
// (8.2 x 10^11) come out equal; the engine orders them exactly, as the 32-bit VarCmp does.
// Such a pair is counted under this name and held to its exact order.
bool CurrencyThroughDoubles(const VARIANT* a, const VARIANT* b, HRESULT& v) {
  if (a->vt != VT_CY || b->vt != VT_CY || v != VARCMP_EQ || a->cyVal.int64 == b->cyVal.int64) {
    return false;
  }
  v = a->cyVal.int64 < b->cyVal.int64 ? VARCMP_LT : VARCMP_GT;
  return true;
}

// The key result the comparison must give from the order's answer `v`: then the empty-cell
// rule, then the direction. `ended` for a null (710).
std::int32_t Expected(HRESULT v, VARIANT* a, VARIANT* b, bool descending, bool ignoreEmpty,
                      bool& ended) {
  ended = v == VARCMP_NULL;
  const auto r = static_cast<std::int32_t>(static_cast<std::uint32_t>(v) - 1u);
  const bool emptyA = a->vt == VT_EMPTY;
  const bool emptyB = b->vt == VT_EMPTY;
  if (emptyA && emptyB) return 0;
  if (emptyA) return ignoreEmpty ? 0 : 1;
  if (emptyB) return ignoreEmpty ? 0 : -1;
  return descending ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(r)) : r;
}

struct Tally {
  long long pairs = 0, byTextKey = 0, byValue = 0, failures = 0;
  long long byCarriedKey = 0, carriedTies = 0;
  long long largeCurrencyNeighbours = 0, currencyThroughDoubles = 0;
};

// One batch: `rows` cells of one kind in one column, SELECT to set the selection up, text keys
// made as a sort makes them, then `pairs` random pairs through CompareRows.
void Batch(const Order& order, std::uint32_t seed, int kind, VARTYPE numeric, long long pairs,
           Tally& tally) {
  constexpr std::uint32_t kRows = 2000;
  Cells make(seed);
  SAFEARRAYBOUND bound = {kRows, 1};
  SAFEARRAY* column = SafeArrayCreate(VT_VARIANT, 1, &bound);
  auto* cells = static_cast<VARIANT*>(column->pvData);
  for (std::uint32_t r = 0; r < kRows; ++r) make.Make(kind, numeric, cells[r]);

  const bool descending = make.Below(2) == 0;
  const bool ignoreEmpty = make.Below(2) == 0;
  tk::Engine engine;
  tkt::Record record;
  tkt::PutArray(record.comm.Source.Data, column);
  tkt::PutText(record.comm.SortCmd, descending ? order.descending : order.ascending);
  record.comm.IgnoreEmpty = ignoreEmpty ? 1 : 0;
  tkt::Caller caller(engine);
  caller.Run(tk::kSelect, record.comm);  // any ending: the selection is set up before the sort
  ASSERT_EQ(engine.selection.keys.SortKeys.size(), 1u);

  // Every other batch makes its ranks from keys in shares of a few kilobytes, so that they
  // are merged from dozens of sorted runs, as a million long texts are; every other pair of
  // batches makes them on two threads, as for a large column (a small budget then leaves
  // no room for the halves, and the shares take over); every other four merge with every key
  // made again, as when there is no memory for the keys' heads.
  tk::CompareState compare;
  const std::size_t budget = seed % 2 == 0 ? tk::kTextKeyBudget : 4096 + make.Below(16384);
  const std::uint32_t inTwoFrom = seed % 4 < 2 ? 2u : tk::kTextKeysInTwoFrom;
  compare.Text.Build(engine.selection, budget, inTwoFrom, seed % 8 < 4);
  if (kind == 0) {
    ASSERT_GT(compare.Text.KeyedCells(), kRows / 2) << "the texts got no keys";
  }
  // Texts next to each other in the order itself, where two merges of runs meet: random pairs
  // seldom fall on the two texts either side of that key.
  std::vector<std::int32_t> texts;
  for (std::int32_t r = 1; r <= static_cast<std::int32_t>(kRows); ++r) {
    HRESULT v = 0;
    if (cells[r - 1].vt == VT_BSTR && compare.Text.Compare(0, r, r, v)) texts.push_back(r);
  }
  std::sort(texts.begin(), texts.end(), [&](std::int32_t a, std::int32_t b) {
    return Reference(order, &cells[a - 1], &cells[b - 1]) == VARCMP_LT;
  });
  for (std::size_t k = 1; k < texts.size(); ++k) {
    HRESULT v = 0;
    compare.Text.Compare(0, texts[k - 1], texts[k], v);
    ASSERT_EQ(v, Reference(order, &cells[texts[k - 1] - 1], &cells[texts[k] - 1])) << k;
  }
  // The first key carried beside the row index, as the sort carries it: each row's value is
  // found through its position.
  compare.Carried.Build(engine.selection, compare.Text, record.comm);
  const std::uint64_t* carried = compare.Carried.Values();
  ASSERT_NE(carried, nullptr);
  std::vector<std::uint32_t> positionOf(kRows + 1);
  for (std::uint32_t j = 1; j <= kRows; ++j) {
    positionOf[static_cast<std::size_t>(engine.selection.RowIndex[j])] = j;
  }

  for (long long p = 0; p < pairs; ++p) {
    const std::int32_t rowA = 1 + static_cast<std::int32_t>(make.Below(kRows));
    const std::int32_t rowB = 1 + static_cast<std::int32_t>(make.Below(kRows));
    VARIANT* a = &cells[rowA - 1];
    VARIANT* b = &cells[rowB - 1];
    HRESULT varcmp = Reference(order, a, b);
    if (a->vt == VT_CY && b->vt == VT_CY && a->cyVal.int64 != b->cyVal.int64 &&
        make.IsLargeCurrency(a->cyVal.int64) && make.IsLargeCurrency(b->cyVal.int64)) {
      ++tally.largeCurrencyNeighbours;
    }
    if (CurrencyThroughDoubles(a, b, varcmp)) ++tally.currencyThroughDoubles;
    HRESULT v = 0;
    bool exact = true;
    if (compare.Text.Compare(0, rowA, rowB, v)) {
      ++tally.byTextKey;
      exact = v == varcmp;
    } else if (tk::CompareNumbers(*a, *b, v)) {
      ++tally.byValue;
      exact = v == varcmp;
    }
    bool ended = false;
    const std::int32_t expected = Expected(varcmp, a, b, descending, ignoreEmpty, ended);
    tk::Continuation resume = tk::Continuation::LeftScan;
    tk::Context ctx{record.comm, resume};
    const tk::Step step =
        tk::CompareRows(ctx, compare, engine.selection, tk::Continuation::LeftScan, rowA, rowB);
    const std::int32_t code = step.decided() ? step.result() : 0;
    bool same = ended ? step.ended() && step.status() == tk::Status::BadCell
                      : step.decided() && code == expected;
    // What the carried first key decides must be the comparison's own result; a certain tie
    // must be a tie that ended nothing.
    const int byCarried =
        compare.Carried.Order(carried[positionOf[static_cast<std::size_t>(rowA)]],
                              carried[positionOf[static_cast<std::size_t>(rowB)]]);
    if (byCarried == -1 || byCarried == 1 || byCarried == tk::FirstKeys::kTie) {
      ++(byCarried == tk::FirstKeys::kTie ? tally.carriedTies : tally.byCarriedKey);
      same = same && !ended && code == byCarried;
    }
    if (!exact || !same) {
      if (++tally.failures <= 20) {
        ADD_FAILURE() << "cells " << tkt::Text(*a).size() << " chars vt " << a->vt << " / vt "
                      << b->vt << ": VarCmp " << varcmp << ", shortcut " << v << ", key result "
                      << code << " for " << expected << ", carried key " << byCarried << " ("
                      << order.name << ", " << (descending ? "desc" : "asc") << ", IgnoreEmpty "
                      << ignoreEmpty << ")";
      }
    }
    ++tally.pairs;
  }
}

// The keys of plain words made from learned weights are the locale's own, byte for byte: random
// words of letters and digits in both cases, and words with one other character, which must be
// left to the locale. Under a locale where two letters sort as one, nothing is learned.
TEST(CellOrder, PlainWordsKeysAreTheLocales) {
  std::mt19937 gen(7);
  const wchar_t kOthers[] = L" -'.\u00e9\u00df\u0131";
  for (const Order& order : kOrders) {
    SCOPED_TRACE(order.name);
    tk::LetterKeys letters;
    const bool learned = letters.Learn(order.flags);
    int made = 0;
    for (int t = 0; t < 20000; ++t) {
      std::wstring word;
      const std::uint32_t length = 1 + gen() % 16;
      for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint32_t roll = gen() % 62;
        word += static_cast<wchar_t>(roll < 10   ? L'0' + roll
                                     : roll < 36 ? L'A' + (roll - 10)
                                                 : L'a' + (roll - 36));
      }
      const bool other = gen() % 4 == 0;
      if (other) word[gen() % length] = kOthers[gen() % (sizeof kOthers / sizeof(wchar_t) - 1)];
      unsigned char mine[64], theirs[64];
      const int size = static_cast<int>(word.size());
      const std::uint32_t got =
          letters.Make(word.data(), static_cast<std::uint32_t>(size), mine, sizeof mine);
      if (got == 0) continue;
      ++made;
      ASSERT_FALSE(other) << "a word with another character";
      const int expected =
          LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_SORTKEY | order.flags, word.data(), size,
                       reinterpret_cast<LPWSTR>(theirs), sizeof theirs);
      ASSERT_EQ(got, static_cast<std::uint32_t>(expected));
      ASSERT_EQ(std::memcmp(mine, theirs, got), 0);
    }
    EXPECT_EQ(made > 0, learned);
    std::printf("locale %04lx, %s: %s, %d of 20000 words' keys made from weights\n",
                GetSystemDefaultLCID(), order.name, learned ? "learned" : "nothing learned", made);
    // Letters sort one by one in US English: the automatic order must learn there.
    if (GetSystemDefaultLCID() == 0x0409 && order.flags == NORM_IGNORECASE) {
      EXPECT_TRUE(learned);
    }
  }
}

TEST(CellOrder, EveryShortcutGivesVarCmpsResult) {
  const unsigned long lcid = GetSystemDefaultLCID();
  if (gLcid != 0) {
    ASSERT_EQ(lcid, gLcid) << "the system locale is not the one asked for";
  }
  for (const Order& order : kOrders) {
    SCOPED_TRACE(order.name);
    const bool automatic = order.flags == NORM_IGNORECASE && !order.readsNumbers;
    Tally tally;
    // Batches of 10,000 pairs, in turn: six of text, mixed numbers, anything, then for the
    // automatic order each numeric type (the other orders compare numbers alike).
    constexpr long long kBatchPairs = 10000;
    constexpr int kNumeric = sizeof Cells::kNumericTypes / sizeof Cells::kNumericTypes[0];
    constexpr int kText = 6;
    const int turns = kText + 2 + (automatic ? kNumeric : 0);
    std::uint32_t seed = 1;
    for (long long done = 0; done < gPairs && tally.failures == 0; done += kBatchPairs, ++seed) {
      const int turn = static_cast<int>(seed % static_cast<std::uint32_t>(turns));
      const int kind = turn < kText ? 0 : turn == kText ? 2 : turn == kText + 1 ? 3 : 1;
      const VARTYPE numeric =
          kind == 1 ? Cells::kNumericTypes[turn - kText - 2] : VARTYPE{VT_EMPTY};
      Batch(order, seed, kind, numeric, std::min(kBatchPairs, gPairs - done), tally);
    }
    std::printf(
        "locale %04lx, %s: %lld pairs, %lld by text keys, %lld by value, %lld through VarCmp "
        "alone, %lld different; the carried first key decided %lld and found %lld ties\n",
        lcid, order.name, tally.pairs, tally.byTextKey, tally.byValue,
        tally.pairs - tally.byTextKey - tally.byValue, tally.failures, tally.byCarriedKey,
        tally.carriedTies);
    if (automatic) {
      // Both architectures meet neighbouring large amounts, and the engine orders them
      // exactly; how many VarCmp calls equal is the platform's difference, reported by name.
      std::printf(
          "locale %04lx: %lld neighbouring Currency amounts past 2^53 units, %lld of "
          "them equal to VarCmp (compared through doubles), ordered exactly here\n",
          lcid, tally.largeCurrencyNeighbours, tally.currencyThroughDoubles);
      EXPECT_GT(tally.largeCurrencyNeighbours, 100);
    }
    EXPECT_EQ(tally.failures, 0);
    // The shortcuts are taken: without them this test would prove nothing.
    EXPECT_GT(tally.byTextKey, tally.pairs / 10);
    EXPECT_GT(tally.byValue, tally.pairs / 20);
    EXPECT_GT(tally.byCarriedKey, tally.pairs / 4);
    EXPECT_GT(tally.carriedTies, 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--pairs") == 0) gPairs = std::atoll(argv[i + 1]);
    if (std::strcmp(argv[i], "--lcid") == 0) gLcid = std::strtoul(argv[i + 1], nullptr, 16);
  }
  return RUN_ALL_TESTS();
}

// tkbench: how fast SELECT sorts, against std::sort with the same comparison.
//
// For each row count it builds one table of 4 columns (text, date, real, integer) in a
// VARIANT array. First, on the keys a macro sorts a list by (the word ascending, then the
// real descending): SELECT and MOVE against std::sort of a row index with VarCmp on those
// keys, with the moved rows checked to be in order (--goal: only this table). Then, on the
// same cells:
//   1. SELECT through tkselect.dll (LoadLibrary/GetProcAddress, as a macro calls it) with
//      two automatic keys: 4 ascending, then 1 descending;
//   2. the same SELECT with the first key as a break-out key answered here with VarCmp:
//      every answer is one row comparison, so this counts the engine's comparisons;
//   3. std::sort of a row index with a comparator that calls VarCmp on the same two keys,
//      counting its calls.
// It prints one line per row count: times, comparisons per row, cost per comparison and
// the ratio of the engine's cost per comparison to std::sort's. Tables below 200,000 rows
// are timed three times and the fastest run counts, to keep warm-up out of the figures.
//
// Then the built-in BENCHMARK flow on a Range object of each size (4 columns, filled by the
// engine): BENCHMARK (fill), BENCHMARK (sort), MOVE, with the engine's own SortSeconds,
// MoveSeconds and WriteSeconds and this program's clock around each call.
//
// Last, sizes at which work that grew with the square of the input would show: MOVE and
// EXPORT with one map entry for each of thousands of columns, and SELECT reading move lines
// of tens of thousands of entries. Each figure comes with its time per cell (or per entry),
// which stays flat while the work grows in proportion to the input.
//
// With --data FILE it also writes the figures as columns for a plot. tkbench --csv FILE ROWS
// writes a sample CSV file for the runner's end-to-end figures instead, and tkbench --copy-floor
// FILE OUT what reading it and writing its records in a random order take (CopyFloor); --memory
// ROWS reports the memory one SELECT adds, in a process that has done nothing else.
//
// The four ascending orders of a key (automatic, with case, natural, numbers in text), each
// on one key column beside a column of row numbers, SELECT + MOVE with the moved rows checked
// against the order's defining function:
//   --orders ROWS        words with numbers in them ("item 7", "Shelf 12 box 3"), some
//                        numbers typed as text: each order against the automatic one and
//                        against std::sort of a row index calling the defining function
//                        (VarCmp, CompareStringEx, VarR8FromStr) at every comparison;
//   --key-memory ROWS KEYWORD   what one SELECT on that table adds per row to the peak working
//                        set and committed memory, in a process of its own;
//   --prefix ROWS        200-character texts, random against ones that share a 190-character
//                        prefix (the paths of one folder);
//   --many SMALL LARGE   short random texts, time per row at both counts.
//   --select ROWS LINE   SELECT alone on the goal's table with the sort line LINE, its seconds;
//   --floor SMALL LARGE  SELECT on the goal's table against std::sort of precomputed (key, row)
//                        pairs and of a row index reading scattered keys, at both counts.
#include <windows.h>
// after windows.h, which it needs
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <random>
#include <string>
#include <vector>

#include "common/file_bytes.h"
#include "common/library.h"
#include "common/range_object.h"
#include "common/text_encoding.h"
#include "protocol/codes.h"
#include "protocol/record.h"
#include "protocol/status.h"

namespace {

constexpr std::int32_t kDone = tk::ToCode(tk::Status::Success);

double Seconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// A rows x 4 table from row 1, column 1: word, date, real, integer.
SAFEARRAY* MakeTable(std::uint32_t rows, unsigned seed) {
  SAFEARRAYBOUND bounds[2] = {{rows, 1}, {4, 1}};
  SAFEARRAY* table = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (table == nullptr) return nullptr;  // out of memory (ten million rows in 32 bits)
  auto* cells = static_cast<VARIANT*>(table->pvData);
  std::mt19937 gen(seed);
  auto below = [&](unsigned n) { return static_cast<unsigned>(gen() % n); };
  for (std::uint32_t r = 0; r < rows; ++r) {
    wchar_t word[16] = {};
    const unsigned length = 3 + below(12);
    for (unsigned i = 0; i < length; ++i) {
      word[i] = static_cast<wchar_t>((i == 0 ? L'A' : L'a') + below(26));
    }
    VARIANT* text = &cells[r];
    text->vt = VT_BSTR;
    text->bstrVal = SysAllocString(word);
    VARIANT* date = &cells[rows + r];
    date->vt = VT_DATE;
    date->date = 30000.0 + below(20000) + below(1000) / 1000.0;
    VARIANT* real = &cells[2 * rows + r];
    real->vt = VT_R8;
    real->dblVal = below(1000000) / 7.0;
    VARIANT* integer = &cells[3 * rows + r];
    integer->vt = VT_I4;
    integer->lVal = static_cast<LONG>(below(999));
  }
  return table;
}

struct Result {
  double seconds = 0;
  std::uint64_t comparisons = 0;
  bool ended = false;  // SELECT ended with 2
};

Result EngineSort(tkr::TKselectFn tkselect, SAFEARRAY* table, const wchar_t* sortCmd,
                  bool countByBreakOut) {
  tk::TKCOMM comm{};
  comm.Source.Data.vt = VT_ARRAY | VT_VARIANT;
  comm.Source.Data.parray = table;
  comm.SortCmd.vt = VT_BSTR;
  comm.SortCmd.bstrVal = SysAllocString(sortCmd);
  const std::uint32_t rows = table->rgsabound[1].cElements;
  auto* cells = static_cast<VARIANT*>(table->pvData);

  Result result;
  std::int32_t code = tk::kSelect;
  const double start = Seconds();
  std::int32_t returned = tkselect(&code, &comm);
  while (returned == tk::kReturnBreakOut && countByBreakOut) {
    ++result.comparisons;
    // Answer as VarCmp on column 4 would: the engine then takes the same path as with an
    // automatic key, so the break-outs count its comparisons.
    const HRESULT v = VarCmp(&cells[3 * rows + static_cast<std::uint32_t>(comm.BrkRowA - 1)],
                             &cells[3 * rows + static_cast<std::uint32_t>(comm.BrkRowB - 1)],
                             LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE);
    code = static_cast<std::int32_t>(v) - 1;
    returned = tkselect(&code, &comm);
  }
  result.seconds = Seconds() - start;
  result.ended = code == kDone;
  if (code != kDone) std::fprintf(stderr, "tkbench: SELECT ended with %d\n", code);

  code = tk::kReset;  // RESET frees the selection
  tkselect(&code, &comm);
  comm.Source.Data.vt = VT_EMPTY;  // the table stays ours
  tkr::ReleaseRecord(comm);
  return result;
}

// VarCmp's order of rows `a` and `b` (0-based) on two keys of the table: column `ascending`
// first, then column `descending` reversed (0-based columns). VARCMP_LT: a goes first.
HRESULT KeyOrder(VARIANT* cells, std::uint32_t rows, std::uint32_t ascending,
                 std::uint32_t descending, std::uint32_t a, std::uint32_t b) {
  const HRESULT v = VarCmp(&cells[ascending * rows + a], &cells[ascending * rows + b],
                           LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE);
  if (v != VARCMP_EQ) return v;
  return VarCmp(&cells[descending * rows + b], &cells[descending * rows + a], LOCALE_SYSTEM_DEFAULT,
                NORM_IGNORECASE);
}

Result StdSort(SAFEARRAY* table) {
  const std::uint32_t rows = table->rgsabound[1].cElements;
  auto* cells = static_cast<VARIANT*>(table->pvData);
  std::vector<std::int32_t> index(rows);
  for (std::uint32_t i = 0; i < rows; ++i) index[i] = static_cast<std::int32_t>(i);
  Result result;
  const double start = Seconds();
  std::sort(index.begin(), index.end(), [&](std::int32_t a, std::int32_t b) {
    ++result.comparisons;
    return KeyOrder(cells, rows, 3, 0, static_cast<std::uint32_t>(a),
                    static_cast<std::uint32_t>(b)) == VARCMP_LT;
  });
  result.seconds = Seconds() - start;
  return result;
}

struct Flow {
  double fill = 0, sort = 0, move = 0;  // this program's clock around each call
  double sortSeconds = 0, moveSeconds = 0, writeSeconds = 0;  // the engine's own figures
  bool ok = false;
};

// BENCHMARK, BENCHMARK, MOVE on a Range of `rows` x 4 empty cells.
Flow BenchmarkFlow(tkr::TKselectFn tkselect, std::uint32_t rows) {
  SAFEARRAYBOUND bounds[2] = {{rows, 1}, {4, 1}};
  tkr::RangeObject range(SafeArrayCreate(VT_VARIANT, 2, bounds));
  tk::TKCOMM comm{};
  tkr::PutRangeObject(comm.Source.RangeObj, range);
  comm.SortCmd.vt = VT_BSTR;
  comm.SortCmd.bstrVal = SysAllocString(L"4,TK_COMPASCAUTO 1,TK_COMPDESAUTO");
  comm.BenchRows = static_cast<std::int32_t>(rows);
  comm.BenchShuffle = 0.5;

  Flow flow;
  std::int32_t codes[3] = {tk::kBenchmark, tk::kBenchmark, tk::kMove};
  double* clocks[3] = {&flow.fill, &flow.sort, &flow.move};
  flow.ok = true;
  for (int i = 0; i < 3; ++i) {
    const double start = Seconds();
    tkselect(&codes[i], &comm);
    *clocks[i] = Seconds() - start;
    if (codes[i] != kDone) {
      std::fprintf(stderr, "tkbench: benchmark step %d ended with %d\n", i + 1, codes[i]);
      flow.ok = false;
      break;
    }
  }
  flow.sortSeconds = comm.SortSeconds;
  flow.moveSeconds = comm.MoveSeconds;
  flow.writeSeconds = comm.WriteSeconds;
  std::int32_t code = tk::kReset;
  tkselect(&code, &comm);
  tkr::ReleaseRecord(comm);
  return flow;
}

// A rows x columns table of Longs from row 1, column 1, in no order.
SAFEARRAY* NumberTable(std::uint32_t rows, std::uint32_t columns) {
  SAFEARRAYBOUND bounds[2] = {{rows, 1}, {columns, 1}};
  SAFEARRAY* table = SafeArrayCreate(VT_VARIANT, 2, bounds);
  auto* cells = static_cast<VARIANT*>(table->pvData);
  for (std::uint32_t c = 0; c < columns; ++c) {
    for (std::uint32_t r = 0; r < rows; ++r) {
      VARIANT& cell = cells[std::size_t{c} * rows + r];
      cell.vt = VT_I4;
      cell.lVal = static_cast<LONG>((r * 7919u + c) % rows);
    }
  }
  return table;
}

// One entry per column 1..columns, cycling when there are more entries than columns.
std::wstring EveryColumn(std::uint32_t entries, std::uint32_t columns, bool exportLine) {
  std::wstring line;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::wstring column = std::to_wstring(1 + i % columns);
    line += exportLine ? column + L"," + column + L",TK_EXPORTAUTO " : column + L",TK_MOVEAUTO ";
  }
  return line;
}

// The table of the five-times goal: the word ascending, then the real descending, as a macro
// sorts a list by name and amount. std::sort orders a row index with VarCmp on those keys;
// the engine runs SELECT, then MOVE (rows rearranged in the array).
struct Pair {
  double select = 0, move = 0, reference = 0;
  bool ordered = true;
};

Pair SelectMoveAgainstIndexSort(tkr::TKselectFn tkselect, std::uint32_t rows) {
  Pair pair;
  SAFEARRAY* table = MakeTable(rows, rows);
  const std::uint32_t n = table->rgsabound[1].cElements;
  auto* cells = static_cast<VARIANT*>(table->pvData);
  std::vector<std::int32_t> index(n);
  for (std::uint32_t i = 0; i < n; ++i) index[i] = static_cast<std::int32_t>(i);
  double start = Seconds();
  std::sort(index.begin(), index.end(), [&](std::int32_t a, std::int32_t b) {
    return KeyOrder(cells, n, 0, 2, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b)) ==
           VARCMP_LT;
  });
  pair.reference = Seconds() - start;

  tk::TKCOMM comm{};
  comm.Source.Data.vt = VT_ARRAY | VT_VARIANT;
  comm.Source.Data.parray = table;
  comm.SortCmd.vt = VT_BSTR;
  comm.SortCmd.bstrVal = SysAllocString(L"1,TK_COMPASCAUTO 3,TK_COMPDESAUTO");
  comm.MoveCmd.vt = VT_BSTR;
  comm.MoveCmd.bstrVal = SysAllocString(EveryColumn(4, 4, false).c_str());
  std::int32_t code = tk::kSelect;
  start = Seconds();
  tkselect(&code, &comm);
  pair.select = Seconds() - start;
  if (code != kDone) std::fprintf(stderr, "tkbench: SELECT ended with %d\n", code);
  code = tk::kMove;
  start = Seconds();
  tkselect(&code, &comm);
  pair.move = Seconds() - start;
  if (code != kDone) std::fprintf(stderr, "tkbench: MOVE ended with %d\n", code);
  // The moved rows must stand in the keys' order, as std::sort's index has them.
  for (std::uint32_t i = 0; i + 1 < n && pair.ordered; ++i) {
    pair.ordered = KeyOrder(cells, n, 0, 2, i, i + 1) != VARCMP_GT;
  }
  code = tk::kReset;
  tkselect(&code, &comm);
  tkr::ReleaseRecord(comm);  // frees the table too
  return pair;
}

// The process's peak working set, for the memory SELECT adds: measured in a fresh process
// (--memory ROWS), where nothing before the SELECT has touched more.
std::uint64_t PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize;
}

int MeasureMemory(tkr::TKselectFn tkselect, std::uint32_t rows) {
  SAFEARRAY* table = MakeTable(rows, rows);
  tk::TKCOMM comm{};
  comm.Source.Data.vt = VT_ARRAY | VT_VARIANT;
  comm.Source.Data.parray = table;
  comm.SortCmd.vt = VT_BSTR;
  comm.SortCmd.bstrVal = SysAllocString(L"1,TK_COMPASCAUTO 3,TK_COMPDESAUTO");
  const std::uint64_t before = PeakWorkingSet();
  std::int32_t code = tk::kSelect;
  tkselect(&code, &comm);
  const std::uint64_t peak = PeakWorkingSet();
  std::printf(
      "%u rows: SELECT's peak working set over the table's, %.1f bytes per row "
      "(the row index 4 of them)\n",
      rows, static_cast<double>(peak - before) / rows);
  code = tk::kReset;
  tkselect(&code, &comm);
  tkr::ReleaseRecord(comm);
  return 0;
}

// The four ascending orders a key can have, each with the function that defines it, which the
// std::sort beside the engine calls at every comparison.
enum class Order { Automatic, Case, Natural, NumText };

struct OrderKey {
  const wchar_t* keyword;
  Order order;
};

constexpr OrderKey kOrders[] = {{L"TK_COMPASCAUTO", Order::Automatic},
                                {L"TK_COMPASCCASE", Order::Case},
                                {L"TK_COMPASCNATURAL", Order::Natural},
                                {L"TK_COMPASCNUMTEXT", Order::NumText}};

// A text a string comparison can take: not null, not empty.
bool IsText(const VARIANT& cell) {
  return cell.vt == VT_BSTR && SysStringLen(cell.bstrVal) != 0;
}

class DefiningOrder {
 public:
  DefiningOrder() {
    if (LCIDToLocaleName(GetSystemDefaultLCID(), locale_, LOCALE_NAME_MAX_LENGTH, 0) == 0) {
      locale_[0] = L'\0';  // the invariant locale
    }
  }

  // VARCMP_LT, VARCMP_EQ or VARCMP_GT for cells `a` and `b` under `order`.
  HRESULT Compare(Order order, const VARIANT& a, const VARIANT& b) const {
    switch (order) {
      case Order::Automatic: return Cmp(a, b, NORM_IGNORECASE);
      case Order::Case: return Cmp(a, b, 0);
      case Order::Natural:
        if (IsText(a) && IsText(b)) {
          const int result =
              CompareStringEx(locale_, NORM_IGNORECASE | SORT_DIGITSASNUMBERS, a.bstrVal,
                              static_cast<int>(SysStringLen(a.bstrVal)), b.bstrVal,
                              static_cast<int>(SysStringLen(b.bstrVal)), nullptr, nullptr, 0);
          if (result != 0) return result - CSTR_EQUAL + VARCMP_EQ;
        }
        return Cmp(a, b, NORM_IGNORECASE);
      case Order::NumText: {
        // Read again at every comparison, as a comparator without keys has to.
        const VARIANT x = AsNumber(a);
        const VARIANT y = AsNumber(b);
        return Cmp(x, y, NORM_IGNORECASE);
      }
    }
    return VARCMP_NULL;
  }

 private:
  static HRESULT Cmp(const VARIANT& a, const VARIANT& b, ULONG flags) {
    return VarCmp(const_cast<VARIANT*>(&a), const_cast<VARIANT*>(&b), LOCALE_SYSTEM_DEFAULT, flags);
  }
  // The Double the system locale reads in a text cell, or the cell as it is. The copy shares
  // the cell's string and is never cleared.
  static VARIANT AsNumber(const VARIANT& cell) {
    VARIANT number = cell;
    double value = 0;
    if (cell.vt == VT_BSTR && cell.bstrVal != nullptr &&
        SUCCEEDED(VarR8FromStr(cell.bstrVal, LOCALE_SYSTEM_DEFAULT, 0, &value))) {
      number.vt = VT_R8;
      number.dblVal = value;
    }
    return number;
  }

  wchar_t locale_[LOCALE_NAME_MAX_LENGTH] = {};
};

// A rows x 2 table from row 1, column 1: the key cell `make(r, cell)` fills, then the row's
// number. Null when memory ran out.
template <class Make>
SAFEARRAY* KeyTable(std::uint32_t rows, Make make) {
  SAFEARRAYBOUND bounds[2] = {{rows, 1}, {2, 1}};
  SAFEARRAY* table = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (table == nullptr) return nullptr;
  auto* cells = static_cast<VARIANT*>(table->pvData);
  for (std::uint32_t r = 0; r < rows; ++r) {
    if (!make(r, cells[r])) {
      SafeArrayDestroy(table);
      return nullptr;
    }
    cells[rows + r].vt = VT_I4;
    cells[rows + r].lVal = static_cast<LONG>(r + 1);
  }
  return table;
}

bool PutText(VARIANT& cell, const std::wstring& text) {
  cell.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  cell.vt = cell.bstrVal != nullptr ? VT_BSTR : VT_EMPTY;
  return cell.bstrVal != nullptr;
}

// Words with numbers in them, as lists of items are named ("item 7", "Shelf 12 box 3",
// "BOLT 104"), in three casings; one cell in eight a number typed as text ("1250", "12.5"),
// one in sixteen a number.
SAFEARRAY* ItemTable(std::uint32_t rows) {
  static const wchar_t* const kWords[] = {L"item", L"box",   L"shelf", L"bolt", L"part",
                                          L"room", L"file",  L"case",  L"unit", L"lot",
                                          L"row",  L"batch", L"order", L"tray", L"bin"};
  constexpr unsigned kWordCount = sizeof kWords / sizeof kWords[0];
  std::mt19937 gen(rows);
  auto below = [&](unsigned n) { return static_cast<unsigned>(gen() % n); };
  return KeyTable(rows, [&](std::uint32_t, VARIANT& cell) {
    const unsigned kind = below(16);
    if (kind == 0) {
      cell.vt = VT_R8;
      cell.dblVal = below(100000) / 8.0;
      return true;
    }
    if (kind <= 2) {
      std::wstring number = std::to_wstring(below(100000));
      if (kind == 2) number += L"." + std::to_wstring(below(100));
      return PutText(cell, number);
    }
    std::wstring text;
    const unsigned words = 1 + below(3);
    for (unsigned w = 0; w < words; ++w) {
      std::wstring word = kWords[below(kWordCount)];
      const unsigned casing = below(3);
      for (std::size_t i = 0; i < word.size(); ++i) {
        if (casing == 2 || (casing == 1 && i == 0)) word[i] = static_cast<wchar_t>(word[i] - 32);
      }
      if (w > 0) text += L' ';
      text += word;
      if (w == 0 || below(2) == 0) text += L' ' + std::to_wstring(below(10000));
    }
    return PutText(cell, text);
  });
}

// `length` characters of letters, digits and spaces.
std::wstring RandomText(std::mt19937& gen, std::size_t length) {
  static const wchar_t kAlphabet[] =
      L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ";
  std::wstring text(length, L' ');
  for (wchar_t& c : text) c = kAlphabet[gen() % (sizeof kAlphabet / sizeof(wchar_t) - 1)];
  return text;
}

// 200-character texts: random from the first character on, or the paths of one deep folder
// (one 190-character prefix) with a 10-character name each.
SAFEARRAY* LongTextTable(std::uint32_t rows, bool sharedPrefix) {
  std::wstring prefix = L"\\\\fileserver\\shares\\Accounting\\Year end 2026\\";
  while (prefix.size() < 190) prefix += L"Quarterly reports and statements\\";
  prefix.resize(189);
  prefix += L'\\';
  std::mt19937 gen(rows + (sharedPrefix ? 1 : 0));
  return KeyTable(rows, [&](std::uint32_t, VARIANT& cell) {
    return PutText(cell, sharedPrefix ? prefix + RandomText(gen, 10) : RandomText(gen, 200));
  });
}

// Short texts of 8 to 16 characters (12 on average), random.
SAFEARRAY* ShortTextTable(std::uint32_t rows) {
  std::mt19937 gen(rows);
  return KeyTable(rows, [&](std::uint32_t, VARIANT& cell) {
    return PutText(cell, RandomText(gen, 8 + gen() % 9));
  });
}

// A key cell as the messages show it: its text, or its number.
std::wstring Shown(const VARIANT& cell) {
  if (cell.vt == VT_BSTR)
    return L"\"" + std::wstring(cell.bstrVal, SysStringLen(cell.bstrVal)) + L"\"";
  if (cell.vt == VT_R8) return std::to_wstring(cell.dblVal);
  return L"type " + std::to_wstring(cell.vt);
}

struct Timing {
  double select = 0, move = 0;
  bool ok = false;  // both calls succeeded and the moved rows stand in the key's order
};

// SELECT + MOVE of a table from KeyTable on its first column with `key`; the moved rows are
// then checked against the key's defining function. Destroys the table.
Timing SortOneKey(tkr::TKselectFn tkselect, SAFEARRAY* table, const OrderKey& key,
                  const DefiningOrder& defining) {
  Timing timing;
  if (table == nullptr) {
    std::fprintf(stderr, "tkbench: no memory for the table\n");
    return timing;
  }
  const std::uint32_t rows = table->rgsabound[1].cElements;
  auto* cells = static_cast<VARIANT*>(table->pvData);
  tk::TKCOMM comm{};
  comm.Source.Data.vt = VT_ARRAY | VT_VARIANT;
  comm.Source.Data.parray = table;
  comm.SortCmd.vt = VT_BSTR;
  comm.SortCmd.bstrVal = SysAllocString((std::wstring(L"1,") + key.keyword).c_str());
  comm.MoveCmd.vt = VT_BSTR;
  comm.MoveCmd.bstrVal = SysAllocString(EveryColumn(2, 2, false).c_str());
  std::int32_t code = tk::kSelect;
  double start = Seconds();
  tkselect(&code, &comm);
  timing.select = Seconds() - start;
  bool ok = code == kDone;
  if (ok) {
    code = tk::kMove;
    start = Seconds();
    tkselect(&code, &comm);
    timing.move = Seconds() - start;
    ok = code == kDone;
  }
  if (!ok) {
    std::fprintf(stderr, "tkbench: %ls on %u rows ended with %d\n", key.keyword, rows, code);
  }
  for (std::uint32_t i = 0; i + 1 < rows && ok; ++i) {
    if (defining.Compare(key.order, cells[i], cells[i + 1]) == VARCMP_GT) {
      std::fprintf(stderr, "tkbench: %ls put row %u (%ls) before row %u (%ls), out of order\n",
                   key.keyword, static_cast<unsigned>(cells[rows + i].lVal),
                   Shown(cells[i]).c_str(), static_cast<unsigned>(cells[rows + i + 1].lVal),
                   Shown(cells[i + 1]).c_str());
      ok = false;
    }
  }
  timing.ok = ok;
  code = tk::kReset;
  tkselect(&code, &comm);
  tkr::ReleaseRecord(comm);  // frees the table too
  return timing;
}

// Runs of each figure: the fastest of three below 200,000 rows counts, to keep warm-up out.
int Runs(std::uint32_t rows) {
  return rows < 200000 ? 3 : 1;
}

// The fastest SELECT + MOVE of `runs` with `key` on tables from `make`; not ok when any run
// failed.
template <class Make>
Timing Fastest(tkr::TKselectFn tkselect, std::uint32_t rows, Make make, const OrderKey& key,
               const DefiningOrder& defining, int runs) {
  Timing best;
  bool ok = true;
  for (int run = 0; run < runs; ++run) {
    const Timing timing = SortOneKey(tkselect, make(rows), key, defining);
    ok = ok && timing.ok;
    if (run == 0 || timing.select + timing.move < best.select + best.move) best = timing;
  }
  best.ok = ok;
  return best;
}

// std::sort of a row index of the table's first column, calling the defining function of
// `order` at every comparison. Leaves the table as it was.
double IndexSort(SAFEARRAY* table, Order order, const DefiningOrder& defining) {
  const std::uint32_t rows = table->rgsabound[1].cElements;
  const auto* cells = static_cast<const VARIANT*>(table->pvData);
  std::vector<std::uint32_t> index(rows);
  for (std::uint32_t i = 0; i < rows; ++i) index[i] = i;
  const double start = Seconds();
  std::sort(index.begin(), index.end(), [&](std::uint32_t a, std::uint32_t b) {
    return defining.Compare(order, cells[a], cells[b]) == VARCMP_LT;
  });
  return Seconds() - start;
}

// Each order on the table of items: the engine's SELECT + MOVE, its ratio to the automatic
// key's, std::sort with the defining function and the ratio of the two.
int NewOrders(tkr::TKselectFn tkselect, std::uint32_t rows) {
  const DefiningOrder defining;
  int failures = 0;
  double automatic = 0;
  std::printf(
      "| key | rows | SELECT s | MOVE s | SELECT + MOVE s | / TK_COMPASCAUTO | "
      "std::sort, defining function s | SELECT + MOVE / std::sort |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const OrderKey& key : kOrders) {
    double reference = 0;
    for (int run = 0; run < Runs(rows); ++run) {
      SAFEARRAY* table = ItemTable(rows);
      if (table == nullptr) {
        std::fprintf(stderr, "tkbench: no memory for a table of %u rows\n", rows);
        return 1;
      }
      const double sorted = IndexSort(table, key.order, defining);
      SafeArrayDestroy(table);
      if (run == 0 || sorted < reference) reference = sorted;
    }
    // The engine's runs are short beside std::sort's: the fastest of three at every size keeps
    // a moment of other work on the machine out of the ratios.
    const Timing best = Fastest(tkselect, rows, ItemTable, key, defining, 3);
    failures += best.ok ? 0 : 1;
    const double both = best.select + best.move;
    if (key.order == Order::Automatic) automatic = both;
    std::printf("| %ls | %u | %.3f | %.3f | %.3f | %.2f | %.3f | %.3f |\n", key.keyword, rows,
                best.select, best.move, both, both / automatic, reference, both / reference);
    std::fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}

// Each order on 200-character texts, random and behind one 190-character prefix.
int SharedPrefix(tkr::TKselectFn tkselect, std::uint32_t rows) {
  const DefiningOrder defining;
  int failures = 0;
  std::printf(
      "| key | rows | random texts SELECT + MOVE s | shared prefix SELECT + MOVE s | "
      "shared / random |\n");
  std::printf("|---|---:|---:|---:|---:|\n");
  for (const OrderKey& key : kOrders) {
    const auto randomTexts = [](std::uint32_t n) { return LongTextTable(n, false); };
    const auto sharedPrefix = [](std::uint32_t n) { return LongTextTable(n, true); };
    const Timing random = Fastest(tkselect, rows, randomTexts, key, defining, Runs(rows));
    const Timing shared = Fastest(tkselect, rows, sharedPrefix, key, defining, Runs(rows));
    failures += (random.ok ? 0 : 1) + (shared.ok ? 0 : 1);
    const double a = random.select + random.move, b = shared.select + shared.move;
    std::printf("| %ls | %u | %.3f | %.3f | %.2f |\n", key.keyword, rows, a, b, b / a);
    std::fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}

// Each order on short random texts, `small` rows against `large` rows: time per row.
int ManyRows(tkr::TKselectFn tkselect, std::uint32_t small, std::uint32_t large) {
  const DefiningOrder defining;
  int failures = 0;
  std::printf(
      "| key | %u rows SELECT + MOVE s | ns per row | %u rows SELECT + MOVE s | ns per row | "
      "per row, %u / %u |\n",
      small, large, large, small);
  std::printf("|---|---:|---:|---:|---:|---:|\n");
  for (const OrderKey& key : kOrders) {
    const Timing few = Fastest(tkselect, small, ShortTextTable, key, defining, Runs(small));
    const Timing many = Fastest(tkselect, large, ShortTextTable, key, defining, Runs(large));
    failures += (few.ok ? 0 : 1) + (many.ok ? 0 : 1);
    const double a = (few.select + few.move) * 1e9 / small;
    const double b = (many.select + many.move) * 1e9 / large;
    std::printf("| %ls | %.3f | %.0f | %.3f | %.0f | %.2f |\n", key.keyword, few.select + few.move,
                a, many.select + many.move, b, b / a);
    std::fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}

// The highest committed memory of the process while one is alive, sampled every millisecond
// from a thread of its own: the process counters under Wine give committed memory only as it
// stands, and the keys are gone when the call returns.
class CommittedPeak {
 public:
  CommittedPeak() : peak_(Committed()) {
    thread_ = CreateThread(nullptr, 0, &CommittedPeak::Sample, this, 0, nullptr);
  }
  ~CommittedPeak() { Stop(); }
  CommittedPeak(const CommittedPeak&) = delete;
  CommittedPeak& operator=(const CommittedPeak&) = delete;

  // Ends the sampling; the highest figure seen.
  std::uint64_t Stop() {
    if (thread_ != nullptr) {
      stop_ = true;
      WaitForSingleObject(thread_, INFINITE);
      CloseHandle(thread_);
      thread_ = nullptr;
    }
    return peak_;
  }

  static std::uint64_t Committed() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
  }

 private:
  static DWORD WINAPI Sample(void* self) {
    auto* sampler = static_cast<CommittedPeak*>(self);
    while (!sampler->stop_) {
      sampler->peak_ = std::max<std::uint64_t>(sampler->peak_, Committed());
      Sleep(1);
    }
    return 0;
  }

  HANDLE thread_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> peak_;
};

// What one SELECT on the table of items with `keyword` adds per row to the peak working set
// and to the committed memory: the keys it makes, the row index and its stack. Run in a
// process of its own (--key-memory ROWS KEYWORD), where nothing before has touched more.
int KeyMemory(tkr::TKselectFn tkselect, std::uint32_t rows, const std::string& keyword) {
  SAFEARRAY* table = ItemTable(rows);
  if (table == nullptr) {
    std::fprintf(stderr, "tkbench: no memory for a table of %u rows\n", rows);
    return 1;
  }
  tk::TKCOMM comm{};
  comm.Source.Data.vt = VT_ARRAY | VT_VARIANT;
  comm.Source.Data.parray = table;
  comm.SortCmd.vt = VT_BSTR;
  comm.SortCmd.bstrVal =
      SysAllocString((L"1," + std::wstring(keyword.begin(), keyword.end())).c_str());
  const std::uint64_t before = PeakWorkingSet();
  const std::uint64_t committed = CommittedPeak::Committed();
  CommittedPeak sampler;
  std::int32_t code = tk::kSelect;
  tkselect(&code, &comm);
  const std::uint64_t peakCommitted = sampler.Stop();
  const std::uint64_t peak = PeakWorkingSet();
  if (code == kDone) {
    std::printf("%.1f %.1f\n", static_cast<double>(peak - before) / rows,
                static_cast<double>(peakCommitted - committed) / rows);
  } else {
    std::fprintf(stderr, "tkbench: SELECT with %s ended with %d\n", keyword.c_str(), code);
  }
  const bool ok = code == kDone;
  code = tk::kReset;
  tkselect(&code, &comm);
  tkr::ReleaseRecord(comm);
  return ok ? 0 : 1;
}

struct Wide {
  double select = 0, exportSeconds = 0, move = 0;
  bool ok = true;
};

// SELECT, EXPORT into a Range of the same size and MOVE, every column named in the move and
// export lines, on a rows x columns table.
Wide WideTable(tkr::TKselectFn tkselect, std::uint32_t rows, std::uint32_t columns) {
  SAFEARRAYBOUND bounds[2] = {{rows, 1}, {columns, 1}};
  tkr::RangeObject dest(SafeArrayCreate(VT_VARIANT, 2, bounds));
  tk::TKCOMM comm{};
  comm.Source.Data.vt = VT_ARRAY | VT_VARIANT;
  comm.Source.Data.parray = NumberTable(rows, columns);
  tkr::PutRangeObject(comm.Dest.RangeObj, dest);
  comm.SortCmd.vt = VT_BSTR;
  comm.SortCmd.bstrVal = SysAllocString(L"1,TK_COMPASCAUTO 2,TK_COMPDESAUTO");
  comm.MoveCmd.vt = VT_BSTR;
  comm.MoveCmd.bstrVal = SysAllocString(EveryColumn(columns, columns, false).c_str());
  comm.ExportCmd.vt = VT_BSTR;
  comm.ExportCmd.bstrVal = SysAllocString(EveryColumn(columns, columns, true).c_str());

  Wide wide;
  double* clocks[3] = {&wide.select, &wide.exportSeconds, &wide.move};
  const std::int32_t commands[3] = {tk::kSelect, tk::kExport, tk::kMove};
  for (int i = 0; i < 3; ++i) {
    std::int32_t code = commands[i];
    const double start = Seconds();
    tkselect(&code, &comm);
    *clocks[i] = Seconds() - start;
    if (code != kDone) {
      std::fprintf(stderr, "tkbench: wide table, command %d ended with %d\n", commands[i], code);
      wide.ok = false;
    }
  }
  std::int32_t code = tk::kReset;
  tkselect(&code, &comm);
  tkr::ReleaseRecord(comm);
  return wide;
}

// SELECT on a small table with a move line of `entries` entries: the parse and the tables.
double LongLine(tkr::TKselectFn tkselect, std::uint32_t entries, bool& ok) {
  tk::TKCOMM comm{};
  comm.Source.Data.vt = VT_ARRAY | VT_VARIANT;
  comm.Source.Data.parray = NumberTable(100, 8);
  comm.SortCmd.vt = VT_BSTR;
  comm.SortCmd.bstrVal = SysAllocString(L"1,TK_COMPASCAUTO");
  comm.MoveCmd.vt = VT_BSTR;
  comm.MoveCmd.bstrVal = SysAllocString(EveryColumn(entries, 8, false).c_str());
  std::int32_t code = tk::kSelect;
  const double start = Seconds();
  tkselect(&code, &comm);
  const double seconds = Seconds() - start;
  if (code != kDone || comm.MoveMapCount != static_cast<std::int32_t>(entries)) {
    std::fprintf(stderr, "tkbench: a move line of %u entries ended with %d\n", entries, code);
    ok = false;
  }
  code = tk::kReset;
  tkselect(&code, &comm);
  tkr::ReleaseRecord(comm);
  return seconds;
}

// A CSV file of `rows` rows and 9 columns, as users have them, for tkrun's end-to-end figures:
// a header, then an id, a word, a date, an amount, a count, a flag, a quoted note that holds
// commas and line breaks, a version number written as text ("4.10"), and a column that is
// empty in every other row.
bool WriteSampleCsv(const char* path, std::uint32_t rows) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  std::mt19937 gen(rows);
  auto below = [&](unsigned n) { return static_cast<unsigned>(gen() % n); };
  std::fputs("Id,Name,Joined,Amount,Count,Active,Note,Version,Spare\r\n", file);
  for (std::uint32_t r = 1; r <= rows; ++r) {
    char name[16] = {};
    const unsigned length = 3 + below(10);
    for (unsigned i = 0; i < length; ++i) {
      name[i] = static_cast<char>((i == 0 ? 'A' : 'a') + below(26));
    }
    std::fprintf(
        file,
        "%u,%s,%04u-%02u-%02u,%u.%02u,%u,%s,\"note %u, line one\r\nline \"\"two\"\"\",%u.%u,%s\r\n",
        r, name, 1990 + below(35), 1 + below(12), 1 + below(28), below(100000), below(100),
        below(1000), below(2) == 0 ? "TRUE" : "FALSE", below(1000), below(20), below(20),
        r % 2 == 0 ? "" : "x");
  }
  return std::fclose(file) == 0;
}

// Writes the records of `bytes` that start at `begins` (the last entry: the end) to a new file
// at `out` in `order`, gathered into parts of 4 MB as tkrun gathers them, the bytes of the
// records a few places on asked for ahead. The seconds, or -1 when the file cannot be written.
double WriteRecords(const std::string& bytes, const std::vector<std::uint32_t>& begins,
                    const std::vector<std::uint32_t>& order, const std::wstring& out) {
  constexpr std::size_t kPart = std::size_t{1} << 22;
  constexpr std::size_t kAhead = 16;
  const double start = Seconds();
  const HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  std::string part;
  bool ok = true;
  for (std::size_t k = 0; ok && k < order.size();) {
    part.clear();
    while (k < order.size() && part.size() < kPart) {
      if (k + kAhead < order.size()) __builtin_prefetch(bytes.data() + begins[order[k + kAhead]]);
      const std::uint32_t r = order[k++];
      part.append(bytes, begins[r], begins[r + 1] - begins[r]);
    }
    DWORD wrote = 0;
    ok = WriteFile(file, part.data(), static_cast<DWORD>(part.size()), &wrote, nullptr) &&
         wrote == part.size();
  }
  ok = CloseHandle(file) && ok;
  return ok ? Seconds() - start : -1;
}

// The floor under tkrun's reading and writing: what the system and the memory take to read the
// CSV file at `path` into memory and to write its records to `out`, with nothing parsed,
// typed or sorted. Records end at a line feed outside quotes. They are written once in file
// order, then in a random order, as a sort's order stands to the file's, one thread doing
// both the gathering and the writing. One line, tab-separated: the records, then the seconds
// of the read, of the write in file order and of the write in a random order.
int CopyFloor(const char* path, const char* out) {
  std::string bytes, error;
  const double start = Seconds();
  if (!tkr::ReadWholeFile(tkr::FromUtf8(path), bytes, error)) {
    std::fprintf(stderr, "tkbench: cannot read %s: %s\n", path, error.c_str());
    return 1;
  }
  const double read = Seconds() - start;
  std::vector<std::uint32_t> begins{0};
  bool quoted = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '"') quoted = !quoted;
    if (bytes[i] == '\n' && !quoted) begins.push_back(static_cast<std::uint32_t>(i + 1));
  }
  if (begins.back() != bytes.size()) begins.push_back(static_cast<std::uint32_t>(bytes.size()));
  std::vector<std::uint32_t> order(begins.size() - 1);
  for (std::size_t r = 0; r < order.size(); ++r) order[r] = static_cast<std::uint32_t>(r);
  const std::wstring target = tkr::FromUtf8(out);
  const double inFileOrder = WriteRecords(bytes, begins, order, target);
  std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(order.size())));
  const double inRandomOrder = WriteRecords(bytes, begins, order, target);
  if (inFileOrder < 0 || inRandomOrder < 0) {
    std::fprintf(stderr, "tkbench: cannot write %s\n", out);
    return 1;
  }
  std::printf("%zu\t%.3f\t%.3f\t%.3f\n", order.size(), read, inFileOrder, inRandomOrder);
  return 0;
}

// The floor under SELECT: what ordering the goal's table costs when every row's key is already
// a number in memory. For each count, on the table of the goal (the word ascending, then the
// real descending), in one process: std::sort of (key, row) pairs, the key the word's first
// eight letters packed into 64 bits before the clock starts and the row the tie-break;
// std::sort of a row index whose comparator reads the same keys from an array by row, so that
// its reads scatter as the index is reordered; then SELECT through the library, first on the
// real alone (no text to rank: the sort itself), then on the goal's keys. The ratios divide
// SELECT on the goal's keys by each floor; the last column divides it by rows x log2(rows).
int Floor(tkr::TKselectFn tkselect, std::uint32_t small, std::uint32_t large) {
  std::printf(
      "| rows | SELECT s | SELECT, the real alone s | std::sort (key, row) pairs s | std::sort row "
      "index, scattered keys s | SELECT / pairs | SELECT / row index | SELECT ns per row and "
      "log2(rows) |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  int failures = 0;
  for (const std::uint32_t rows : {small, large}) {
    SAFEARRAY* table = MakeTable(rows, rows);
    if (table == nullptr) {
      std::printf("| %u | no memory for the table | | | | | | |\n", rows);
      continue;
    }
    const auto* cells = static_cast<const VARIANT*>(table->pvData);
    std::vector<std::uint64_t> keys(rows);
    for (std::uint32_t r = 0; r < rows; ++r) {
      std::uint64_t key = 0;
      const BSTR word = cells[r].bstrVal;
      const UINT length = SysStringLen(word);
      for (UINT i = 0; i < 8; ++i) {
        key = (key << 8) |
              (i < length ? static_cast<std::uint64_t>(std::towupper(word[i]) & 0xFF) : 0u);
      }
      keys[r] = key;
    }
    double pairsSeconds = 0;
    {
      std::vector<std::pair<std::uint64_t, std::uint32_t>> pairs(rows);
      for (std::uint32_t r = 0; r < rows; ++r) pairs[r] = {keys[r], r};
      const double start = Seconds();
      std::sort(pairs.begin(), pairs.end());
      pairsSeconds = Seconds() - start;
    }
    double indexSeconds = 0;
    {
      std::vector<std::uint32_t> index(rows);
      for (std::uint32_t r = 0; r < rows; ++r) index[r] = r;
      const double start = Seconds();
      std::sort(index.begin(), index.end(), [&keys](std::uint32_t a, std::uint32_t b) {
        return keys[a] != keys[b] ? keys[a] < keys[b] : a < b;
      });
      indexSeconds = Seconds() - start;
    }
    std::vector<std::uint64_t>().swap(keys);

    // SELECT leaves the cells where they are: both lines sort the same table.
    double realAlone = 0;
    double select = 0;
    for (const wchar_t* line : {L"3,TK_COMPDESAUTO", L"1,TK_COMPASCAUTO 3,TK_COMPDESAUTO"}) {
      const Result result = EngineSort(tkselect, table, line, false);
      (line[0] == L'3' ? realAlone : select) = result.seconds;
      failures += result.ended ? 0 : 1;
    }
    SafeArrayDestroy(table);
    std::printf("| %u | %.3f | %.3f | %.3f | %.3f | %.2f | %.2f | %.1f |\n", rows, select,
                realAlone, pairsSeconds, indexSeconds, select / pairsSeconds, select / indexSeconds,
                select * 1e9 / rows / std::log2(static_cast<double>(rows)));
    std::fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}

// SELECT alone on the goal's table with the sort line `sortCmd`, timed: one line, the seconds.
int SelectOnce(tkr::TKselectFn tkselect, std::uint32_t rows, const char* sortCmd) {
  SAFEARRAY* table = MakeTable(rows, rows);
  if (table == nullptr) return 1;
  const std::string narrow = sortCmd;
  const Result result =
      EngineSort(tkselect, table, std::wstring(narrow.begin(), narrow.end()).c_str(), false);
  SafeArrayDestroy(table);
  std::printf("%.3f\n", result.seconds);
  return 0;
}

// A count from the command line.
std::uint32_t Count(const char* text) {
  return static_cast<std::uint32_t>(std::atol(text));
}

// The measurements that run alone, each in a process of its own: the option,
// the argument count it takes (the program's name and the option included), and
// the measurement.
struct Mode {
  const char* option;
  int argc;
  int (*run)(tkr::TKselectFn tkselect, char** argv);
};
constexpr Mode kModes[] = {
    {"--memory", 3,
     [](tkr::TKselectFn f, char** argv) { return MeasureMemory(f, Count(argv[2])); }},
    {"--key-memory", 4,
     [](tkr::TKselectFn f, char** argv) { return KeyMemory(f, Count(argv[2]), argv[3]); }},
    {"--orders", 3, [](tkr::TKselectFn f, char** argv) { return NewOrders(f, Count(argv[2])); }},
    {"--prefix", 3, [](tkr::TKselectFn f, char** argv) { return SharedPrefix(f, Count(argv[2])); }},
    {"--many", 4,
     [](tkr::TKselectFn f, char** argv) { return ManyRows(f, Count(argv[2]), Count(argv[3])); }},
    {"--select", 4,
     [](tkr::TKselectFn f, char** argv) { return SelectOnce(f, Count(argv[2]), argv[3]); }},
    {"--floor", 4,
     [](tkr::TKselectFn f, char** argv) { return Floor(f, Count(argv[2]), Count(argv[3])); }},
};

// The figures of a full run, table by table, and what the later tables and the
// plot's data take from the earlier ones.
struct Figures {
  std::vector<std::uint32_t> counts;                    // the row counts, in order
  std::vector<Pair> goal;                               // per count: SELECT + MOVE, std::sort
  std::vector<std::pair<double, double>> selectAndStd;  // per count: SELECT, std::sort
  int failures = 0;                                     // measurements that went wrong
};

// SELECT + MOVE against std::sort of a row index, on the keys a macro sorts a
// list by.
void GoalTable(tkr::TKselectFn tkselect, Figures& figures) {
  std::printf(
      "| rows | SELECT s | MOVE s | SELECT + MOVE s | std::sort + "
      "VarCmp s | ratio | "
      "SELECT + MOVE ns per row and log2(rows) | std::sort ns per row "
      "and log2(rows) |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (std::uint32_t rows : figures.counts) {
    Pair best;
    for (int run = 0; run < (rows < 200000 ? 3 : 1); ++run) {
      const Pair pair = SelectMoveAgainstIndexSort(tkselect, rows);
      figures.failures += pair.ordered ? 0 : 1;
      if (run == 0 || pair.select + pair.move < best.select + best.move)
        best.select = pair.select, best.move = pair.move;
      if (run == 0 || pair.reference < best.reference) best.reference = pair.reference;
    }
    const double both = best.select + best.move;
    const double perRowLog = 1e9 / rows / std::log2(static_cast<double>(rows));
    std::printf("| %u | %.3f | %.3f | %.3f | %.3f | %.2f | %.1f | %.1f |\n", rows, best.select,
                best.move, both, best.reference, both / best.reference, both * perRowLog,
                best.reference * perRowLog);
    std::fflush(stdout);
    figures.goal.push_back(best);
  }
}

// SELECT's cost per comparison against std::sort's, the engine's comparisons
// counted through a break-out key.
void ComparisonTable(tkr::TKselectFn tkselect, Figures& figures) {
  std::printf(
      "| rows | SELECT s | SELECT comparisons/row | ns/comparison | "
      "std::sort s | "
      "std::sort comparisons/row | ns/comparison | ratio |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (std::uint32_t rows : figures.counts) {
    const int runs = rows < 200000 ? 3 : 1;
    Result timed, reference, counted;
    for (int run = 0; run < runs; ++run) {
      SAFEARRAY* table = MakeTable(rows, rows);  // the same cells every time, unsorted
      const Result engine =
          EngineSort(tkselect, table, L"4,TK_COMPASCAUTO 1,TK_COMPDESAUTO", false);
      SafeArrayDestroy(table);
      table = MakeTable(rows, rows);
      const Result sorted = StdSort(table);
      SafeArrayDestroy(table);
      if (run == 0 || engine.seconds < timed.seconds) timed = engine;
      if (run == 0 || sorted.seconds < reference.seconds) reference = sorted;
    }
    SAFEARRAY* table = MakeTable(rows, rows);
    counted = EngineSort(tkselect, table, L"4,TK_COMPBRKO 1,TK_COMPDESAUTO", true);
    SafeArrayDestroy(table);

    const double engineCost = timed.seconds * 1e9 / static_cast<double>(counted.comparisons);
    const double stdCost = reference.seconds * 1e9 / static_cast<double>(reference.comparisons);
    std::printf("| %u | %.3f | %.2f | %.1f | %.3f | %.2f | %.1f | %.2f |\n", rows, timed.seconds,
                static_cast<double>(counted.comparisons) / rows, engineCost, reference.seconds,
                static_cast<double>(reference.comparisons) / rows, stdCost, engineCost / stdCost);
    std::fflush(stdout);
    figures.selectAndStd.emplace_back(timed.seconds, reference.seconds);
  }
}

// The built-in BENCHMARK flow per count; with `data`, every figure as a column
// for the plot.
void FlowTable(tkr::TKselectFn tkselect, Figures& figures, FILE* data) {
  std::printf(
      "\n| rows | fill s | sort s (SortSeconds) | MOVE s | MoveSeconds "
      "| WriteSeconds |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|\n");
  for (std::size_t i = 0; i < figures.counts.size(); ++i) {
    const std::uint32_t rows = figures.counts[i];
    const Flow flow = BenchmarkFlow(tkselect, rows);
    figures.failures += flow.ok ? 0 : 1;
    std::printf("| %u | %.3f | %.3f (%.3f) | %.3f | %.3f | %.3f |\n", rows, flow.fill, flow.sort,
                flow.sortSeconds, flow.move, flow.moveSeconds, flow.writeSeconds);
    std::fflush(stdout);
    if (data != nullptr) {
      const Pair& goal = figures.goal[i];
      std::fprintf(data, "%u %.6f %.6f %.6f %.6f %.6f %.6f %.6f\n", rows,
                   figures.selectAndStd[i].first, figures.selectAndStd[i].second, flow.fill,
                   flow.sort, flow.move, goal.select + goal.move, goal.reference);
    }
  }
}

// MOVE and EXPORT with one map entry for each of thousands of columns.
void WideTables(tkr::TKselectFn tkselect, Figures& figures) {
  std::printf(
      "\n| wide table: rows x columns, every column mapped | SELECT s "
      "| EXPORT s | "
      "EXPORT ns/cell | MOVE s | MOVE ns/cell |\n");
  std::printf("|---|---:|---:|---:|---:|---:|\n");
  for (std::uint32_t columns : {4096u, 16384u}) {
    constexpr std::uint32_t kRows = 500;
    const Wide wide = WideTable(tkselect, kRows, columns);
    figures.failures += wide.ok ? 0 : 1;
    const double cells = static_cast<double>(kRows) * columns;
    std::printf("| %u x %u | %.3f | %.3f | %.1f | %.3f | %.1f |\n", kRows, columns, wide.select,
                wide.exportSeconds, wide.exportSeconds * 1e9 / cells, wide.move,
                wide.move * 1e9 / cells);
    std::fflush(stdout);
  }
}

// SELECT reading move lines of tens of thousands of entries.
void LongLineTable(tkr::TKselectFn tkselect, Figures& figures) {
  std::printf("\n| move line: entries | SELECT s | ns/entry |\n");
  std::printf("|---:|---:|---:|\n");
  for (std::uint32_t entries : {8000u, 32000u}) {
    bool ok = true;
    const double seconds = LongLine(tkselect, entries, ok);
    figures.failures += ok ? 0 : 1;
    std::printf("| %u | %.3f | %.0f |\n", entries, seconds, seconds * 1e9 / entries);
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--csv") {
    return WriteSampleCsv(argv[2], Count(argv[3])) ? 0 : 1;
  }
  if (argc == 4 && std::string(argv[1]) == "--copy-floor") return CopyFloor(argv[2], argv[3]);
  const tkr::Library dll(tkr::kLibraryName);
  const tkr::TKselectFn tkselect = dll.entry();
  if (tkselect == nullptr) {
    std::fprintf(stderr, "tkbench: cannot load TKselect from %s\n", tkr::kLibraryName);
    return 1;
  }
  const std::string what = argc > 1 ? argv[1] : "";
  for (const Mode& mode : kModes) {
    if (argc == mode.argc && what == mode.option) return mode.run(tkselect, argv);
  }
  Figures figures;
  FILE* data = nullptr;
  bool goalOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--goal") {
      goalOnly = true;
    } else if (std::string(argv[i]) == "--data" && i + 1 < argc) {
      data = std::fopen(argv[++i], "w");
    } else {
      figures.counts.push_back(Count(argv[i]));
    }
  }
  if (figures.counts.empty()) figures.counts = {100000, 1000000};

  GoalTable(tkselect, figures);
  if (goalOnly) return figures.failures == 0 ? 0 : 1;
  std::printf("\n");
  ComparisonTable(tkselect, figures);
  FlowTable(tkselect, figures, data);
  if (data != nullptr) std::fclose(data);
  WideTables(tkselect, figures);
  LongLineTable(tkselect, figures);
  return figures.failures == 0 ? 0 : 1;
}

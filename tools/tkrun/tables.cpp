// Planning and filling the engine's tables (see tables.h).
#include "tkrun/tables.h"

#include <atomic>
#include <chrono>
#include <new>
#include <random>

#include "common/beside.h"
#include "common/cells.h"
#include "tkrun/progress.h"
#include "tkrun/ranks.h"

namespace tkrun {
namespace {

// `entries` as the engine is to read them: each column named by its place in the engine's
// tables, the keyword in full.
std::wstring EngineLine(const std::vector<Entry>& entries, const LineRules& rules,
                        const UsedColumns& source, const UsedColumns* dest) {
  std::wstring line;
  for (const Entry& e : entries) {
    if (!line.empty()) line += L' ';
    line += std::to_wstring(source.Place(e.column, e.slot)) + L",";
    if (dest != nullptr) line += std::to_wstring(dest->Place(e.destColumn)) + L",";
    line += KeywordText(rules.keywords, e.mode);
  }
  return line;
}

// The generator for the stable mode's order, seeded from what no file can know in advance:
// the system's random source, the clocks and the process. A seed a file could know (the
// row count, say) lets a file be laid out as the inverse of that order, so that the engine
// meets two sorted runs and reaches its depth limit. Which order is drawn never shows in the
// output: the hidden row-number key makes the sorted order the stable one whatever it was.
std::mt19937 UnforeseeableShuffle() {
  std::uint32_t device = 0;
  try {
    std::random_device source;
    device = source();
  } catch (const std::exception&) {
    // No random source: the clocks and the process still differ from run to run.
  }
  const auto now = static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  const auto wall =
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  std::seed_seq seed{device,
                     static_cast<std::uint32_t>(now),
                     static_cast<std::uint32_t>(now >> 32),
                     static_cast<std::uint32_t>(wall),
                     static_cast<std::uint32_t>(wall >> 32),
                     static_cast<std::uint32_t>(GetCurrentProcessId()),
                     static_cast<std::uint32_t>(GetTickCount())};
  return std::mt19937(seed);
}

// Rows of the stable mode's blocks: the cells of three columns of a block, 300 KB, stay in a
// core's cache while they are written.
constexpr std::size_t kShuffledBlock = 4096;

}  // namespace

// A 2-D VARIANT array of rows x columns from (1, 1), every cell empty. The caller has
// checked the size with tkr::TableFits.
SAFEARRAY* EmptyTable(std::size_t rows, std::size_t columns) {
  if (!tkr::TableFits(rows, columns)) throw std::bad_alloc();
  SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(rows), 1}, {static_cast<ULONG>(columns), 1}};
  SAFEARRAY* table = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (table == nullptr) throw std::bad_alloc();
  return table;
}

// The columns of the engine's two tables (see UsedColumns) and their hidden columns: "" or
// why the tables cannot be made.
std::string PlanTables(const Options& o, Job& job) {
  for (const auto* entries : {&job.sortKeys, &job.moveEntries, &job.exportEntries}) {
    for (const Entry& e : *entries) job.used.Add(e.column, e.slot);
  }
  for (const Entry& e : job.exportEntries) job.destUsed.Add(e.destColumn);
  job.used.Done();
  job.destUsed.Done();
  job.idColumn = job.used.size() + 1;
  job.destId = job.destUsed.size() + 1;
  if (job.idColumn > 32767 || job.destId > 32767) {
    return "the command lines name more columns than the engine reads (32766)";
  }
  auto tooLarge = [](const std::string& name, std::size_t rows, std::size_t width) {
    return name + " needs a table of " + std::to_string(rows) + " rows and " +
           std::to_string(width) + " columns for the engine: more cells than one array can hold";
  };
  if (!tkr::TableFits(job.Records(), job.idColumn)) {
    return tooLarge(job.inputName, job.Records(), job.idColumn);
  }
  if (!o.exportTo.empty() && !tkr::TableFits(job.dest.records.size(), job.destId)) {
    return tooLarge(job.destName, job.dest.records.size(), job.destId);
  }
  memoryUse.tableBytes = std::uint64_t{job.Records()} * job.idColumn * sizeof(VARIANT);
  return {};
}

namespace {

// What filling the source table's cells reads and writes (see SourceTable).
struct Filling {
  const Options& o;
  Job& job;
  const std::vector<KeyCells>& held;        // by the table's column - 1
  const std::vector<std::uint32_t>& drawn;  // file row -> array row - 1
  VARIANT* cells;
  std::atomic<std::size_t>& filled;  // rows filled by both threads, a count at a time
};

// Rows filled between two counts for the progress line.
constexpr std::size_t kCounted = 4096;

// Files of at least this many rows have the second half of their rows filled on another
// thread (starting one costs about a tenth of a millisecond); the tests' larger files take
// that path.
constexpr std::size_t kFilledInTwo = 16384;

// The cells of file rows `from` to `to` (one past the last), their strings in `blocks` (or the
// system's). The file is read in its own order and each row's cells written to the row it was
// drawn for (within its block's rows): reading a large file's rows in the drawn order instead
// costs a cache miss or more on every field, which doubled the time of this loop.
void FillRows(const Filling& f, std::size_t from, std::size_t to, tkr::TextBlocks* blocks) {
  const CsvFile& file = f.job.file;
  const UsedColumns& used = f.job.used;
  const std::size_t records = f.job.Records();
  const auto headers = static_cast<std::size_t>(f.o.header);
  constexpr std::size_t kAhead = 16;
  const auto fieldsUsed = static_cast<std::size_t>(used.FileColumn(used.size()));  // the last
  tkr::CsvField text;  // one field at a time, its room kept
  std::vector<FieldSpan> fields;
  for (std::size_t fileRow = from; fileRow < to; ++fileRow) {
    if ((fileRow - from) % kCounted == kCounted - 1) {
      const std::size_t filled = f.filled.fetch_add(kCounted) + kCounted;
      progressLine.Done(filled > headers ? filled - headers : 0);
    }
    const std::size_t row = f.drawn[fileRow];
    if (fileRow + kAhead < to) {
      // The drawn rows are scattered over their block's rows (over the table for a file of
      // one block): ask for the cells a few rows ahead, so that their cache misses overlap
      // instead of coming one after the other.
      const std::size_t later = f.drawn[fileRow + kAhead];
      for (std::size_t c = 0; c <= used.size(); ++c) {
        __builtin_prefetch(&f.cells[c * records + later], 1);
      }
    }
    file.FieldsOf(file.records[fileRow], fields, fieldsUsed);
    for (std::size_t c = 0; c < used.size(); ++c) {
      const auto column = static_cast<std::size_t>(used.FileColumn(c + 1) - 1);
      const FieldSpan field = column < fields.size() ? fields[column] : FieldSpan{};
      if (!f.job.comparedFields[c].empty()) f.job.comparedFields[c][fileRow] = field;
      if (f.held[c] == KeyCells::None || row < headers) continue;
      file.TextInto(field, text.text);
      text.quoted = field.quoted;
      VARIANT& cell = f.cells[c * records + row];
      if (f.held[c] == KeyCells::Typed) {
        cell = tkr::CellFromField(text, f.o.typing, blocks);
      } else if ((!text.text.empty() || (field.quoted && f.o.typing.quotedText)) &&
                 !tkr::IsMissing(text, f.o.typing)) {
        // The text as it stands, whatever it reads as; "" is an empty cell unless quoted
        // fields stay text, and so is a missing-value word of --na.
        cell = tkr::TextCell(text.text, blocks);
      }
      if (cell.vt == VT_BSTR && cell.bstrVal == nullptr) throw std::bad_alloc();
    }
    VARIANT& id = f.cells[used.size() * records + row];
    id.vt = VT_I4;
    id.lVal = static_cast<LONG>(fileRow + 1);
  }
}

}  // namespace

// The engine's source table: the file's rows (data rows shuffled in the stable mode), the
// used columns (typed cells for automatic keys, each field's text for text keys, nothing for
// keys this program compares) and the hidden column with each row's number in the file.
// Where the order comes from SORTINDEX nothing rewrites a cell (no MOVE, no copy handed to
// this program), so the strings go to the job's own blocks: for a file of short fields that
// is a fraction of the system's strings, the largest saving in a run's peak memory.
SAFEARRAY* SourceTable(const Options& o, Job& job) {
  job.textsInBlocks = OrderByIndex(o);
  tkr::TextBlocks* blocks = job.textsInBlocks ? &job.texts : nullptr;
  const std::size_t records = job.Records();
  const auto headers = static_cast<std::size_t>(o.header);
  const UsedColumns& used = job.used;
  std::vector<std::uint32_t> placed(records);  // array row - 1 -> file row
  for (std::size_t r = 0; r < records; ++r) placed[r] = static_cast<std::uint32_t>(r);
  if (o.stable) {
    // The data rows in blocks of consecutive file rows, the blocks in a random order and the
    // rows of each shuffled among themselves. The cells of one block are then written within
    // a few hundred kilobytes of the table, while a shuffle of all rows scattered every cell
    // over it: at ten million rows the table is far larger than the caches, and filling it
    // took three times as long. No file can anticipate the order either way, and each part
    // the sort splits off still comes to it in an order no layout chose (the rows of a block
    // in a random order, the blocks at random places).
    std::mt19937 shuffle = UnforeseeableShuffle();
    std::vector<std::uint32_t> firsts;  // the first file row of each block
    for (std::size_t r = headers; r < records; r += kShuffledBlock) {
      firsts.push_back(static_cast<std::uint32_t>(r));
    }
    std::shuffle(firsts.begin(), firsts.end(), shuffle);
    std::size_t at = headers;
    for (const std::uint32_t first : firsts) {
      const auto begin = placed.begin() + static_cast<std::ptrdiff_t>(at);
      const std::size_t end = std::min(records, std::size_t{first} + kShuffledBlock);
      for (std::size_t r = first; r < end; ++r) placed[at++] = static_cast<std::uint32_t>(r);
      std::shuffle(begin, placed.begin() + static_cast<std::ptrdiff_t>(at), shuffle);
    }
  }
  std::vector<KeyCells> held(used.size(), KeyCells::None);  // by the table's column - 1
  std::vector<TextRanking> ranked(used.size());
  job.comparedFields.assign(used.size(), {});
  for (const Entry& key : job.sortKeys) {
    // A key compared by this program shares its column with any other key on it.
    const std::size_t place = used.Place(key.column, key.slot) - 1;
    if (CellsOf(key) != KeyCells::None) held[place] = CellsOf(key);
    if (RankingOf(key, o.rankTexts).kind != TextRanking::Kind::None) {
      ranked[place] = RankingOf(key, o.rankTexts);
    }
    if (key.mode == tk::kCompareBreakOut) job.comparedFields[place].resize(records);
  }
  progressLine.Phase("reading", records - headers);  // data rows: the header is no row
  SAFEARRAY* table = EmptyTable(records, job.idColumn);
  std::vector<std::uint32_t> drawnRow(records);  // file row -> array row - 1
  for (std::size_t r = 0; r < records; ++r) drawnRow[placed[r]] = static_cast<std::uint32_t>(r);
  auto* cells = static_cast<VARIANT*>(table->pvData);
  std::atomic<std::size_t> filled{0};
  const Filling filling{o, job, held, drawnRow, cells, filled};
  // With the strings in blocks of this program's own, the second half of the file's rows is
  // filled on another thread meanwhile, its strings in blocks of its own. With the system's
  // strings a second thread only waited on its heap: the halves took longer than one thread.
  std::size_t half = blocks != nullptr && records >= kFilledInTwo ? records / 2 : records;
  tkr::Beside other;
  if (half < records && !other.Start([&] { FillRows(filling, half, records, &job.moreTexts); })) {
    half = records;  // no thread: this one fills every row
  }
  FillRows(filling, 0, half, blocks);
  other.Join();
  for (std::size_t c = 0; c < used.size(); ++c) {
    RankTexts(&cells[c * records], records, ranked[c], o.localeName, blocks);
  }
  return table;
}

void DropSourceTable(SAFEARRAY* table, Job& job) {
  if (job.textsInBlocks) {
    // The cells' strings are not the system's to free: they go with the blocks.
    tkr::EmptyCells(table);
    job.texts = tkr::TextBlocks();
    job.moreTexts = tkr::TextBlocks();
  }
  SafeArrayDestroy(table);
}

// The three command lines in the record, renumbered to the engine's tables, with the hidden
// column as the stable mode's last key and as the export's last entry.
void PutCommandLines(const Options& o, const Job& job, tk::TKCOMM& comm, bool positionsDescending) {
  const std::wstring id = std::to_wstring(job.idColumn);
  auto putText = [](VARIANT& v, const std::wstring& text) {
    if (text.empty()) return;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text.c_str());
    if (v.bstrVal == nullptr) throw std::bad_alloc();
  };
  putText(comm.SortCmd, EngineLine(job.sortKeys, kSortLine, job.used, nullptr) +
                            (!o.stable             ? L""
                             : positionsDescending ? L" " + id + L",TK_COMPDESAUTO"
                                                   : L" " + id + L",TK_COMPASCAUTO"));
  if (!o.move.empty()) {
    putText(comm.MoveCmd, EngineLine(job.moveEntries, kMoveLine, job.used, nullptr));
  }
  if (!o.exportTo.empty()) {
    putText(comm.ExportCmd, EngineLine(job.exportEntries, kExportLine, job.used, &job.destUsed) +
                                L" " + id + L"," + std::to_wstring(job.destId) + L",TK_EXPORTAUTO");
  }
}

}  // namespace tkrun

// The engine's tables. The file stays one block of bytes; the engine gets a table of its rows
// with only the columns the command lines name (UsedColumns: in file order, the lines
// renumbered to match), typed cells in automatic key columns, each field's text in text key
// columns, nothing in the columns of keys this program compares, and a hidden last column with
// each row's number in the file. The export's destination (Destination) gets the columns the
// export fills and a hidden one that receives the source row of each exported row.
//
// Legal order: PlanTables (the columns, the sizes checked), SourceTable (the rows, shuffled in
// the stable mode), PutCommandLines (the lines renumbered, the hidden key added).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/csv.h"
#include "common/range_object.h"
#include "common/text_blocks.h"
#include "protocol/record.h"
#include "tkrun/command_lines.h"
#include "tkrun/options.h"

namespace tkrun {

using tkr::CsvFile;
using tkr::FieldSpan;
using tkr::RecordSpan;

// The columns of a file that the engine's table holds, in file order: those the command
// lines name, and right after its column more of them where its keys need different cells:
// typed cells and text for a column that is both an automatic and a text key, ranks for a
// key whose texts this program ranks (the cells' slot, Entry::slot). Every other column stays out
// of it, for the rows are written back from the file's bytes; so a file with one very wide row
// costs no more cells than a narrow one.
class UsedColumns {
 public:
  void Add(long column, int slot = 0) { columns_.emplace_back(column, slot); }
  void Done() {
    std::sort(columns_.begin(), columns_.end());
    columns_.erase(std::unique(columns_.begin(), columns_.end()), columns_.end());
  }
  std::size_t size() const { return columns_.size(); }
  // The file's column (from 1) of the table's column `place` (from 1).
  long FileColumn(std::size_t place) const { return columns_[place - 1].first; }
  // The table's column (from 1) of the file's column `column`, one that was added.
  std::size_t Place(long column, int slot = 0) const {
    const auto at =
        std::lower_bound(columns_.begin(), columns_.end(), std::make_pair(column, slot));
    return static_cast<std::size_t>(at - columns_.begin()) + 1;
  }

 private:
  std::vector<std::pair<long, int>> columns_;
};

// A run's tables and command lines, from reading the files to writing them back.
struct Job {
  std::string inputName, destName;  // as messages name them
  CsvFile file, dest;               // the input, and the --export-to table (or nothing)
  std::vector<Entry> sortKeys, moveEntries, exportEntries;
  UsedColumns used, destUsed;  // the columns of the engine's two tables
  std::size_t idColumn = 0;    // the source's hidden column: each row's file row, from 1
  std::size_t destId = 0;      // the destination's: the source row each exported row is
  // The fields of the keys this program compares, by the table's column - 1 and file row:
  // found once while the table is filled rather than in the record's bytes at every
  // comparison.
  std::vector<std::vector<FieldSpan>> comparedFields;
  double readSeconds = 0;  // reading the file and filling the engine's table: the sort's gauge
  // The source table's strings, where nothing rewrites its cells (see SourceTable), the second
  // half's filled on a thread of its own: freed with the job.
  tkr::TextBlocks texts, moreTexts;
  bool textsInBlocks = false;

  std::size_t Records() const { return file.records.size(); }
};

// A 2-D VARIANT array of rows x columns from (1, 1), every cell empty; std::bad_alloc when it
// cannot be made.
SAFEARRAY* EmptyTable(std::size_t rows, std::size_t columns);

// A destination Range that remembers why the last call on it failed: a write-back refused for
// want of memory is reported as that, not as a Range error.
class Destination final : public tkr::RangeObject {
 public:
  using RangeObject::RangeObject;
  HRESULT failure = S_OK;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argError) override {
    const HRESULT hr =
        RangeObject::Invoke(id, riid, lcid, flags, params, result, exception, argError);
    if (FAILED(hr)) failure = hr;
    return hr;
  }
};

// The columns of the engine's two tables (see UsedColumns) and their hidden columns: "" or
// why the tables cannot be made.
std::string PlanTables(const Options& o, Job& job);

// Whether the sorted order comes from SORTINDEX: every run but those that move rows, with
// --move, or export them, with --export-to (the index then holds only the destination's rows).
inline bool OrderByIndex(const Options& o) {
  return o.move.empty() && o.exportTo.empty();
}

// The engine's source table, filled from the file (see SourceTable in tables.cpp).
SAFEARRAY* SourceTable(const Options& o, Job& job);

// The source table destroyed, its strings with it (to be filled anew).
void DropSourceTable(SAFEARRAY* table, Job& job);

// The three command lines in the record, renumbered to the engine's tables. With
// `positionsDescending`, the stable mode's last key (each row's position) is descending:
// rows whose keys are equal come in reverse file order, which is how --unique tells them.
void PutCommandLines(const Options& o, const Job& job, tk::TKCOMM& comm,
                     bool positionsDescending = false);

}  // namespace tkrun

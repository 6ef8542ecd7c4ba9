// The command lines --sort, --move and --export, read with the engine's own parser and keyword
// tables (input/parser.h), so that a line means here exactly what it means to the DLL, its
// column numbers wrapped to their low 16 bits included. ReadEntries turns a line into Entries
// checked against the tables' columns, or names the entry that is wrong and why, from the
// parser's own answer (the entry's place and the reason it refused it): the grammar is read
// once, by the parser.
//
// -k keys (keys.h) become the same Entries; KeyCells says what a key's column holds in the
// engine's table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "input/parser.h"

namespace tkrun {

// One entry of a command line, as the engine will read it.
struct Entry {
  long column = 0;
  long destColumn = 0;
  std::int32_t mode = 0;
  std::wstring text;  // the entry as written, for messages
  // A text key on a column that is an automatic key as well: its text cells go into a
  // column of the engine's table of their own, beside the typed one.
  bool ownTextColumn = false;
  // An automatic key on each field's text rather than its typed cell (-k COLUMN:text).
  bool textCells = false;
  // Each field's text in code-point order (-k COLUMN:ordinal): ranked by this program.
  bool ordinal = false;
  // Which column of the engine's table, among those of this file column, holds the key's
  // cells (ranks.h, SlotOf).
  int slot = 0;
};

// A command line's option and the engine's own keyword table and entry layout for it.
struct LineRules {
  const char* option;
  const tk::KeywordTable& keywords;
  std::int32_t fields;  // tk::kPairFields or tk::kExportFields
};

// The three lines' rules: option, keyword table, entry layout.
extern const LineRules kSortLine, kMoveLine, kExportLine;

// What the cells of a sort key's column hold: typed cells for the automatic order, each
// field's text for the six text keywords, nothing for a key this program compares (it reads
// the file's fields).
enum class KeyCells { None, Typed, Text };

// What a key of keyword `mode` holds in its column.
KeyCells CellsOfKey(std::int32_t mode);
// What the column of `key` holds: text for a -k COLUMN:text key, else as its keyword says.
KeyCells CellsOf(const Entry& key);

// The keyword of `mode` in `table`, as the engine spells it.
std::wstring KeywordText(const tk::KeywordTable& table, std::int32_t mode);

// A blank as the engine's parser skips it: space, tab, line breaks.
bool IsBlank(wchar_t ch);

// Reads `line` with the engine's own parser into `entries`, every column checked against
// `file`'s `columns` (and, for --export, the destination's): "" or what is wrong with which
// entry.
std::string ReadEntries(const std::wstring& line, const LineRules& rules, const std::string& file,
                        std::size_t columns, const std::string& destFile, std::size_t destColumns,
                        std::vector<Entry>& entries);

}  // namespace tkrun

// Reading the command lines with the engine's parser, and naming what it refuses (see
// command_lines.h).
#include "tkrun/command_lines.h"

#include <new>

#include "platform/platform.h"
#include "tkrun/progress.h"

namespace tkrun {
namespace {

// A line as the engine's parser reads it (tk::ReadEntry, entry by entry, as tk::ParseCommand
// reads it for the DLL): the entries it took, and the reading that ended the line, End when it
// took the whole line. The parser's places are bytes of the line's narrow text; Shown gives
// the line's own characters for them.
class LineReading {
 public:
  LineReading(const std::wstring& line, const LineRules& rules) : line_(line) {
    char* narrow = tk::ToNarrowText(line.c_str(), line.size());
    if (narrow == nullptr) throw std::bad_alloc();
    narrow_ = narrow;
    tk::platform::Free(narrow);
    std::string upper = narrow_;
    tk::UpperCaseText(upper.data());
    for (std::size_t at = 0;; at = last.next) {
      last = tk::ReadEntry(rules.keywords, rules.fields, upper.c_str(), at);
      if (last.outcome != tk::EntryOutcome::Entry) break;
      entries.push_back(last);
    }
    // Which character of the line each narrow byte comes from, one character (a surrogate
    // pair is one) converted at a time. Where the counts do not meet, Shown falls back on
    // the narrow text itself.
    std::size_t i = 0;
    while (i < line.size() && line[i] != L'\0') {
      const int units =
          IS_HIGH_SURROGATE(line[i]) && i + 1 < line.size() && IS_LOW_SURROGATE(line[i + 1]) ? 2
                                                                                             : 1;
      const int bytes =
          WideCharToMultiByte(CP_ACP, 0, line.data() + i, units, nullptr, 0, nullptr, nullptr);
      for (int k = 0; k < bytes; ++k) character_.push_back(i);
      i += static_cast<std::size_t>(units);
    }
    character_.push_back(i);
    if (character_.size() != narrow_.size() + 1) character_.clear();
  }

  // The line's characters that `span` of its narrow text stands for.
  std::wstring Shown(const tk::TextSpan& span) const {
    if (!character_.empty()) {
      return line_.substr(character_[span.begin], character_[span.end] - character_[span.begin]);
    }
    const std::string bytes = narrow_.substr(span.begin, span.end - span.begin);
    if (bytes.empty()) return {};
    std::wstring text(bytes.size(), L'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                      text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return text;
  }

  std::vector<tk::EntryReading> entries;  // the entries read, in order
  tk::EntryReading last;                  // the reading after them: End, or why it stopped

 private:
  const std::wstring& line_;
  std::string narrow_;                  // what the parser read, before upper-casing
  std::vector<std::size_t> character_;  // per narrow byte and its end: the line's character
};

// The refusal the parser gave for `read`'s last entry, in words.
std::string Refusal(const LineReading& read, const LineRules& rules) {
  const std::string where =
      std::string(rules.option) + " entry '" + Utf8(read.Shown(read.last.entry)) + "'";
  switch (read.last.outcome) {
    case tk::EntryOutcome::NoColumn: return where + " does not start with a column number";
    case tk::EntryOutcome::NoDestColumn:
      return where + " has no destination column after its source column";
    case tk::EntryOutcome::NoKeywordAfterColumns:
      return where + " has no keyword after its columns";
    case tk::EntryOutcome::UnknownKeyword: {
      std::string names;
      for (std::int32_t i = 0; i < rules.keywords.count; ++i) {
        names += (names.empty() ? "" : ", ") + std::string(rules.keywords.rows[i].text);
      }
      return "unknown keyword '" + Utf8(read.Shown(read.last.keyword)) + "' in " + where + "; " +
             rules.option + " takes " + names;
    }
    default: return where + " has no keyword after its column";
  }
}

// A column number as written, for messages: without its plus sign and leading zeros ("-7",
// "65540").
std::wstring AsWritten(const std::wstring& number) {
  const bool negative = !number.empty() && number[0] == L'-';
  std::size_t p = !number.empty() && (number[0] == L'-' || number[0] == L'+') ? 1 : 0;
  while (p + 1 < number.size() && number[p] == L'0') ++p;
  const std::wstring digits = number.substr(p);
  return (negative && digits != L"0" ? L"-" : L"") + digits;
}

}  // namespace

const LineRules kSortLine{"--sort", tk::kSortKeywords, tk::kPairFields};
const LineRules kMoveLine{"--move", tk::kMoveKeywords, tk::kPairFields};
const LineRules kExportLine{"--export", tk::kExportKeywords, tk::kExportFields};

KeyCells CellsOfKey(std::int32_t mode) {
  if (mode == tk::kCompareAscending || mode == tk::kCompareDescending) return KeyCells::Typed;
  if (mode == tk::kCompareBreakOut) return KeyCells::None;
  return KeyCells::Text;
}

KeyCells CellsOf(const Entry& key) {
  return key.textCells ? KeyCells::Text : CellsOfKey(key.mode);
}

// The keyword of `mode` in `table`, as the engine spells it.
std::wstring KeywordText(const tk::KeywordTable& table, std::int32_t mode) {
  for (std::int32_t i = 0; i < table.count; ++i) {
    if (table.rows[i].value == mode) {
      const std::string text = table.rows[i].text;
      return std::wstring(text.begin(), text.end());
    }
  }
  return {};
}

bool IsBlank(wchar_t ch) {
  return ch == L' ' || (ch >= L'\t' && ch <= L'\r');
}

// Reads `line` with the engine's own parser and checks each entry against the tables: every
// column inside its table. Returns an empty text, or what is wrong with which entry. Column
// numbers are what the engine makes of them (it keeps their low 16 bits), so the runner sorts
// by the very columns a macro passing the same line would.
std::string ReadEntries(const std::wstring& line, const LineRules& rules, const std::string& file,
                        std::size_t columns, const std::string& destFile, std::size_t destColumns,
                        std::vector<Entry>& entries) {
  const LineReading read(line, rules);
  if (read.last.outcome != tk::EntryOutcome::End) return Refusal(read, rules);
  entries.clear();
  for (const tk::EntryReading& r : read.entries) {
    Entry entry;
    entry.column = r.column;
    entry.destColumn = r.destColumn;
    entry.mode = r.mode;
    entry.text = read.Shown(r.entry);
    entries.push_back(entry);
  }
  if (entries.empty()) return std::string(rules.option) + " holds no entry";
  auto outside = [](long value, const std::wstring& written, const std::string& name,
                    std::size_t width) {
    std::string why = "column " + std::to_string(value) + " is not a column of " + name +
                      " (columns 1 to " + std::to_string(width) + ")";
    if (!written.empty() && written != std::to_wstring(value)) {  // 65540 is column 4 to the engine
      why += "; the engine keeps the low 16 bits of a column number: " + Utf8(written) +
             " is column " + std::to_string(value);
    }
    return why;
  };
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const Entry& entry = entries[k];
    const std::string where = std::string(rules.option) + " entry '" + Utf8(entry.text) + "': ";
    if (entry.column < 1 || static_cast<std::size_t>(entry.column) > columns) {
      return where +
             outside(entry.column, AsWritten(read.Shown(read.entries[k].number)), file, columns);
    }
    if (rules.fields == tk::kExportFields &&
        (entry.destColumn < 1 || static_cast<std::size_t>(entry.destColumn) > destColumns)) {
      return where + outside(entry.destColumn, AsWritten(read.Shown(read.entries[k].destNumber)),
                             destFile, destColumns);
    }
  }
  return {};
}

}  // namespace tkrun

// -k keys by number or header name, and the key columns of a run (see keys.h).
#include "tkrun/keys.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/ole.h"
#include "protocol/codes.h"
#include "tkrun/command_lines.h"
#include "tkrun/progress.h"
#include "tkrun/ranks.h"

namespace tkrun {
namespace {

// ---- keys by name: -k COLUMN[:desc][:natural|:case|:numtext|:text] -------------------------

// The orders a -k key may ask for after its column, each a keyword of the engine in both
// directions; `text` is the automatic order on each field's text, which no keyword names.
// `ordinal` is each field's text in code-point order, which this program ranks (ranks.h) and
// the engine then compares as whole numbers: no collation, no break-out.
struct KeyOrder {
  const wchar_t* name;
  std::int32_t ascending, descending;
  bool textCells, ordinal;
};
const KeyOrder kKeyOrders[] = {
    {L"natural", tk::kCompareAscendingNatural, tk::kCompareDescendingNatural, false, false},
    {L"case", tk::kCompareAscendingCase, tk::kCompareDescendingCase, false, false},
    {L"numtext", tk::kCompareAscendingNumText, tk::kCompareDescendingNumText, false, false},
    {L"text", tk::kCompareAscending, tk::kCompareDescending, true, false},
    {L"ordinal", tk::kCompareAscending, tk::kCompareDescending, true, true},
};

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring TrimBlanks(const std::wstring& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The columns of the header row for a message: 1 'Name', 2 'City', ... (the first 40).
std::string ColumnList(const std::vector<std::wstring>& names) {
  std::string list;
  const std::size_t shown = std::min<std::size_t>(names.size(), 40);
  for (std::size_t c = 0; c < shown; ++c) {
    list += (c > 0 ? ", " : "") + std::to_string(c + 1) + " '" + Utf8(names[c]) + "'";
  }
  if (shown < names.size()) list += ", ... (" + std::to_string(names.size()) + " columns)";
  return list;
}

// The sort keys of the -k options, in the order given. A column is a number from 1 or a name
// of the first header row: compared exactly first, then, if no name is exactly that, without
// regard to case or blanks around it; a name found twice either way is refused, as is one
// found nowhere, naming the columns there are. The modifiers are taken off the end, so a
// name may hold colons ("Time: start:desc" is the column "Time: start", descending).
std::string ReadKeys(const std::vector<std::wstring>& given, int headerRows, const CsvFile& file,
                     const std::string& fileName, std::vector<Entry>& keys) {
  std::vector<std::wstring> names;  // the first header row's fields
  if (headerRows > 0 && !file.records.empty()) {
    std::vector<FieldSpan> fields;
    file.FieldsOf(file.records[0], fields);
    for (const FieldSpan& field : fields) names.push_back(file.Text(field));
    names.resize(file.columns);  // a short header row: its missing names are empty
  }
  const std::string orders = ":desc and one of :natural, :case, :numtext, :text, :ordinal";
  for (const std::wstring& text : given) {
    const std::string said = "-k " + Utf8(text) + ": ";
    std::wstring column = text;
    bool descending = false;
    const KeyOrder* order = nullptr;
    for (std::size_t colon; (colon = column.rfind(L':')) != std::wstring::npos;) {
      const std::wstring word = column.substr(colon + 1);
      const auto found =
          std::find_if(std::begin(kKeyOrders), std::end(kKeyOrders),
                       [&](const KeyOrder& k) { return SameIgnoringCase(word, k.name); });
      if (SameIgnoringCase(word, L"desc")) {
        if (descending) return said + ":desc is given twice";
        descending = true;
      } else if (found != std::end(kKeyOrders)) {
        if (order != nullptr) {
          return said + "one order per key: :" + Utf8(found->name) + " or :" + Utf8(order->name);
        }
        order = found;
      } else {
        break;  // part of the column's name
      }
      column.erase(colon);
    }
    if (column.empty()) return said + "no column before " + Utf8(text);
    long number = 0;
    const bool numeric =
        column.size() <= 9 && std::all_of(column.begin(), column.end(),
                                          [](wchar_t ch) { return ch >= L'0' && ch <= L'9'; });
    if (numeric) {
      number = std::stol(column);
      if (number < 1 || static_cast<std::size_t>(number) > file.columns) {
        std::string why = said + "column " + std::to_string(number) + " is not a column of " +
                          fileName + " (columns 1 to " + std::to_string(file.columns) + ")";
        // A header such as 2024 is a name, but a number is always read as one.
        const auto named = std::find(names.begin(), names.end(), column);
        if (named != names.end()) {
          why += "; the column named " + Utf8(column) + " is column " +
                 std::to_string(named - names.begin() + 1);
        }
        return why;
      }
    } else {
      if (names.empty()) {
        return said + "a column named by its header needs a header row, and --header 0 says " +
               fileName + " has none: give the column's number (1 to " +
               std::to_string(file.columns) + ")";
      }
      std::vector<long> exact, loose;
      for (std::size_t c = 0; c < names.size(); ++c) {
        if (names[c] == column) exact.push_back(static_cast<long>(c + 1));
        if (SameIgnoringCase(TrimBlanks(names[c]), TrimBlanks(column))) {
          loose.push_back(static_cast<long>(c + 1));
        }
      }
      const std::vector<long>& found = exact.empty() ? loose : exact;
      if (found.empty()) {
        std::string why = said + "no column of " + fileName + " is named '" + Utf8(column) +
                          "'; its columns are " + ColumnList(names);
        if (column.find(L':') != std::wstring::npos) {
          why += " (after the column, -k takes " + orders + ")";
        }
        return why;
      }
      if (found.size() > 1) {
        std::string which;
        for (std::size_t i = 0; i < found.size(); ++i) {
          which += (i == 0                  ? ""
                    : i + 1 == found.size() ? " and "
                                            : ", ") +
                   std::to_string(found[i]);
        }
        return said + "'" + Utf8(column) + "' names columns " + which + " of " + fileName +
               ": give the column's number; its columns are " + ColumnList(names);
      }
      number = found[0];
    }
    Entry key;
    key.column = number;
    key.mode = order == nullptr ? (descending ? tk::kCompareDescending : tk::kCompareAscending)
                                : (descending ? order->descending : order->ascending);
    key.textCells = order != nullptr && order->textCells;
    key.ordinal = order != nullptr && order->ordinal;
    key.text = L"-k " + text;
    keys.push_back(key);
  }
  return {};
}

}  // namespace

// The --sort (or -k), --move and --export lines against the file's columns: "" or what is
// wrong. The --compare rules the engine compares itself become its keywords, and a text key
// on a column that is an automatic key too gets a column of its own.
std::string ReadCommandLines(const Options& o, Job& job) {
  const std::size_t columns = job.file.columns;
  std::string error = o.keys.empty()
                          ? ReadEntries(o.sort, kSortLine, job.inputName, columns, job.destName,
                                        job.dest.columns, job.sortKeys)
                          : ReadKeys(o.keys, o.header, job.file, job.inputName, job.sortKeys);
  if (error.empty() && !o.move.empty()) {
    error = ReadEntries(o.move, kMoveLine, job.inputName, columns, job.destName, job.dest.columns,
                        job.moveEntries);
  }
  if (error.empty() && !o.exportCmd.empty()) {
    error = ReadEntries(o.exportCmd, kExportLine, job.inputName, columns, job.destName,
                        job.dest.columns, job.exportEntries);
  }
  if (!error.empty()) return error;
  std::vector<Entry>& keys = job.sortKeys;
  for (const auto& [column, text] : o.ruleTexts) {
    const auto key =
        std::find_if(keys.begin(), keys.end(), [&](const Entry& e) { return e.column == column; });
    if (key == keys.end()) {
      return "--compare " + Utf8(text) + ": column " + std::to_string(column) +
             " is no key of --sort";
    }
    if (key->mode != tk::kCompareBreakOut) {
      return "--compare " + Utf8(text) + ": column " + std::to_string(column) + " is " +
             (CellsOf(*key) == KeyCells::Typed ? "an automatic key" : "a key the engine compares") +
             " (" + Utf8(key->text) + "); mark it TK_COMPBRKO in --sort to compare it by a rule";
    }
  }
  // The rules the engine compares itself become its keywords: no comparison breaks out. A
  // TK_COMPBRKO key without a rule is natural.
  for (Entry& key : keys) {
    if (key.mode != tk::kCompareBreakOut) continue;
    const auto rule = o.rules.find(static_cast<int>(key.column));
    const std::int32_t native =
        tkr::NativeKeyword(rule != o.rules.end() ? rule->second : tkr::CompareRule{});
    if (native != 0) key.mode = native;
  }
  // -r: every key the other way round; a key this program compares turns with its rule
  // (CompareByRule in main.cpp).
  if (o.reverse) {
    for (Entry& key : keys) {
      if (key.mode != tk::kCompareBreakOut)
        key.mode = tk::IsDescending(key.mode) ? key.mode - 1 : key.mode + 1;
    }
  }
  std::vector<bool> automatic(columns + 1, false);
  for (const Entry& key : keys) {
    if (CellsOf(key) == KeyCells::Typed) automatic[static_cast<std::size_t>(key.column)] = true;
  }
  for (Entry& key : keys) {
    key.ownTextColumn =
        CellsOf(key) == KeyCells::Text && automatic[static_cast<std::size_t>(key.column)];
    key.slot = SlotOf(key, key.ownTextColumn, o.rankTexts);
  }
  return {};
}

// The sort keys read, as --verbose says them: each column by its header's name where it has
// one, its direction and its order in the words of -k.
std::string DescribeKeys(const Options& o, const Job& job) {
  std::vector<FieldSpan> header;
  if (o.header > 0 && !job.file.records.empty()) job.file.FieldsOf(job.file.records[0], header);
  std::string said;
  for (const Entry& key : job.sortKeys) {
    const auto column = static_cast<std::size_t>(key.column);
    const std::wstring name = column <= header.size() ? job.file.Text(header[column - 1]) : L"";
    std::string order = "automatic order";
    if (key.textCells) order = "automatic order on the text";
    for (const KeyOrder& k : kKeyOrders) {
      if (!k.textCells && (key.mode == k.ascending || key.mode == k.descending)) {
        order = Utf8(k.name) + " order";
      }
    }
    bool descending = tk::IsDescending(key.mode);
    if (key.mode == tk::kCompareBreakOut) {
      const auto rule = o.rules.find(static_cast<int>(key.column));
      const auto text = o.ruleTexts.find(static_cast<int>(key.column));
      descending = (rule != o.rules.end() && rule->second.descending) != o.reverse;
      order = "by --compare " +
              (text != o.ruleTexts.end() ? Utf8(text->second) : std::string("natural"));
    }
    said += (said.empty() ? "" : "; then ") +
            (name.empty() ? "column " + std::to_string(column) : "'" + Utf8(name) + "'") +
            (descending ? " descending, " : " ascending, ") + order;
  }
  return said;
}

}  // namespace tkrun

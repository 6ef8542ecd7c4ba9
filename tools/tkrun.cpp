// tkrun: sorts a CSV file through tkselect.dll (tkrun64: tkselect64.dll), the way a macro
// drives it.
//
// The file is read once into memory and stays as it was: every row is a slice of its bytes.
// The engine gets a table of the same rows with the columns the command lines name (renumbered
// in file order, and the lines with them), whose automatic key columns hold the typed cells
// (numbers, dates, booleans, text) it compares and whose natural, case and numtext key columns
// hold each field's text, plus one hidden column with each row's original number; the other
// columns need no cells at all, for the rows are written back from the file, not from the
// cells. SELECT sorts (the --compare rules natural, case and numtext become the engine's own
// keywords; compare break-outs, left for length and exact, are answered on the fields' own
// text), EXPORT fills a second table's hidden column the same way, MOVE rearranges the rows;
// the hidden column, read after MOVE, then says which file row stands where, and each one is
// written back byte for byte.
//
// Stable by default: the rows go to the engine in a random order drawn afresh on every run,
// with the hidden column as the last key. The order that comes back is exactly the stable
// one (ties keep their file order), and the random order, which no file can anticipate,
// keeps the sort's depth near 2 log2 n whatever the file's layout. --unstable hands the rows
// over as they are and adds no key; where their order takes that sort to its depth limit, they
// are handed over again as the stable mode hands them.
//
// Outputs go to a temporary file created anew beside each one, moved into place once complete:
// a failed write leaves no partial output, and the runner deletes no file but its own
// temporary ones, on every way out (Ctrl-C included).
//
// The keys come from -k (a column by number or header name, with its order) or from --sort,
// which, like --move and --export, is read by the engine's own parser and keyword tables
// (input/parser.h), so that a line means here exactly what it means to the DLL.
//
// Exit status: 0 sorted, 1 the engine refused or memory ran out, 2 bad options or input, 3 the
// reader of standard output closed it before the table was written (said nowhere).
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/caller.h"
#include "common/cells.h"
#include "common/compare_rules.h"
#include "common/csv.h"
#include "common/file_bytes.h"
#include "common/library.h"
#include "common/range_object.h"
#include "input/parser.h"
#include "platform/platform.h"
#include "protocol/codes.h"
#include "protocol/status.h"
#include "protocol/version.h"

// After the Windows headers (common/, platform/ole.h), on which it builds.
#include <shellapi.h>

namespace {

using tkr::CsvFile;
using tkr::FieldSpan;
using tkr::RecordSpan;

constexpr int kSorted = 0;
constexpr int kRefused = 1;
constexpr int kBadInput = 2;
constexpr int kReaderGone = 3;  // standard output closed by its reader: nothing said

constexpr char kUsage[] = R"(usage: tkrun [options] -k COLUMN[:desc][:ORDER] [-k ...] INPUT.csv
       tkrun [options] --sort "COMMAND" INPUT.csv

Sorts the rows of INPUT.csv (- for standard input) through tkselect.dll (tkrun64:
tkselect64.dll) and writes them, each exactly as it was in the file, in sorted order as CSV.
A file with a header and no data rows, or with no rows at all, is written back as it is.

Options:
  -k, --key KEY          a sort key; repeat it for more keys, the first given first. KEY is
                         a column, by number (from 1) or by its name in the first header
                         row (compared exactly, else without regard to case or blanks
                         around it; a name found twice or nowhere is refused), then
                         optionally :desc and one ORDER:
                           (none)     the automatic order of typed cells
                           :natural   runs of digits by value: "file9" before "file10"
                           :case      with regard to case: "a" before "A"
                           :numtext   a text that reads as a number ("10") as that number
                           :text      the automatic order on each field's text, untyped:
                                      "10" before "9"
                         e.g. -k City -k Amount:desc. The modifiers are read off the end,
                         so a name may hold colons; give a column by its number when its
                         name itself ends in one. Not together with --sort or --compare.
  --sort "COMMAND"       the sort command line, as a macro passes it: entries COLUMN,KEYWORD
                         separated by blanks, read by the library's own parser (a column
                         number keeps its low 16 bits: 65537 is column 1). KEYWORD,
                         ascending or descending:
                           TK_COMPASCAUTO     TK_COMPDESAUTO     the automatic order
                           TK_COMPASCNATURAL  TK_COMPDESNATURAL  runs of digits by value:
                                                                 "file9" before "file10"
                           TK_COMPASCCASE     TK_COMPDESCASE     with regard to case: "a"
                                                                 before "A"
                           TK_COMPASCNUMTEXT  TK_COMPDESNUMTEXT  a text that reads as a number
                                                                 ("10") as that number
                         or TK_COMPBRKO, compared by a rule of --compare.
  --move "COMMAND"       the move command line: COLUMN,TK_MOVEAUTO or COLUMN,TK_MOVEBRKO
                         (moved by this program); default: derived from the sort keys
  --export "COMMAND"     the export command line: SOURCE,DEST,TK_EXPORTAUTO or
                         SOURCE,DEST,TK_EXPORTBRKO; needs --export-to
  --export-to FILE.csv   the destination table: read, filled in sorted order, written back
  --export-out FILE.csv  write the destination here instead of back to --export-to
  --output FILE.csv      write the sorted table here (default, or -: standard output)
  --index FILE           write the sorted order there: the original number of each data row
                         (1 for the first row below the header), one per line; the macro
                         module's TKSortIndex counts the rows of its Range instead, header
                         included, so that Range.Rows(n) is the row
  --header N             header rows of INPUT.csv (default 1)
  --dest-header N        header rows of the destination (default: as --header)
  --compare COL=RULE     how column COL, a TK_COMPBRKO key, is compared: natural (the
                         default), case or numtext, which the engine compares itself exactly
                         as TK_COMPASCNATURAL, TK_COMPASCCASE and TK_COMPASCNUMTEXT; or
                         length (shorter first) or exact (character by character, with
                         regard to case), whose comparisons this program answers one by one.
                         Each optionally with :desc. Empty cells always come last. May be
                         repeated.
  --ignore-empty         empty cells tie with every cell on automatic keys (default: last)
  --unstable             quicker where the rows' own order allows: rows handed over as they
                         stand and no hidden position key, so rows that tie on every key may
                         change places. Where their order would take the sort too deep (a key
                         with few values, two sorted runs one after the other) the rows are
                         sorted in the default, stable order instead, and said so
  --separator C          the field separator: one character (; or |), tab or \t. Without it,
                         the one of , ; tab | the first line holds most of (a comma when it
                         holds none), named on standard error when it is not a comma
  --encoding E           the files' encoding: utf-8 (default), utf-16le, utf-16be, cp1252 or
                         another Windows code page (cp1250, 1251, 932, ...). A byte-order
                         mark decides over it: UTF-8, UTF-16 LE or BE. Files are written back
                         in their encoding, with their mark; a code page file is read only
                         when all its bytes convert back to themselves
  --decimal ,            numbers have a decimal comma (3,5 and 1.234,5); "4.10" is text then
  --quoted-text          a quoted field is text, whatever it holds, and "" the empty text
  --dll PATH             the library to use (default: tkselect.dll beside tkrun.exe,
                         tkselect64.dll beside tkrun64.exe)
  --quiet                no progress lines: neither the summary of each step nor, on a
                         console, the line that shows a run of more than two seconds at work
  --version              the version of tkrun
  --help                 this text

Cells keep their text exactly; the type a field reads as is used only to compare it, quoted
or not ("10" is the number 10, as a spreadsheet reads it; --quoted-text keeps it text):
empty (an empty field, and ""), TRUE/FALSE in any case, dates, whole numbers, decimal
numbers; every other field is text. Dates are YYYY-MM-DD (optionally Thh:mm[:ss]) and the
short dates a spreadsheet writes, in the system's order with a four-digit year: 3/14/2026
where the month comes first, 14/03/2026 or 14.03.2026 where the day does (optionally
h:mm[:ss] after a blank); from the year 0100, and only days the calendar has: 2023-02-31 is
text. Automatic keys put numbers, dates and booleans (TRUE counts as -1) before text and
empty cells last; text compares without regard to case, hyphens and apostrophes weigh
little, accents come second. Natural, case and numtext keys, and the rules of --compare, see
each field's text as it stands, whatever it reads as: "4.10" comes after "4.9" in natural
order, TRUE and FALSE are words; empty fields are empty cells. A numtext key then takes a
text the system locale reads as a number ("007", "4.10", "1,500") as that number, before the
other text.

Examples:
  tkrun -k Department -k Salary:desc staff.csv
  tkrun --sort "1,TK_COMPASCAUTO 3,TK_COMPDESAUTO" staff.csv
  tkrun --sort "1,TK_COMPASCNATURAL" --output sorted.csv files.csv
  tkrun --sort "2,TK_COMPDESAUTO" --decimal , --output sorted.csv prices.csv
  tkrun --sort "1,TK_COMPASCAUTO" --export "2,1,TK_EXPORTAUTO 4,2,TK_EXPORTAUTO" \
        --export-to summary.csv --export-out summary_sorted.csv staff.csv

Exit status: 0 sorted, 1 the engine refused (its status text says why) or memory ran out,
2 bad options or input, a library that cannot be used, or a file that cannot be read or
written (a full disk included: the input and every output stay as they were), 3 standard
output closed by its reader before the table was written (as with | head; nothing said).
)";

std::string Utf8(const std::wstring& text) {
  return tkr::ToUtf8(text);
}

void Say(const std::string& line);  // on standard error, past the progress line

int Fail(const std::string& message) {
  Say("tkrun: " + message + "\n");
  return kBadInput;
}

// ---- options --------------------------------------------------------------------------------

struct Options {
  std::wstring input, output, exportTo, exportOut, dll, index;
  std::wstring sort, move, exportCmd;
  std::vector<std::wstring> keys;  // -k, in order
  int header = 1, destHeader = -1;
  std::map<int, tkr::CompareRule> rules;
  std::map<int, std::wstring> ruleTexts;  // as given, for messages
  bool ignoreEmpty = false, stable = true, quiet = false;
  wchar_t separator = 0;  // 0: the one the first line holds
  tkr::CodePage encoding = tkr::kUtf8;
  tkr::CellTyping typing;
};

bool ParseCount(const std::wstring& text, int& value) {
  if (text.empty() || text.size() > 7) return false;
  int v = 0;
  for (const wchar_t ch : text) {
    if (ch < L'0' || ch > L'9') return false;
    v = v * 10 + (ch - L'0');
  }
  value = v;
  return true;
}

// The sort keys come from -k or from --sort, never both: which would go first is anyone's
// guess. --compare rules are for TK_COMPBRKO keys, which only --sort makes.
std::string CheckKeyOptions(const Options& o) {
  if (o.sort.empty() && o.keys.empty()) {
    return "no -k key and no --sort command line: give -k COLUMN (see tkrun --help)";
  }
  if (!o.sort.empty() && !o.keys.empty()) {
    return "-k and --sort both give the sort keys: give them all with -k, or all in --sort";
  }
  if (!o.keys.empty() && !o.rules.empty()) {
    return "--compare is for TK_COMPBRKO keys of --sort; a -k key takes its order after the "
           "column: -k COLUMN:natural, :case, :numtext or :text";
  }
  return {};
}

// --separator, --encoding or --decimal with its value `v`: "" when it was taken, else what is
// wrong with it.
std::string ParseFileOption(const std::wstring& arg, const std::wstring& v, Options& o) {
  std::wstring lower = v;
  for (wchar_t& ch : lower) ch = ch >= L'A' && ch <= L'Z' ? ch - L'A' + L'a' : ch;
  if (arg == L"--separator") {
    const wchar_t ch = lower == L"tab" || v == L"\\t" ? L'\t' : v.size() == 1 ? v[0] : 0;
    if (ch == 0 || ch == L'"' || ch == L'\n' || ch == L'\r') {
      return "--separator takes tab, \\t or one character other than a quote or a line break " +
             std::string("(such as ; or |), not '") + Utf8(v) + "'";
    }
    o.separator = ch;
  } else if (arg == L"--decimal") {
    if (v != L"," && v != L".") return "--decimal takes , or ., not '" + Utf8(v) + "'";
    o.typing.decimal = v[0];
  } else {
    static const std::pair<const wchar_t*, tkr::CodePage> kNames[] = {
        {L"utf-8", tkr::kUtf8},       {L"utf8", tkr::kUtf8},        {L"utf-16", tkr::kUtf16Le},
        {L"utf-16le", tkr::kUtf16Le}, {L"utf-16be", tkr::kUtf16Be}, {L"cp1252", 1252},
        {L"windows-1252", 1252}};
    std::wstring number = lower;
    for (const wchar_t* prefix : {L"windows-", L"cp"}) {
      if (number.rfind(prefix, 0) == 0) number.erase(0, std::wcslen(prefix));
    }
    int page = 0;
    const auto named = std::find_if(std::begin(kNames), std::end(kNames),
                                    [&](const auto& n) { return lower == n.first; });
    if (named != std::end(kNames)) {
      o.encoding = named->second;
    } else if (ParseCount(number, page) && page > 0) {
      o.encoding = static_cast<tkr::CodePage>(page);
    } else {
      return "--encoding takes utf-8, utf-16le, utf-16be, cp1252 or a Windows code page number " +
             std::string("(cp1250, 1251, 932, ...), not '") + Utf8(v) + "'";
    }
    const std::string unusable = tkr::UnusableCodePage(o.encoding);
    if (!unusable.empty()) return "--encoding " + Utf8(v) + ": " + unusable;
  }
  return {};
}

// Returns -1 when done (help, version), 0 when the options are usable, else an exit status.
int ParseOptions(const std::vector<std::wstring>& args, Options& o) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    auto value = [&](std::wstring& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::wstring v;
    if (arg == L"--help" || arg == L"-h") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (arg == L"--version") {
      std::printf("tkrun %d.%d\n", TK_VERSION_MAJOR, TK_VERSION_MINOR);
      return -1;
    } else if (arg == L"--sort" && value(o.sort)) {
    } else if ((arg == L"-k" || arg == L"--key") && value(v)) {
      o.keys.push_back(v);
    } else if (arg == L"--move" && value(o.move)) {
    } else if (arg == L"--export" && value(o.exportCmd)) {
    } else if (arg == L"--export-to" && value(o.exportTo)) {
    } else if (arg == L"--export-out" && value(o.exportOut)) {
    } else if (arg == L"--output" && value(o.output)) {
    } else if (arg == L"--index" && value(o.index)) {
    } else if (arg == L"--dll" && value(o.dll)) {
    } else if ((arg == L"--header" || arg == L"--dest-header") && value(v)) {
      int n = 0;
      if (!ParseCount(v, n)) {
        return Fail(Utf8(arg) + " takes a number of rows, not '" + Utf8(v) + "'");
      }
      (arg == L"--header" ? o.header : o.destHeader) = n;
    } else if (arg == L"--compare" && value(v)) {
      const std::size_t eq = v.find(L'=');
      int column = 0;
      tkr::CompareRule rule;
      if (eq == std::wstring::npos || !ParseCount(v.substr(0, eq), column) ||
          !tkr::ParseRule(Utf8(v.substr(eq + 1)), rule)) {
        return Fail(
            "--compare takes COLUMN=RULE with RULE natural, case, numtext, length or exact "
            "(optionally :desc), not '" +
            Utf8(v) + "'");
      }
      o.rules[column] = rule;
      o.ruleTexts[column] = v;
    } else if ((arg == L"--separator" || arg == L"--encoding" || arg == L"--decimal") && value(v)) {
      const std::string wrong = ParseFileOption(arg, v, o);
      if (!wrong.empty()) return Fail(wrong);
    } else if (arg == L"--quoted-text") {
      o.typing.quotedText = true;
    } else if (arg == L"--ignore-empty") {
      o.ignoreEmpty = true;
    } else if (arg == L"--unstable") {
      o.stable = false;
    } else if (arg == L"--quiet") {
      o.quiet = true;
    } else if (arg.size() > 1 && arg[0] == L'-') {
      return Fail("unknown option or missing value: " + Utf8(arg) + " (see tkrun --help)");
    } else if (o.input.empty()) {
      o.input = arg;
    } else {
      return Fail("one input file only; also got '" + Utf8(arg) + "'");
    }
  }
  if (o.input.empty()) return Fail("no input file (see tkrun --help)");
  if (const std::string keys = CheckKeyOptions(o); !keys.empty()) return Fail(keys);
  if (!o.exportCmd.empty() && o.exportTo.empty()) return Fail("--export needs --export-to FILE");
  if (o.exportCmd.empty() && !o.exportTo.empty()) return Fail("--export-to needs --export");
  if (o.destHeader < 0) o.destHeader = o.header;
  if (o.output == L"-") o.output.clear();  // standard output, as without --output
  return 0;
}

// ---- command lines ------------------------------------------------------------------------

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
};

// A command line's option and the engine's own keyword table and entry layout for it.
struct LineRules {
  const char* option;
  const tk::KeywordTable& keywords;
  std::int32_t fields;  // tk::kPairFields or tk::kExportFields
};

const LineRules kSortLine{"--sort", tk::kSortKeywords, tk::kPairFields};
const LineRules kMoveLine{"--move", tk::kMoveKeywords, tk::kPairFields};
const LineRules kExportLine{"--export", tk::kExportKeywords, tk::kExportFields};

// What the cells of a sort key's column hold: typed cells for the automatic order, each
// field's text for the six text keywords, nothing for a key this program compares (it reads
// the file's fields).
enum class KeyCells { None, Typed, Text };

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

// ---- keys by name: -k COLUMN[:desc][:natural|:case|:numtext|:text] -------------------------

// The orders a -k key may ask for after its column, each a keyword of the engine in both
// directions; `text` is the automatic order on each field's text, which no keyword names.
struct KeyOrder {
  const wchar_t* name;
  std::int32_t ascending, descending;
  bool textCells;
};
const KeyOrder kKeyOrders[] = {
    {L"natural", tk::kCompareAscendingNatural, tk::kCompareDescendingNatural, false},
    {L"case", tk::kCompareAscendingCase, tk::kCompareDescendingCase, false},
    {L"numtext", tk::kCompareAscendingNumText, tk::kCompareDescendingNumText, false},
    {L"text", tk::kCompareAscending, tk::kCompareDescending, true},
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
  const std::string orders = ":desc and one of :natural, :case, :numtext, :text";
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
    key.text = L"-k " + text;
    keys.push_back(key);
  }
  return {};
}

// The columns of a file that the engine's table holds, in file order: those the command
// lines name, and right after its column a second one for a column that is both an automatic
// and a text key (typed cells in one, text in the other). Every other column stays out of it,
// for the rows are written back from the file's bytes; so a file with one very wide row costs
// no more cells than a narrow one.
class UsedColumns {
 public:
  void Add(long column, bool textColumn = false) { columns_.emplace_back(column, textColumn); }
  void Done() {
    std::sort(columns_.begin(), columns_.end());
    columns_.erase(std::unique(columns_.begin(), columns_.end()), columns_.end());
  }
  std::size_t size() const { return columns_.size(); }
  // The file's column (from 1) of the table's column `place` (from 1).
  long FileColumn(std::size_t place) const { return columns_[place - 1].first; }
  // The table's column (from 1) of the file's column `column`, one that was added.
  std::size_t Place(long column, bool textColumn = false) const {
    const auto at =
        std::lower_bound(columns_.begin(), columns_.end(), std::make_pair(column, textColumn));
    return static_cast<std::size_t>(at - columns_.begin()) + 1;
  }

 private:
  std::vector<std::pair<long, bool>> columns_;
};

// `entries` as the engine is to read them: each column named by its place in the engine's
// tables, the keyword in full.
std::wstring EngineLine(const std::vector<Entry>& entries, const LineRules& rules,
                        const UsedColumns& source, const UsedColumns* dest) {
  std::wstring line;
  for (const Entry& e : entries) {
    if (!line.empty()) line += L' ';
    line += std::to_wstring(source.Place(e.column, e.ownTextColumn)) + L",";
    if (dest != nullptr) line += std::to_wstring(dest->Place(e.destColumn)) + L",";
    line += KeywordText(rules.keywords, e.mode);
  }
  return line;
}

// ---- files ----------------------------------------------------------------------------------

// Every output is written to a temporary file beside it that then takes its place, so that a
// failed write never leaves half a table behind. The temporary file is one this run creates
// anew (never an existing file, whatever the input or another output is called), and it is
// the only file the runner ever deletes: on a failed write, on every way out, and when the
// console says the run is to end (Ctrl-C, Ctrl-Break, the window closed).
class PartFiles {
 public:
  PartFiles() { InitializeCriticalSection(&lock_); }

  // Creates a file named after `path`, in its folder, that did not exist: its handle (open
  // for writing, which a removal by name does not wait for), or INVALID_HANDLE_VALUE with
  // the system's error left for the message.
  HANDLE Create(const std::wstring& path, std::wstring& part) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      wchar_t unique[32];
      std::swprintf(unique, 32, L".%lx-%x.tkrun-part", GetCurrentProcessId(),
                    counter++ ^ (GetTickCount() << 8));
      part = path + unique;
      EnterCriticalSection(&lock_);
      const HANDLE file =
          CreateFileW(part.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      const DWORD error = GetLastError();
      if (file != INVALID_HANDLE_VALUE) made_.push_back(part);
      LeaveCriticalSection(&lock_);
      if (file != INVALID_HANDLE_VALUE) return file;
      SetLastError(error);
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    return INVALID_HANDLE_VALUE;
  }
  // Moves `part` over `path`; once it is there, it is no longer ours to remove.
  bool Place(const std::wstring& part, const std::wstring& path) {
    EnterCriticalSection(&lock_);
    const bool placed = MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    const DWORD error = GetLastError();
    if (placed) Forget(part);
    LeaveCriticalSection(&lock_);
    SetLastError(error);
    return placed;
  }
  void Remove(const std::wstring& part) {
    EnterCriticalSection(&lock_);
    if (Forget(part)) DeleteFileW(part.c_str());
    LeaveCriticalSection(&lock_);
  }
  void RemoveAll() {
    EnterCriticalSection(&lock_);
    for (const std::wstring& part : made_) DeleteFileW(part.c_str());
    made_.clear();
    LeaveCriticalSection(&lock_);
  }

 private:
  bool Forget(const std::wstring& part) {
    const auto found = std::find(made_.begin(), made_.end(), part);
    if (found == made_.end()) return false;
    made_.erase(found);
    return true;
  }
  std::vector<std::wstring> made_;  // created and not yet placed or removed, under lock_
  CRITICAL_SECTION lock_{};
};
PartFiles partFiles;

// The console's end of the run (Ctrl-C, Ctrl-Break, the window closed, logoff, shutdown): the
// temporary files go, then the system ends the process as it would have.
BOOL WINAPI OnConsoleEvent(DWORD) {
  partFiles.RemoveAll();
  return FALSE;
}

// A fault no one handles: the temporary files go, then the system ends the process as usual.
LONG WINAPI OnFault(EXCEPTION_POINTERS*) {
  partFiles.RemoveAll();
  return EXCEPTION_CONTINUE_SEARCH;
}

// Set when the reader of standard output closed it (`tkrun ... | head`): the run ends
// quietly, as a filter does.
bool readerGone = false;

// Why a write or a move failed: the system's reason, in a CSV user's words where the
// system's own are unclear (a full disk once read "Success").
std::string WriteReason(DWORD error) {
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
    return "no space left on the disk";
  SetLastError(error);
  return tkr::LastErrorText();
}

// Writes every part `next` gives (an empty part: nothing more) to `file`; the system's error
// when a write fails, else 0.
DWORD WriteAll(HANDLE file, const std::function<std::string_view()>& next) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  for (std::string_view part = next(); !part.empty(); part = next()) {
    while (!part.empty()) {
      const auto want = static_cast<DWORD>(std::min(part.size(), kChunk));
      DWORD wrote = 0;
      if (!WriteFile(file, part.data(), want, &wrote, nullptr)) return GetLastError();
      if (wrote == 0) return ERROR_WRITE_FAULT;
      part.remove_prefix(wrote);
    }
  }
  return 0;
}

// Writes the parts `next` gives to `path` through a temporary file (PartFiles). An empty path
// is standard output.
bool WriteParts(const std::wstring& path, const std::function<std::string_view()>& next,
                std::string& error) {
  if (path.empty()) {
    std::fflush(stdout);
    const DWORD failed = WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), next);
    if (failed == 0) return true;
    if (failed == ERROR_BROKEN_PIPE || failed == ERROR_NO_DATA) {
      readerGone = true;
      return false;
    }
    error = "cannot write the table to standard output: " + WriteReason(failed);
    return false;
  }
  std::wstring part;
  const HANDLE file = partFiles.Create(path, part);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot write '" + Utf8(path) + "': " + WriteReason(GetLastError());
    return false;
  }
  DWORD failed = WriteAll(file, next);
  if (!CloseHandle(file) && failed == 0) failed = GetLastError();
  if (failed == 0 && !partFiles.Place(part, path)) failed = GetLastError();
  if (failed != 0) {
    // Nothing of this output stays: the file it would replace is as it was.
    error =
        "cannot write '" + Utf8(path) + "': " + WriteReason(failed) + "; nothing was written there";
    partFiles.Remove(part);
  }
  return failed == 0;
}

// `bytes` written as WriteParts writes.
bool WriteBytes(const std::wstring& path, const std::string& bytes, std::string& error) {
  bool given = false;
  return WriteParts(
      path,
      [&]() {
        const std::string_view all = given ? std::string_view() : std::string_view(bytes);
        given = true;
        return all;
      },
      error);
}

// The table's records in `order`, written as WriteParts writes.
bool WriteTable(const std::wstring& path, const CsvFile& table,
                const std::vector<std::uint32_t>& order, std::string& error) {
  tkr::CsvWriter writer(table, order);
  return WriteParts(
      path, [&]() { return writer.Next(); }, error);
}

// Whether `a` and `b` name one file. Both are resolved to full paths first, so that ".\x.csv",
// "X.CSV" and "sub\..\x.csv" are all "x.csv"; when both exist, their volume and file index
// decide as well, which also catches hard links, short names, the long-path and device
// prefixes, and symbolic links and junctions (opening follows them).
bool SameFile(const std::wstring& a, const std::wstring& b) {
  auto fullPath = [](const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n >= full.size()) {
      full.resize(n);
      n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    }
    full.resize(n < full.size() ? n : 0);
    return full.empty() ? path : full;
  };
  auto identity = [](const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, &info) != FALSE;
    CloseHandle(file);
    return known;
  };
  const std::wstring fullA = fullPath(a), fullB = fullPath(b);
  if (CompareStringOrdinal(fullA.c_str(), static_cast<int>(fullA.size()), fullB.c_str(),
                           static_cast<int>(fullB.size()), TRUE) == CSTR_EQUAL) {
    return true;
  }
  BY_HANDLE_FILE_INFORMATION infoA{}, infoB{};
  return identity(a, infoA) && identity(b, infoB) &&
         infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
         infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow;
}

// Before any work: can a file be made beside `path`? Nothing stays behind.
bool CanWrite(const std::wstring& path, std::string& error) {
  if (path.empty()) return true;
  std::wstring part;
  const HANDLE file = partFiles.Create(path, part);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot write '" + Utf8(path) + "': " + WriteReason(GetLastError());
    return false;
  }
  CloseHandle(file);
  partFiles.Remove(part);
  return true;
}

// ---- the tables for the engine --------------------------------------------------------------

// A 2-D VARIANT array of rows x columns from (1, 1), every cell empty. The caller has
// checked the size with tkr::TableFits.
SAFEARRAY* EmptyTable(std::size_t rows, std::size_t columns) {
  if (!tkr::TableFits(rows, columns)) throw std::bad_alloc();
  SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(rows), 1}, {static_cast<ULONG>(columns), 1}};
  SAFEARRAY* table = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (table == nullptr) throw std::bad_alloc();
  return table;
}

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

std::string StatusText(const tk::TKCOMM& comm) {
  return comm.Status.vt == VT_BSTR && comm.Status.bstrVal != nullptr
             ? tkr::ToUtf8(comm.Status.bstrVal)
             : std::string("(no status text)");
}

// The bytes of a field as they stand in the file, quotes included.
std::string RawField(const CsvFile& file, const FieldSpan& field) {
  const std::string content = file.bytes.substr(field.begin, field.length);
  return field.quoted ? "\"" + content + "\"" : content;
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

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- progress on the console ----------------------------------------------------------------

// Long runs say on the console what they are doing: one line, "tkrun: sorting 2500000 rows:
// 0 break-outs, 14 s", rewritten in place four times a second by a thread of its own, from
// two seconds into the run on (a short run shows nothing). Only when standard error is a
// console: redirected to a file or a pipe it would be a stream of carriage returns. What the
// run says meanwhile (Say, Fail) first clears the line, so the two never mix.
class Progress {
 public:
  Progress() = default;
  ~Progress() { Stop(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Shows progress from now on if standard error is a console and `wanted`.
  void Start(bool wanted) {
    DWORD mode = 0;
    if (!wanted || GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) == FALSE) return;
    InitializeCriticalSection(&lock_);
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop_ == nullptr) return;
    thread_ = CreateThread(nullptr, 0, &Progress::Loop, this, 0, nullptr);
    if (thread_ == nullptr) {
      CloseHandle(stop_);
      stop_ = nullptr;
    }
  }
  // What the run does now ("reading", "sorting", ...), of `total` rows (0: no count); with
  // `breakOuts`, the comparisons handed out so far are counted instead of rows done (the
  // engine sorts within one call).
  void Phase(const char* what, std::uint64_t total, bool breakOuts = false) {
    done_ = 0;
    total_ = total;
    counted_ = breakOuts;
    phase_ = what;
  }
  void Done(std::uint64_t done) { done_.store(done, std::memory_order_relaxed); }
  void BreakOut() { breakOuts_.fetch_add(1, std::memory_order_relaxed); }
  // Standard error gets `line` (a whole line, its end included) past the progress line.
  void Say(const std::string& line) {
    if (thread_ == nullptr) {
      std::fputs(line.c_str(), stderr);
      return;
    }
    EnterCriticalSection(&lock_);
    Clear();
    std::fputs(line.c_str(), stderr);
    LeaveCriticalSection(&lock_);
  }
  // No more progress: the thread ends and the line is cleared.
  void Stop() {
    if (thread_ == nullptr) return;
    SetEvent(stop_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(stop_);
    thread_ = stop_ = nullptr;
    Clear();
    DeleteCriticalSection(&lock_);
  }

 private:
  static DWORD WINAPI Loop(void* self) {
    auto* p = static_cast<Progress*>(self);
    while (WaitForSingleObject(p->stop_, 250) == WAIT_TIMEOUT) {
      const double seconds = Since(p->started_);
      if (seconds < 2.0) continue;
      const std::uint64_t total = p->total_, done = p->done_;
      char line[200];
      const char* what = p->phase_;
      if (p->counted_) {
        std::snprintf(line, sizeof line, "tkrun: %s %llu rows: %llu break-outs, %.0f s", what,
                      static_cast<unsigned long long>(total),
                      static_cast<unsigned long long>(p->breakOuts_.load()), seconds);
      } else if (total != 0 && done != 0) {
        std::snprintf(line, sizeof line, "tkrun: %s row %llu of %llu (%.0f%%), %.0f s", what,
                      static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                      100.0 * static_cast<double>(done) / static_cast<double>(total), seconds);
      } else if (total != 0) {
        std::snprintf(line, sizeof line, "tkrun: %s %llu rows, %.0f s", what,
                      static_cast<unsigned long long>(total), seconds);
      } else {
        std::snprintf(line, sizeof line, "tkrun: %s, %.0f s", what, seconds);
      }
      EnterCriticalSection(&p->lock_);
      const std::size_t length = std::strlen(line);
      std::string shown = "\r" + std::string(line);
      if (length < p->shown_) shown += std::string(p->shown_ - length, ' ');
      std::fputs(shown.c_str(), stderr);
      p->shown_ = length;
      LeaveCriticalSection(&p->lock_);
    }
    return 0;
  }
  void Clear() {
    if (shown_ == 0) return;
    std::fputs(("\r" + std::string(shown_, ' ') + "\r").c_str(), stderr);
    shown_ = 0;
  }

  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::atomic<const char*> phase_{"reading"};
  std::atomic<std::uint64_t> done_{0}, total_{0}, breakOuts_{0};
  std::atomic<bool> counted_{false};
  std::size_t shown_ = 0;  // characters of the line on the console, under lock_
  CRITICAL_SECTION lock_{};
  HANDLE thread_ = nullptr, stop_ = nullptr;
};

// The run's progress line: everything said on standard error goes past it.
Progress progressLine;

void Say(const std::string& line) {
  progressLine.Say(line);
}

#ifdef _WIN64
constexpr char kProgramName[] = "tkrun64.exe";
#else
constexpr char kProgramName[] = "tkrun.exe";
#endif

// The library could not be used: what is wrong with it, where it was looked for, and which
// one this program needs.
std::string LibraryRemedy(const tkr::Library& dll, bool named) {
  const std::string needed = std::string(tkr::kLibraryName) + " (" + tkr::ProgramBits() + ")";
  return "cannot use the sorting library: " + dll.Problem() + "; " +
         (named ? std::string(kProgramName) + " needs " + needed +
                      ": name it with --dll PATH, or leave --dll out to use the one beside " +
                      kProgramName
                : std::string(kProgramName) + " looks for " + needed +
                      " in its own folder: put it there, or name it with --dll PATH");
}

// What a run holds, as far as it got, for the out-of-memory message: the input's size is
// looked up by its name, the rest is noted as it becomes known.
struct MemoryUse {
  std::wstring input;
  std::uint64_t records = 0;     // of the file, once read
  std::uint64_t tableBytes = 0;  // the engine's table, once its size is known
};
MemoryUse memoryUse;

std::string Size(std::uint64_t bytes) {
  char text[32];
  if (bytes >= 1000000000u) {
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / 1e9);
  } else {
    std::snprintf(text, sizeof text, "%.0f MB", std::max(1.0, static_cast<double>(bytes) / 1e6));
  }
  return text;
}

// Out of memory: the file's size, about what sorting it takes (the file, its rows' and
// fields' places, the engine's table, the sorted copy written), and what to do.
std::string MemoryAdvice() {
  std::string advice;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!memoryUse.input.empty() &&
      GetFileAttributesExW(memoryUse.input.c_str(), GetFileExInfoStandard, &data) != FALSE) {
    const std::uint64_t size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    // Before the file is read its rows are unknown; about four times its size is what files
    // of short fields take. Once they are known: the file, the engine's table, and per row
    // about 160 bytes (the row's place in the file and in the shuffle, a text key's string,
    // the engine's index and keys).
    const std::uint64_t needed =
        memoryUse.records == 0 ? 4 * size : size + memoryUse.tableBytes + memoryUse.records * 160;
    advice = ": " + Utf8(memoryUse.input) + " is " + Size(size) + ", and sorting it takes about " +
             Size(needed);
    if (memoryUse.tableBytes != 0) {
      advice += " (of which the engine's table " + Size(memoryUse.tableBytes) + ")";
    }
  }
#ifdef _WIN64
  return advice +
         "; close other programs or give the system a larger paging file, or sort the "
         "file in parts";
#else
  return advice +
         "; tkrun.exe has at most 4 GB of address space: use tkrun64.exe on 64-bit "
         "Windows, which is not held to that";
#endif
}

// Reads the table at `path` ("-": standard input) by the options' separator and encoding, and
// says on standard error which separator was found when it is not a comma.
bool ReadTable(const Options& o, const std::wstring& path, CsvFile& table, std::string& error) {
  const bool piped = path == L"-";
  const std::string name = piped ? "standard input" : Utf8(path);
  std::string bytes;
  if (!(piped ? tkr::ReadStandardInput(bytes, error) : tkr::ReadWholeFile(path, bytes, error))) {
    error = piped ? error : "cannot read '" + name + "': " + error;
    return false;
  }
  if (!tkr::ReadCsv(std::move(bytes), o.separator, o.encoding, table, error)) {
    error = name + " " + error;
    return false;
  }
  if (o.separator == 0 && table.separator != L',') {
    const std::string shown =
        table.separator == L'\t' ? "tabs" : "'" + Utf8({table.separator}) + "'";
    Say("tkrun: " + name + ": fields separated by " + shown +
        ", as its first line shows (--separator gives another)" +
        (table.separator == L';' && o.typing.decimal != L','
             ? "; decimal commas are numbers with --decimal ,"
             : "") +
        "\n");
  }
  return true;
}

// `utf8` written to `path` in `table`'s encoding.
bool WriteInEncoding(const CsvFile& table, const std::wstring& path, const std::string& utf8,
                     std::string& error) {
  std::string bytes;
  if (!tkr::ToFileEncoding(table, utf8, bytes, error)) {
    error = "cannot write '" + Utf8(path) + "': " + error +
            ", the destination's encoding, which the exported cells need; save it as UTF-8";
    return false;
  }
  return WriteBytes(path, bytes, error);
}

// A table with no data rows written back as it was read (and the destination too): nothing
// to sort, and nothing lost.
int WriteAsRead(const Options& o, const CsvFile& file, const CsvFile& dest) {
  std::vector<std::uint32_t> all(file.records.size());
  for (std::size_t r = 0; r < all.size(); ++r) all[r] = static_cast<std::uint32_t>(r);
  std::string error;
  bool ok = WriteTable(o.output, file, all, error);
  if (ok && !o.exportTo.empty()) {
    std::vector<std::uint32_t> rows(dest.records.size());
    for (std::size_t r = 0; r < rows.size(); ++r) rows[r] = static_cast<std::uint32_t>(r);
    ok = WriteTable(o.exportOut.empty() ? o.exportTo : o.exportOut, dest, rows, error);
  }
  if (ok && !o.index.empty()) ok = WriteBytes(o.index, "", error);
  if (readerGone) return kReaderGone;
  if (!ok) return Fail(error);
  if (!o.quiet) Say("0 rows: written as read\n");
  return kSorted;
}

// ---- the run --------------------------------------------------------------------------------

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

  std::size_t Records() const { return file.records.size(); }
};

// Says `line` on standard error unless --quiet.
void Report(const Options& o, const std::string& line) {
  if (!o.quiet) Say(line + "\n");
}

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
  std::vector<bool> automatic(columns + 1, false);
  for (const Entry& key : keys) {
    if (CellsOf(key) == KeyCells::Typed) automatic[static_cast<std::size_t>(key.column)] = true;
  }
  for (Entry& key : keys) {
    key.ownTextColumn =
        CellsOf(key) == KeyCells::Text && automatic[static_cast<std::size_t>(key.column)];
  }
  return {};
}

// Whether the outputs may be written: "" or why not. The sorted table may replace the input
// (--output naming it sorts the file in place), but nothing else may, nor may two outputs
// name one file, or an output the --export-to file that is only read.
std::string CheckOutputs(const Options& o, const Job& job) {
  const std::wstring destOut = o.exportOut.empty() ? o.exportTo : o.exportOut;
  // The row numbers or the destination table written over the input would lose the data
  // for good.
  const std::pair<const char*, const std::wstring*> others[] = {
      {"--index", &o.index},
      {o.exportOut.empty() ? "--export-to (written back, as no --export-out is given)"
                           : "--export-out",
       &destOut}};
  for (const auto& [option, path] : others) {
    if (!path->empty() && o.input != L"-" && SameFile(*path, o.input)) {
      return std::string(option) + " '" + Utf8(*path) + "' is the input file '" + job.inputName +
             "': writing there would replace the input; name another file";
    }
  }
  // Whichever of two outputs on one file is written last would replace the other for good.
  const std::pair<const char*, const std::wstring*> written[] = {
      {"--output", &o.output}, others[0], others[1]};
  for (std::size_t a = 0; a < 3; ++a) {
    const auto& [option, path] = written[a];
    if (path->empty()) continue;
    for (std::size_t b = a + 1; b < 3; ++b) {
      if (!written[b].second->empty() && SameFile(*path, *written[b].second)) {
        return std::string(option) + " '" + Utf8(*path) + "' and " + written[b].first + " '" +
               Utf8(*written[b].second) +
               "' name the same file: one would replace the other; name another file";
      }
    }
    if (a < 2 && !o.exportOut.empty() && SameFile(*path, o.exportTo)) {
      return std::string(option) + " '" + Utf8(*path) + "' is the --export-to file '" +
             job.destName + "', which is only read as --export-out is given: writing there " +
             "would replace it; name another file";
    }
  }
  std::string error;
  for (const std::wstring* path : {&o.output, &destOut, &o.index}) {
    if (!CanWrite(*path, error)) return error;
  }
  return {};
}

// The columns of the engine's two tables (see UsedColumns) and their hidden columns: "" or
// why the tables cannot be made.
std::string PlanTables(const Options& o, Job& job) {
  for (const auto* entries : {&job.sortKeys, &job.moveEntries, &job.exportEntries}) {
    for (const Entry& e : *entries) job.used.Add(e.column, e.ownTextColumn);
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

// The engine's source table: the file's rows (data rows shuffled in the stable mode), the
// used columns (typed cells for automatic keys, each field's text for text keys, nothing for
// keys this program compares) and the hidden column with each row's number in the file.
SAFEARRAY* SourceTable(const Options& o, Job& job) {
  const std::size_t records = job.Records();
  const auto headers = static_cast<std::size_t>(o.header);
  const CsvFile& file = job.file;
  const UsedColumns& used = job.used;
  std::vector<std::uint32_t> placed(records);  // array row - 1 -> file row
  for (std::size_t r = 0; r < records; ++r) placed[r] = static_cast<std::uint32_t>(r);
  if (o.stable) {
    std::mt19937 shuffle = UnforeseeableShuffle();
    std::shuffle(placed.begin() + static_cast<std::ptrdiff_t>(headers), placed.end(), shuffle);
  }
  std::vector<KeyCells> held(used.size(), KeyCells::None);  // by the table's column - 1
  job.comparedFields.assign(used.size(), {});
  for (const Entry& key : job.sortKeys) {
    // A key compared by this program shares its column with any other key on it.
    const std::size_t place = used.Place(key.column, key.ownTextColumn) - 1;
    if (CellsOf(key) != KeyCells::None) held[place] = CellsOf(key);
    if (key.mode == tk::kCompareBreakOut) job.comparedFields[place].resize(records);
  }
  progressLine.Phase("reading", records);
  SAFEARRAY* table = EmptyTable(records, job.idColumn);
  // The file is read in its own order and each row's cells written to the row it was drawn
  // for: reading a large file's rows in the drawn order instead costs a cache miss or more on
  // every field, which doubled the time of this loop.
  std::vector<std::uint32_t> drawnRow(records);  // file row -> array row - 1
  for (std::size_t r = 0; r < records; ++r) drawnRow[placed[r]] = static_cast<std::uint32_t>(r);
  auto* cells = static_cast<VARIANT*>(table->pvData);
  constexpr std::size_t kAhead = 16;
  const auto fieldsUsed = static_cast<std::size_t>(used.FileColumn(used.size()));  // the last
  tkr::CsvField text;  // one field at a time, its room kept
  std::vector<FieldSpan> fields;
  for (std::size_t fileRow = 0; fileRow < records; ++fileRow) {
    progressLine.Done(fileRow + 1);
    const std::size_t row = drawnRow[fileRow];
    if (fileRow + kAhead < records) {
      // The drawn rows are scattered over the table: ask for the cells a few rows ahead, so
      // that their cache misses overlap instead of coming one after the other.
      const std::size_t later = drawnRow[fileRow + kAhead];
      for (std::size_t c = 0; c <= used.size(); ++c) {
        __builtin_prefetch(&cells[c * records + later], 1);
      }
    }
    file.FieldsOf(file.records[fileRow], fields, fieldsUsed);
    for (std::size_t c = 0; c < used.size(); ++c) {
      const auto column = static_cast<std::size_t>(used.FileColumn(c + 1) - 1);
      const FieldSpan field = column < fields.size() ? fields[column] : FieldSpan{};
      if (!job.comparedFields[c].empty()) job.comparedFields[c][fileRow] = field;
      if (held[c] == KeyCells::None || row < headers) continue;
      file.TextInto(field, text.text);
      text.quoted = field.quoted;
      VARIANT& cell = cells[c * records + row];
      if (held[c] == KeyCells::Typed) {
        cell = tkr::CellFromField(text, o.typing);
      } else if (!text.text.empty() || (field.quoted && o.typing.quotedText)) {
        // The text as it stands, whatever it reads as; "" is an empty cell unless quoted
        // fields stay text.
        cell = tkr::TextCell(text.text);
      }
      if (cell.vt == VT_BSTR && cell.bstrVal == nullptr) throw std::bad_alloc();
    }
    VARIANT& id = cells[used.size() * records + row];
    id.vt = VT_I4;
    id.lVal = static_cast<LONG>(fileRow + 1);
  }
  return table;
}

// The three command lines in the record, renumbered to the engine's tables, with the hidden
// column as the stable mode's last key and as the export's last entry.
void PutCommandLines(const Options& o, const Job& job, tk::TKCOMM& comm) {
  const std::wstring id = std::to_wstring(job.idColumn);
  auto putText = [](VARIANT& v, const std::wstring& text) {
    if (text.empty()) return;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text.c_str());
    if (v.bstrVal == nullptr) throw std::bad_alloc();
  };
  putText(comm.SortCmd, EngineLine(job.sortKeys, kSortLine, job.used, nullptr) +
                            (o.stable ? L" " + id + L",TK_COMPASCAUTO" : L""));
  if (!o.move.empty()) {
    putText(comm.MoveCmd, EngineLine(job.moveEntries, kMoveLine, job.used, nullptr));
  }
  if (!o.exportTo.empty()) {
    putText(comm.ExportCmd, EngineLine(job.exportEntries, kExportLine, job.used, &job.destUsed) +
                                L" " + id + L"," + std::to_wstring(job.destId) + L",TK_EXPORTAUTO");
  }
}

// The comparison of a key this program compares: its rule on the two rows' fields.
std::int32_t CompareByRule(const Options& o, const Job& job, const tkr::BreakOut& b,
                           const tk::TKCOMM& comm) {
  progressLine.BreakOut();
  const long column = job.used.FileColumn(static_cast<std::size_t>(b.column));
  const auto found = o.rules.find(static_cast<int>(column));
  const tkr::CompareRule rule = found != o.rules.end() ? found->second : tkr::CompareRule{};
  auto field = [&](std::int32_t row) {
    const std::int32_t fileRow =
        tkr::CellAt(comm.Source.Data.parray, row, static_cast<std::int32_t>(job.idColumn)).lVal - 1;
    const auto& fields = job.comparedFields[static_cast<std::size_t>(b.column - 1)];
    const FieldSpan span = fields.empty()
                               ? job.file.Field(job.file.records[static_cast<std::size_t>(fileRow)],
                                                static_cast<std::size_t>(column - 1))
                               : fields[static_cast<std::size_t>(fileRow)];
    return tkr::CsvField{job.file.Text(span), span.quoted && o.typing.quotedText};
  };
  return tkr::CompareByRule(rule, field(b.rowA), field(b.rowB));
}

// Which file row stands where after MOVE, from the hidden column moved with the rows; false
// when a row is not there exactly once.
bool OrderAfterMove(const tk::TKCOMM& comm, const Job& job, std::vector<std::uint32_t>& order) {
  const std::size_t records = job.Records();
  std::vector<bool> seen(records, false);
  order.clear();
  order.reserve(records);
  for (std::size_t row = 0; row < records; ++row) {
    const VARIANT& cell = tkr::CellAt(comm.Source.Data.parray, static_cast<std::int32_t>(row + 1),
                                      static_cast<std::int32_t>(job.idColumn));
    const long fileRow = cell.vt == VT_I4 ? cell.lVal - 1 : -1;
    if (fileRow < 0 || static_cast<std::size_t>(fileRow) >= records ||
        seen[static_cast<std::size_t>(fileRow)]) {
      return false;
    }
    seen[static_cast<std::size_t>(fileRow)] = true;
    order.push_back(static_cast<std::uint32_t>(fileRow));
  }
  return true;
}

// The destination as the export left it, written to `path`: exported rows rebuilt from the
// source rows they came from; every other row, and every column the export map does not
// fill, as it was.
bool WriteDestination(const Job& job, SAFEARRAY* cells, const std::wstring& path,
                      std::string& error) {
  const CsvFile& file = job.file;
  const CsvFile& dest = job.dest;
  std::vector<long> writer(dest.columns, -1);  // destination column -> source column
  std::vector<bool> named(file.columns, false);
  for (const Entry& e : job.exportEntries) {
    const auto source = static_cast<std::size_t>(e.column - 1);
    if (named[source]) continue;  // the first entry of a column counts
    named[source] = true;
    long& w = writer[static_cast<std::size_t>(e.destColumn - 1)];
    w = std::max(w, static_cast<long>(source));  // the higher source column is copied last
  }
  const std::string& sep = dest.separatorBytes;
  std::string out;
  std::vector<FieldSpan> sourceFields, destFields;
  auto fieldOf = [](const std::vector<FieldSpan>& fields, std::size_t c) {
    return c < fields.size() ? fields[c] : FieldSpan{};
  };
  for (std::size_t d = 0; d < dest.records.size(); ++d) {
    const RecordSpan& row = dest.records[d];
    const VARIANT& from =
        tkr::CellAt(cells, static_cast<std::int32_t>(d + 1), static_cast<std::int32_t>(job.destId));
    if (from.vt != VT_I4) {
      out += dest.Raw(row);
    } else {
      file.FieldsOf(file.records[static_cast<std::size_t>(from.lVal - 1)], sourceFields);
      dest.FieldsOf(row, destFields);
      for (std::size_t c = 0; c < dest.columns; ++c) {
        if (c > 0) out += sep;
        out += writer[c] >= 0
                   ? RawField(file, fieldOf(sourceFields, static_cast<std::size_t>(writer[c])))
                   : RawField(dest, fieldOf(destFields, c));
      }
    }
    out += dest.lineEnd;
  }
  return WriteInEncoding(dest, path, out, error);
}

// One engine command with its progress line; false, having said why and what to do, when it
// does not succeed. With `tooDeep` given, a sort that reaches its depth limit (714) says nothing
// and sets it instead.
bool RunCommand(const Options& o, const Job& job, tkr::Caller& caller, tk::TKCOMM& comm,
                const Destination* destRange, const char* what, std::int32_t command,
                bool* tooDeep = nullptr) {
  const std::size_t rows = job.Records() - static_cast<std::size_t>(o.header);
  caller.seen.clear();
  progressLine.Phase(command == tk::kSelect ? "sorting"
                     : command == tk::kMove ? "moving"
                                            : "exporting",
                     rows, command == tk::kSelect);
  const auto t0 = std::chrono::steady_clock::now();
  const std::int32_t code = caller.Run(command, comm);
  if (tooDeep != nullptr && code == tk::ToCode(tk::Status::StackOverflow)) {
    *tooDeep = true;  // the caller hands the rows over again, in an order no layout defeats
    return false;
  }
  char line[160];
  std::snprintf(line, sizeof line, "%-9s %s  (%zu break-outs, %.3f s)", what,
                StatusText(comm).c_str(), caller.seen.size(), Since(t0));
  Report(o, line);
  if (code == tk::ToCode(tk::Status::Success)) return true;
  const bool memory = code == tk::ToCode(tk::Status::NoMemory) ||
                      (destRange != nullptr && destRange->failure == E_OUTOFMEMORY);
  Say("tkrun: " + std::string(what) + " ended with " +
      (memory ? "out of memory" + MemoryAdvice() : StatusText(comm)) + "\n");
  if (code == tk::ToCode(tk::Status::StackOverflow)) {
    Say("tkrun: the sort reached its depth limit on the random order the rows were handed over "
        "in, which happens by rare chance; run it again for another order\n");
  }
  return false;
}

// After MOVE: the sorted table, the destination and the row numbers written; false, having
// said why (`error` set for a file that could not be written), when one is not.
bool WriteOutputs(const Options& o, const Job& job, const tk::TKCOMM& comm, Destination* destRange,
                  std::string& error) {
  const auto t0 = std::chrono::steady_clock::now();
  const auto headers = static_cast<std::size_t>(o.header);
  std::vector<std::uint32_t> order;
  if (!OrderAfterMove(comm, job, order)) {
    Say("tkrun: after MOVE the rows are no longer each there once\n");
    return false;
  }
  // The table written to the console would run into the progress line: no more of it then.
  DWORD console = 0;
  if (o.output.empty() && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &console)) {
    progressLine.Stop();
  }
  progressLine.Phase("writing", order.size() - headers);
  bool ok = WriteTable(o.output, job.file, order, error);
  if (ok && destRange != nullptr) {
    ok = WriteDestination(job, destRange->cells(), o.exportOut.empty() ? o.exportTo : o.exportOut,
                          error);
  }
  if (ok && !o.index.empty()) {
    std::string lines;
    for (std::size_t k = headers; k < order.size(); ++k) {
      lines += std::to_string(order[k] - headers + 1) + "\r\n";
    }
    ok = WriteBytes(o.index, lines, error);
  }
  if (!ok) {
    if (!readerGone) Say("tkrun: " + error + "\n");
    return false;
  }
  char line[160];
  std::snprintf(line, sizeof line, "write     %zu rows  (%.3f s)", order.size() - headers,
                Since(t0));
  Report(o, line);
  return true;
}

int Run(const Options& o) {
  memoryUse.input = o.input;
  Options mode = o;  // --unstable turns stable where the rows' own order is too deep
  const auto started = std::chrono::steady_clock::now();
  progressLine.Start(!o.quiet);
  struct StopProgress {
    ~StopProgress() { progressLine.Stop(); }
  } stopProgress;
  char buffer[160];

  // Everything is read and checked before anything is written.
  Job job;
  job.inputName = o.input == L"-" ? "standard input" : Utf8(o.input);
  std::string error;
  if (!ReadTable(o, o.input, job.file, error)) return Fail(error);
  const CsvFile& file = job.file;
  const std::size_t records = job.Records();
  const auto headers = static_cast<std::size_t>(o.header);
  if (file.ragged) {
    Report(o, "tkrun: some rows of " + job.inputName + " have fewer than " +
                  std::to_string(file.columns) + " fields: their missing cells count as empty");
  }
  if (!o.exportTo.empty()) {
    job.destName = Utf8(o.exportTo);
    if (!ReadTable(o, o.exportTo, job.dest, error)) return Fail(error);
    if (job.dest.records.empty()) return Fail(job.destName + " holds no rows");
  }
  // A file without rows has no columns to check the command lines against.
  if (records == 0) return WriteAsRead(o, file, job.dest);
  memoryUse.records = records;
  error = ReadCommandLines(o, job);
  if (error.empty()) error = CheckOutputs(o, job);
  if (!error.empty()) return Fail(error);
  if (records <= headers) return WriteAsRead(o, file, job.dest);  // a header alone sorts as is

  const tkr::Library dll(o.dll.empty() ? tkr::Library::BesideProgram(tkr::kLibraryName)
                                       : Utf8(o.dll));
  const tkr::TKselectFn tkselect = dll.entry();
  if (tkselect == nullptr) return Fail(LibraryRemedy(dll, !o.dll.empty()));
  error = PlanTables(o, job);
  if (!error.empty()) return Fail(error);

  tk::TKCOMM comm{};
  comm.Source.Data.vt = VT_ARRAY | VT_VARIANT;
  comm.Source.Data.parray = SourceTable(mode, job);
  std::snprintf(buffer, sizeof buffer, "read      %zu rows, %zu columns  (%.3f s)",
                records - headers, file.columns, Since(started));
  Report(o, buffer);
  comm.Source.HeaderLines = o.header;
  comm.IgnoreEmpty = o.ignoreEmpty ? 1 : 0;
  PutCommandLines(mode, job, comm);
  // The destination: its rows, the columns the export fills and a hidden one that receives
  // the number of the source row each exported row came from.
  std::unique_ptr<Destination> destRange;
  if (!o.exportTo.empty()) {
    destRange = std::make_unique<Destination>(EmptyTable(job.dest.records.size(), job.destId));
    tkr::PutRangeObject(comm.Dest.RangeObj, *destRange);
    comm.Dest.HeaderLines = o.destHeader;
  }

  tkr::Caller caller(tkselect);
  caller.compare = [&](const tkr::BreakOut& b, tk::TKCOMM& c) {
    return CompareByRule(o, job, b, c);
  };
  bool tooDeep = false;
  bool ok = RunCommand(mode, job, caller, comm, destRange.get(), "SELECT", tk::kSelect,
                       mode.stable ? nullptr : &tooDeep);
  if (tooDeep) {
    // The rows' own order took the unstable sort to its depth limit (a key with few values, two
    // sorted runs one after the other): they go over again as the default mode hands them, in
    // a random order with their position as the last key, which no layout can defeat.
    Report(o,
           "tkrun: the rows' own order is too deep for --unstable's quick pass; sorting "
           "them in the default, stable order instead");
    mode.stable = true;
    SafeArrayDestroy(comm.Source.Data.parray);
    comm.Source.Data.parray = SourceTable(mode, job);
    for (VARIANT* line : {&comm.SortCmd, &comm.MoveCmd, &comm.ExportCmd}) VariantClear(line);
    PutCommandLines(mode, job, comm);
    ok = RunCommand(mode, job, caller, comm, destRange.get(), "SELECT", tk::kSelect);
  }
  if (ok && destRange) {
    ok = RunCommand(o, job, caller, comm, destRange.get(), "EXPORT", tk::kExport);
  }
  if (ok) ok = RunCommand(o, job, caller, comm, destRange.get(), "MOVE", tk::kMove);
  if (ok) ok = WriteOutputs(o, job, comm, destRange.get(), error);

  std::int32_t reset = tk::kReset;  // frees the selection before the tables go
  tkselect(&reset, &comm);
  // The source table goes with the process, which ends now: freeing its strings one by one
  // took a tenth of a large run. Everything else is released as usual.
  VariantInit(&comm.Source.Data);
  tkr::ReleaseRecord(comm);
  if (readerGone) return kReaderGone;
  if (!ok) return error.empty() ? kRefused : kBadInput;
  std::snprintf(buffer, sizeof buffer, "%zu rows in %.3f s", records - headers, Since(started));
  Report(o, buffer);
  return kSorted;
}

int OutOfMemory() {
  std::fprintf(stderr, "tkrun: out of memory%s\n", MemoryAdvice().c_str());
  return kRefused;
}

}  // namespace

int main() {
  // The command line as the system holds it, so that file names outside the code page work.
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args(argv, argv + argc);
  LocalFree(argv);
  // The table goes to standard output as bytes: no line end is rewritten on the way.
  _setmode(_fileno(stdout), _O_BINARY);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  // A run that ends in a fault or an exception no one catches takes its temporary files too.
  std::set_terminate([] {
    partFiles.RemoveAll();
    std::abort();
  });
  SetUnhandledExceptionFilter(OnFault);
  int status = kSorted;
  try {
    Options o;
    const int parsed = ParseOptions(args, o);
    status = parsed != 0 ? (parsed < 0 ? kSorted : parsed) : Run(o);
  } catch (const std::bad_alloc&) {
    status = OutOfMemory();
  } catch (const std::length_error&) {  // a table longer than a string or vector can be here
    status = OutOfMemory();
  }
  partFiles.RemoveAll();  // none is left on any way out
  return status;
}

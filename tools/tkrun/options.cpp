// The usage text and the reading of the command line into Options (see options.h).
#include "tkrun/options.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <iterator>
#include <utility>

#include "protocol/version.h"
#include "tkrun/locale.h"
#include "tkrun/progress.h"

namespace tkrun {
namespace {

constexpr char kUsage[] = R"(usage: tkrun [options] -k COLUMN[:desc][:ORDER] [-k ...] INPUT.csv
       tkrun [options] --sort "COMMAND" INPUT.csv

Sorts the rows of INPUT.csv (- for standard input) through tkselect.dll (tkrun64:
tkselect64.dll) and writes them, each exactly as it was in the file, in sorted order as CSV.
Each row keeps its own line end (CRLF, LF or CR); the table ends with a line end only when
the file did, and a row that had none (the file's last) takes the file's first line end
where others now follow it. A file with a header and no data rows, or with no rows at all,
is written back as it is.

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
                           :ordinal   each field's text by its characters' code points, no
                                      collation: "B" before "a", "Z9" before "a-1"; for
                                      codes and identifiers, and quick
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
  --output FILE.csv, -o FILE.csv
                         write the sorted table here (default, or -: standard output)
  --output-encoding E    write the sorted table in E (names as --encoding) instead of the
                         input's encoding: UTF-16 with its byte-order mark, UTF-8 with one
                         when the input had one; refused, before anything is written, when a
                         line has no form in E (the destination keeps its own)
  -r, --reverse          every key the other way round: ascending keys descending and the
                         other way; empty cells stay last and equal rows in file order
  -u, --unique           of each run of rows whose keys are equal (as the sort compares
                         them: "apple" and "Apple" are equal in the automatic order), only
                         the first in file order is written. The rows are sorted twice
  -c, --check            write nothing: exit 0 when the rows are in order already, else exit
                         1 naming the first line out of order (the rows are sorted to tell)
  --head N               write the header and the first N sorted rows only. The engine sorts
                         every row all the same: this saves writing, not sorting
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
  --separator C, -t C    the field separator: one character (; or |), tab or \t. Without it,
                         the one of , ; tab | that most of the first 100 lines hold equally
                         often (comment and skipped lines left out; a comma when none holds
                         any), named on standard error when it is not a comma
  --comment C            a line of INPUT.csv whose first character is C (such as #) is a
                         comment, not a row: comment lines are written at the top, before the
                         header, in their order, wherever they stood, quotes and all
  --skip N               the first N lines of INPUT.csv (a title, notes) are no rows: they
                         are written at the top as they are, and the header follows them
  --encoding E           the files' encoding: utf-8 (default), utf-16le, utf-16be, cp1252 or
                         another Windows code page (cp1250, 1251, 932, ...). A byte-order
                         mark decides over it: UTF-8, UTF-16 LE or BE. Files are written back
                         in their encoding, with their mark; a code page file is read only
                         when all its bytes convert back to themselves
  --decimal ,            numbers have a decimal comma (3,5 and 1.234,5); "4.10" is text then
  --quoted-text          a quoted field is text, whatever it holds, and "" the empty text
  --locale NAME          read and order the file as the Windows locale NAME does (en-US,
                         de-DE, fr-FR, ...), whatever the system's settings: its decimal
                         mark, thousands mark and currency symbol in numbers, its order of
                         day and month in dates, its order of text. Without it: the system's
                         locale, with a decimal point unless --decimal ,
  --date-order ORDER     short dates as DMY (14/03/2026), MDY (3/14/2026) or YMD
                         (2026/03/14), whatever the locale's order
  --na WORDS             words that stand for a missing value, separated by commas (--na
                         NA,N/A,null): such a cell sorts as an empty one, its text kept
  --dll PATH             the library to use (default: tkselect.dll beside tkrun.exe,
                         tkselect64.dll beside tkrun64.exe)
  --verbose, -v          say each stage on standard error: the rows read, the keys, the
                         rows sorted and written, with their times
  --quiet                say nothing but errors: no notices (the separator found, rows of
                         other lengths) and, on a console, no line showing a run of more than
                         two seconds at work
  --version              the version of tkrun
  --help                 this text

Cells keep their text exactly; the type a field reads as is used only to compare it, quoted
or not ("10" is the number 10, as a spreadsheet reads it; --quoted-text keeps it text):
empty (an empty field, and ""), TRUE/FALSE in any case, dates, times of day (12:30), whole
numbers, decimal numbers, also as a spreadsheet shows them ($1,234.50, 5% as 0.05, (20.00)
as -20, blanks around them); every other field is text (docs/runner.md has the rules). Dates are YYYY-MM-DD (optionally Thh:mm[:ss]) and the
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
  tkrun -k Department -u staff.csv
  tkrun -k Salary:desc --head 3 -o top_salaries.csv staff.csv
  tkrun --sort "1,TK_COMPASCAUTO 3,TK_COMPDESAUTO" staff.csv
  tkrun --sort "1,TK_COMPASCNATURAL" --output sorted.csv files.csv
  tkrun --sort "2,TK_COMPDESAUTO" --decimal , --output sorted.csv prices.csv
  tkrun --sort "1,TK_COMPASCAUTO" --export "2,1,TK_EXPORTAUTO 4,2,TK_EXPORTAUTO" \
        --export-to summary.csv --export-out summary_sorted.csv staff.csv

Exit status: 0 sorted (--check: in order), 1 the engine refused (its status text says why),
memory ran out, or (--check) a row out of order,
2 bad options or input, a library that cannot be used, or a file that cannot be read or
written (a full disk included: the input and every output stay as they were), 3 standard
output closed by its reader before the table was written (as with | head; nothing said).
)";

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
    o.decimalGiven = true;
  } else {
    static const std::pair<const wchar_t*, tkr::CodePage> kNames[] = {
        {L"utf-8", tkr::kUtf8},       {L"utf8", tkr::kUtf8},        {L"utf-16", tkr::kUtf16Le},
        {L"utf-16le", tkr::kUtf16Le}, {L"utf-16be", tkr::kUtf16Be}, {L"cp1252", 1252},
        {L"windows-1252", 1252}};
    tkr::CodePage& encoding = arg == L"--output-encoding" ? o.outputEncoding : o.encoding;
    std::wstring number = lower;
    for (const wchar_t* prefix : {L"windows-", L"cp"}) {
      if (number.rfind(prefix, 0) == 0) number.erase(0, std::wcslen(prefix));
    }
    int page = 0;
    const auto named = std::find_if(std::begin(kNames), std::end(kNames),
                                    [&](const auto& n) { return lower == n.first; });
    if (named != std::end(kNames)) {
      encoding = named->second;
    } else if (ParseCount(number, page) && page > 0) {
      encoding = static_cast<tkr::CodePage>(page);
    } else {
      return Utf8(arg) + " takes utf-8, utf-16le, utf-16be, cp1252 or a Windows code page number " +
             "(cp1250, 1251, 932, ...), not '" + Utf8(v) + "'";
    }
    const std::string unusable = tkr::UnusableCodePage(encoding);
    if (!unusable.empty()) return Utf8(arg) + " " + Utf8(v) + ": " + unusable;
  }
  return {};
}

}  // namespace

int Fail(const std::string& message) {
  Say("tkrun: " + message + "\n");
  return kBadInput;
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
    } else if (arg == L"-o" && value(o.output)) {
    } else if (arg == L"-t" && value(v)) {
      const std::string wrong = ParseFileOption(L"--separator", v, o);
      if (!wrong.empty()) return Fail("-t" + wrong.substr(wrong.find(' ')));
    } else if (arg == L"--output-encoding" && value(v)) {
      const std::string wrong = ParseFileOption(arg, v, o);
      if (!wrong.empty()) return Fail(wrong);
    } else if (arg == L"-r" || arg == L"--reverse") {
      o.reverse = true;
    } else if (arg == L"-u" || arg == L"--unique") {
      o.unique = true;
    } else if (arg == L"-c" || arg == L"--check") {
      o.check = true;
    } else if (arg == L"--head" && value(v)) {
      int n = 0;
      if (!ParseCount(v, n)) return Fail("--head takes a number of rows, not '" + Utf8(v) + "'");
      o.head = n;
    } else if (arg == L"--comment" && value(v)) {
      if (v.size() != 1 || v[0] <= L' ' || v[0] >= 0x7F || v[0] == L'"') {
        return Fail("--comment takes one character that starts a comment line, such as #, not '" +
                    Utf8(v) + "'");
      }
      o.kept.comment = static_cast<char>(v[0]);
    } else if (arg == L"--skip" && value(v)) {
      int n = 0;
      if (!ParseCount(v, n)) return Fail("--skip takes a number of lines, not '" + Utf8(v) + "'");
      o.kept.skip = static_cast<std::size_t>(n);
    } else if (arg == L"--quoted-text") {
      o.typing.quotedText = true;
    } else if (arg == L"--ignore-empty") {
      o.ignoreEmpty = true;
    } else if (arg == L"--unstable") {
      o.stable = false;
    } else if (arg == L"--quiet") {
      o.quiet = true;
    } else if (arg == L"--verbose" || arg == L"-v") {
      o.verbose = true;
    } else if (arg == L"--locale" && value(o.locale)) {
      if (o.locale.empty()) return Fail("--locale takes a locale name such as en-US, not ''");
    } else if (arg == L"--date-order" && value(v)) {
      static const std::pair<const wchar_t*, tkr::DateOrder> kOrders[] = {
          {L"DMY", tkr::DateOrder::DayMonthYear},
          {L"MDY", tkr::DateOrder::MonthDayYear},
          {L"YMD", tkr::DateOrder::YearMonthDay}};
      const auto order = std::find_if(std::begin(kOrders), std::end(kOrders), [&](const auto& k) {
        return CompareStringOrdinal(v.c_str(), -1, k.first, -1, TRUE) == CSTR_EQUAL;
      });
      if (order == std::end(kOrders)) {
        return Fail("--date-order takes DMY, MDY or YMD, not '" + Utf8(v) + "'");
      }
      o.typing.dates = order->second;
      o.datesGiven = true;
    } else if (arg == L"--na" && value(v)) {
      // Words between commas, blanks around them dropped; an empty word names nothing.
      for (std::size_t begin = 0, comma = 0; comma != std::wstring::npos; begin = comma + 1) {
        comma = v.find(L',', begin);
        std::wstring word = v.substr(begin, comma == std::wstring::npos ? comma : comma - begin);
        word.erase(0, word.find_first_not_of(L" \t"));
        word.erase(word.find_last_not_of(L" \t") + 1);
        if (!word.empty()) o.typing.missing.push_back(word);
      }
      if (o.typing.missing.empty()) {
        return Fail("--na takes words separated by commas, such as NA,N/A,null, not '" + Utf8(v) +
                    "'");
      }
    } else if (arg.size() > 1 && arg[0] == L'-') {
      return Fail("unknown option or missing value: " + Utf8(arg) + " (see tkrun --help)");
    } else if (o.input.empty()) {
      o.input = arg;
    } else {
      return Fail("one input file only; also got '" + Utf8(arg) + "'");
    }
  }
  if (o.input.empty()) return Fail("no input file (see tkrun --help)");
  if (const std::string locale = SettleLocale(o); !locale.empty()) return Fail(locale);
  if (const std::string keys = CheckKeyOptions(o); !keys.empty()) return Fail(keys);
  if (!o.exportCmd.empty() && o.exportTo.empty()) return Fail("--export needs --export-to FILE");
  if (o.exportCmd.empty() && !o.exportTo.empty()) return Fail("--export-to needs --export");
  if ((o.unique || o.head >= 0) && !o.exportCmd.empty()) {
    return Fail(std::string(o.unique ? "--unique" : "--head") +
                " writes some of the sorted rows, and --export fills the destination from all "
                "of them: run them one at a time");
  }
  if (o.destHeader < 0) o.destHeader = o.header;
  if (o.output == L"-") o.output.clear();  // standard output, as without --output
  return 0;
}

// Says "tkrun: `line`" on standard error with --verbose.
void Report(const Options& o, const std::string& line) {
  if (o.verbose) Say("tkrun: " + line + "\n");
}

// Says "tkrun: `line`" on standard error unless --quiet.
void Notice(const Options& o, const std::string& line) {
  if (!o.quiet) Say("tkrun: " + line + "\n");
}

}  // namespace tkrun

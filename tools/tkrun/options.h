// tkrun's options: what its command line asks for (Options), read by ParseOptions, and the
// exit statuses the run ends with. The usage text (tkrun --help) stands beside the reading in
// options.cpp, so that an option and its description change together.
//
// Fail, Notice and Report are how the run speaks under its options. A run that works says
// nothing, as a filter does: Fail names a bad option or input and gives its exit status
// (always said), Notice says what the run had to guess or what the user should know about the
// data (a separator found, rows of other lengths; --quiet silences it), Report says a stage of
// the work in a CSV user's words (rows read, keys, sorted, written) with --verbose only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/compare_rules.h"
#include "common/csv.h"

namespace tkrun {

// The exit statuses, as tkrun --help states them.
constexpr int kSorted = 0;
constexpr int kRefused = 1;
constexpr int kBadInput = 2;
constexpr int kReaderGone = 3;  // standard output closed by its reader: nothing said

// "tkrun: `message`" on standard error; returns kBadInput.
int Fail(const std::string& message);

struct Options {
  std::wstring input, output, exportTo, exportOut, dll, index;
  std::wstring sort, move, exportCmd;
  std::vector<std::wstring> keys;  // -k, in order
  int header = 1, destHeader = -1;
  std::map<int, tkr::CompareRule> rules;
  std::map<int, std::wstring> ruleTexts;  // as given, for messages
  bool ignoreEmpty = false, stable = true, quiet = false, verbose = false;
  wchar_t separator = 0;  // 0: the one the first lines hold
  tkr::LinesKept kept;    // --skip and --comment: lines of INPUT.csv written first, unsorted
  tkr::CodePage encoding = tkr::kUtf8;
  tkr::CellTyping typing;
  // The conveniences of a sort tool: every key reversed (-r), the first row of each run of
  // equal keys alone (-u), whether the file is in order (--check, writing nothing), the
  // first N rows (--head; -1: all), the sorted table's encoding (0: the input's).
  bool reverse = false, unique = false, check = false;
  long head = -1;
  tkr::CodePage outputEncoding = 0;
  // --locale and --date-order as given, and what SettleLocale (locale.h) made of them with
  // --decimal: the locale that rules (empty: the system's), and whether this program ranks
  // the key columns' texts itself, the chosen locale not being the one the library follows.
  std::wstring locale, localeName;
  bool datesGiven = false, decimalGiven = false, rankTexts = false;
};

// Reads the command line's words (`args[0]` is the program) into `o`. Returns -1 when done
// (help, version), 0 when the options are usable, else an exit status, the fault named.
int ParseOptions(const std::vector<std::wstring>& args, Options& o);

// Says "tkrun: `line`" on standard error with --verbose.
void Report(const Options& o, const std::string& line);

// Says "tkrun: `line`" on standard error unless --quiet.
void Notice(const Options& o, const std::string& line);

}  // namespace tkrun

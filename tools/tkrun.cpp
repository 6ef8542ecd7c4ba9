// tkrun: sorts a CSV table through tkselect.dll, the way a macro drives it.
//
// Reads the table (RFC 4180, UTF-8) into a Range object, runs SELECT with the given sort,
// move and export command lines, answering compare break-outs with built-in rules chosen
// per column, then EXPORT into a second CSV's Range, SORTINDEX, and MOVE, and writes the
// sorted table as CSV. Every call's status text and the time taken go to standard error.
//
// Stable by default: the engine gets one hidden column more, each data row's position, as
// its last automatic key, so rows that tie on every key keep their order and keys with few
// distinct values do not run into the sort's depth limit. --unstable leaves it out.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/caller.h"
#include "common/compare_rules.h"
#include "common/csv.h"
#include "common/library.h"
#include "common/range_object.h"
#include "protocol/codes.h"
#include "protocol/status.h"

namespace {

constexpr char kUsage[] = R"(usage: tkrun [options] --sort "COMMAND" INPUT.csv

Sorts the rows of INPUT.csv through tkselect.dll and writes the sorted table as CSV.

Options:
  --sort "COMMAND"       the sort command line (required): entries COLUMN,KEYWORD separated
                         by blanks; KEYWORD is TK_COMPASCAUTO (ascending), TK_COMPDESAUTO
                         (descending) or TK_COMPBRKO (compared by this program, see --compare).
                         Columns count from 1.
  --move "COMMAND"       the move command line: COLUMN,TK_MOVEAUTO or COLUMN,TK_MOVEBRKO
                         (moved by this program); default: derived from the sort keys
  --export "COMMAND"     the export command line: SOURCE,DEST,TK_EXPORTAUTO or
                         SOURCE,DEST,TK_EXPORTBRKO; needs --export-to
  --export-to FILE.csv   the destination table: read, filled in sorted order, written back
  --export-out FILE.csv  write the destination here instead of back to --export-to
  --output FILE.csv      write the sorted table here (default: standard output)
  --header N             header rows of INPUT.csv (default 1)
  --dest-header N        header rows of the destination (default: as --header)
  --compare COL=RULE     how this program compares column COL for TK_COMPBRKO keys:
                         natural (default; "file9" before "file10", case-insensitive),
                         length (shorter first) or exact (case-sensitive), each optionally
                         with :desc. Empty cells always come last. May be repeated.
  --ignore-empty         empty cells tie with every cell on automatic keys (default: last)
  --unstable             the engine's plain order: no hidden position key, so rows that tie
                         on every key may change places
  --index                print the sorted order as row numbers (SORTINDEX)
  --separator C          field separator (default ,)
  --dll PATH             tkselect.dll to use (default: the one beside tkrun.exe)
  --quiet                no status lines
  --help                 this text

Cell types: empty, TRUE/FALSE, YYYY-MM-DD dates (optionally Thh:mm[:ss]), whole numbers,
decimal numbers; everything else, and every quoted field, is text. Text comparisons in
automatic keys ignore case.

Examples:
  tkrun --sort "1,TK_COMPASCAUTO 3,TK_COMPDESAUTO" staff.csv
  tkrun --sort "2,TK_COMPBRKO" --compare 2=natural --output sorted.csv files.csv
  tkrun --sort "1,TK_COMPASCAUTO" --export "2,1,TK_EXPORTAUTO 4,2,TK_EXPORTAUTO" \
        --export-to summary.csv staff.csv

Exit status: 0 sorted, 1 the engine refused (its status text says why), 2 bad options or
an unreadable file.
)";

struct Options {
  std::string input, output, exportTo, exportOut, dll;
  std::wstring sort, move, exportCmd;
  int header = 1, destHeader = -1;
  std::map<int, tkr::CompareRule> rules;
  bool ignoreEmpty = false, stable = true, index = false, quiet = false;
  wchar_t separator = L',';
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "tkrun: %s\n", message.c_str());
  return 2;
}

bool ParseInt(const char* text, int& value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0 || v > 1000000) return false;
  value = static_cast<int>(v);
  return true;
}

// Returns 0 when the options are usable, else an exit status (and prints why).
int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (arg == "--sort" && value(v)) {
      o.sort = tkr::FromUtf8(v);
    } else if (arg == "--move" && value(v)) {
      o.move = tkr::FromUtf8(v);
    } else if (arg == "--export" && value(v)) {
      o.exportCmd = tkr::FromUtf8(v);
    } else if (arg == "--export-to" && value(o.exportTo)) {
    } else if (arg == "--export-out" && value(o.exportOut)) {
    } else if (arg == "--output" && value(o.output)) {
    } else if (arg == "--dll" && value(o.dll)) {
    } else if ((arg == "--header" || arg == "--dest-header") && value(v)) {
      int n = 0;
      if (!ParseInt(v.c_str(), n)) return Fail(arg + " takes a number of rows, not '" + v + "'");
      (arg == "--header" ? o.header : o.destHeader) = n;
    } else if (arg == "--compare" && value(v)) {
      const std::size_t eq = v.find('=');
      int column = 0;
      tkr::CompareRule rule;
      if (eq == std::string::npos || !ParseInt(v.substr(0, eq).c_str(), column) ||
          !tkr::ParseRule(v.substr(eq + 1), rule)) {
        return Fail(
            "--compare takes COLUMN=RULE with RULE natural, length or exact "
            "(optionally :desc), not '" +
            v + "'");
      }
      o.rules[column] = rule;
    } else if (arg == "--separator" && value(v)) {
      const std::wstring w = tkr::FromUtf8(v);
      if (w.size() != 1 || w[0] == L'"' || w[0] == L'\n' || w[0] == L'\r') {
        return Fail("--separator takes one character other than a quote or a line break");
      }
      o.separator = w[0];
    } else if (arg == "--ignore-empty") {
      o.ignoreEmpty = true;
    } else if (arg == "--unstable") {
      o.stable = false;
    } else if (arg == "--index") {
      o.index = true;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return Fail("unknown option or missing value: " + arg + " (see tkrun --help)");
    } else if (o.input.empty()) {
      o.input = arg;
    } else {
      return Fail("one input file only; also got '" + arg + "'");
    }
  }
  if (o.input.empty()) return Fail("no input file (see tkrun --help)");
  if (o.sort.empty()) return Fail("no --sort command line (see tkrun --help)");
  if (!o.exportCmd.empty() && o.exportTo.empty()) return Fail("--export needs --export-to FILE");
  if (o.destHeader < 0) o.destHeader = o.header;
  return 0;
}

bool ReadTable(const std::string& path, wchar_t separator, tkr::CsvRows& rows, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read '" + path + "'";
    return false;
  }
  std::stringstream bytes;
  bytes << file.rdbuf();
  if (!tkr::ParseCsv(bytes.str(), separator, rows, error)) {
    error = path + " " + error;
    return false;
  }
  if (rows.empty()) {
    error = path + " holds no rows";
    return false;
  }
  return true;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  if (path.empty()) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    return true;
  }
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

// The table's first `columns` columns as CSV (the hidden position column stays out).
std::string Csv(SAFEARRAY* table, ULONG columns, wchar_t separator) {
  SAFEARRAY* shown = nullptr;
  if (FAILED(SafeArrayCopy(table, &shown))) return {};
  SAFEARRAYBOUND bound = {columns, 1};
  SafeArrayRedim(shown, &bound);  // the last dimension (columns) may change in place
  std::string out = tkr::CsvFromTable(shown, separator);
  SafeArrayDestroy(shown);
  return out;
}

std::string StatusText(const tk::TKCOMM& comm) {
  return comm.Status.vt == VT_BSTR && comm.Status.bstrVal != nullptr
             ? tkr::ToUtf8(comm.Status.bstrVal)
             : std::string("(no status text)");
}

const char* Hint(std::int32_t code) {
  switch (static_cast<tk::Status>(code)) {
    case tk::Status::BadCommandLine:
      return "check the command lines: entries COLUMN,KEYWORD separated by blanks, "
             "columns inside the table, keywords of that line";
    case tk::Status::BadBounds:
      return "check --header: the table needs at least one row below its header";
    case tk::Status::StackOverflow:
      return "keys with few distinct values: leave out --unstable, or add a key";
    case tk::Status::BadCell: return "a key column holds a null cell";
    default: return nullptr;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int bad = ParseOptions(argc, argv, o); bad != 0) return bad < 0 ? 0 : bad;
  const auto started = std::chrono::steady_clock::now();

  const tkr::Library dll(o.dll.empty() ? tkr::Library::BesideProgram("tkselect.dll") : o.dll);
  const tkr::TKselectFn tkselect = dll.entry();
  if (tkselect == nullptr) return Fail("cannot load TKselect from '" + dll.path() + "'");

  tkr::CsvRows rows;
  std::string error;
  if (!ReadTable(o.input, o.separator, rows, error)) return Fail(error);
  std::size_t columns = 0;
  for (const auto& row : rows) columns = row.size() > columns ? row.size() : columns;
  if (static_cast<std::size_t>(o.header) >= rows.size()) {
    return Fail(o.input + " has " + std::to_string(rows.size()) + " rows: no data below " +
                std::to_string(o.header) + " header rows");
  }
  // The hidden position key: column columns + 1, data rows numbered from 1.
  std::wstring sortCmd = o.sort;
  if (o.stable) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      rows[r].resize(columns);
      const bool data = r >= static_cast<std::size_t>(o.header);
      rows[r].push_back(tkr::CsvField{
          data ? std::to_wstring(r + 1 - static_cast<std::size_t>(o.header)) : L"", false});
    }
    sortCmd += L" " + std::to_wstring(columns + 1) + L",TK_COMPASCAUTO";
  }

  int exitCode = 0;
  {
    tkr::RangeObject source(tkr::TableFromCsv(rows));
    std::unique_ptr<tkr::RangeObject> dest;
    tk::TKCOMM comm{};
    tkr::PutRangeObject(comm.Source.RangeObj, source);
    comm.Source.HeaderLines = o.header;
    comm.IgnoreEmpty = o.ignoreEmpty ? 1 : 0;
    auto putText = [](VARIANT& v, const std::wstring& text) {
      if (text.empty()) return;
      v.vt = VT_BSTR;
      v.bstrVal = SysAllocString(text.c_str());
    };
    putText(comm.SortCmd, sortCmd);
    putText(comm.MoveCmd, o.move);
    putText(comm.ExportCmd, o.exportCmd);
    if (!o.exportTo.empty()) {
      tkr::CsvRows destRows;
      if (!ReadTable(o.exportTo, o.separator, destRows, error)) return Fail(error);
      dest = std::make_unique<tkr::RangeObject>(tkr::TableFromCsv(destRows));
      tkr::PutRangeObject(comm.Dest.RangeObj, *dest);
      comm.Dest.HeaderLines = o.destHeader;
    }

    tkr::Caller caller(tkselect);
    caller.compare = [&](const tkr::BreakOut& b, tk::TKCOMM& c) {
      const auto found = o.rules.find(b.column);
      const tkr::CompareRule rule = found != o.rules.end() ? found->second : tkr::CompareRule{};
      SAFEARRAY* table = c.Source.Data.parray;
      return tkr::CompareByRule(rule, tkr::CellAt(table, b.rowA, b.column),
                                tkr::CellAt(table, b.rowB, b.column));
    };
    auto run = [&](const char* what, std::int32_t command) {
      caller.seen.clear();
      const auto t0 = std::chrono::steady_clock::now();
      const std::int32_t code = caller.Run(command, comm);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (!o.quiet) {
        std::fprintf(stderr, "%-9s %s  (%zu break-outs, %.3f s)\n", what, StatusText(comm).c_str(),
                     caller.seen.size(), seconds);
      }
      const bool ok = code == tk::ToCode(tk::Status::Success);
      if (!ok) {
        std::fprintf(stderr, "tkrun: %s ended with %s\n", what, StatusText(comm).c_str());
        if (const char* hint = Hint(code)) std::fprintf(stderr, "tkrun: %s\n", hint);
      }
      return ok;
    };

    bool ok = run("SELECT", tk::kSelect);
    if (ok && dest) {
      ok = run("EXPORT", tk::kExport);
      if (ok && !WriteFile(o.exportOut.empty() ? o.exportTo : o.exportOut,
                           tkr::CsvFromTable(dest->cells(), o.separator))) {
        ok = false;
        std::fprintf(stderr, "tkrun: cannot write the destination table\n");
      }
    }
    if (ok && o.index) {
      ok = run("SORTINDEX", tk::kSortIndex);
      if (ok && comm.SortIndex != nullptr) {
        std::string line = "SortIndex";
        const auto* order = static_cast<const std::int32_t*>(comm.SortIndex->pvData);
        const ULONG count = comm.SortIndex->rgsabound[0].cElements;
        constexpr ULONG kShown = 30;  // enough to see the order without flooding a terminal
        for (ULONG i = 0; i < count && i < kShown; ++i) line += " " + std::to_string(order[i]);
        if (count > kShown) line += " ... (" + std::to_string(count) + " rows)";
        std::fprintf(stderr, "%s\n", line.c_str());
      }
    }
    if (ok) ok = run("MOVE", tk::kMove);
    if (ok && !WriteFile(o.output, Csv(source.cells(), static_cast<ULONG>(columns), o.separator))) {
      ok = false;
      std::fprintf(stderr, "tkrun: cannot write '%s'\n", o.output.c_str());
    }
    exitCode = ok ? 0 : 1;

    std::int32_t reset = tk::kReset;  // frees the selection before the tables go
    tkselect(&reset, &comm);
    tkr::ReleaseRecord(comm);
  }
  if (!o.quiet) {
    const double total =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "%zu rows in %.3f s\n", rows.size() - static_cast<std::size_t>(o.header),
                 total);
  }
  return exitCode;
}

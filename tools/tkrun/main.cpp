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
// The program in files by job: options.h (options, usage, exit statuses), command_lines.h
// (--sort, --move and --export read with the engine's parser), keys.h (-k and the key
// columns of a run), tables.h (planning and filling the engine's tables), outputs.h (writing
// through a temporary file, the same-file checks), progress.h (the progress line, what is
// said past it, the out-of-memory advice), locale.h (the locale a run reads and orders by),
// ranks.h (key columns' texts ranked here: :ordinal, a chosen locale's collation); this file
// reads the tables, runs the engine's commands and is main.
//
// Exit status: 0 sorted, 1 the engine refused or memory ran out, 2 bad options or input, 3 the
// reader of standard output closed it before the table was written (said nowhere).
#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/caller.h"
#include "common/cells.h"
#include "common/compare_rules.h"
#include "common/file_bytes.h"
#include "common/library.h"
#include "common/range_object.h"
#include "protocol/codes.h"
#include "protocol/status.h"
#include "tkrun/keys.h"
#include "tkrun/locale.h"
#include "tkrun/options.h"
#include "tkrun/outputs.h"
#include "tkrun/progress.h"
#include "tkrun/tables.h"

// After the Windows headers (common/, platform/ole.h), on which it builds.
#include <shellapi.h>

// The runner's own names: this file is its top.
using namespace tkrun;

namespace {

std::string StatusText(const tk::TKCOMM& comm) {
  return comm.Status.vt == VT_BSTR && comm.Status.bstrVal != nullptr
             ? tkr::ToUtf8(comm.Status.bstrVal)
             : std::string("(no status text)");
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
    tkr::CsvField text{job.file.Text(span), span.quoted && o.typing.quotedText};
    // A missing-value word of --na is an empty cell here too.
    return tkr::IsMissing(tkr::CsvField{text.text, span.quoted}, o.typing) ? tkr::CsvField{} : text;
  };
  return tkr::CompareByRule(rule, field(b.rowA), field(b.rowB));
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
  Report(o, LocaleRuling(o));
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

// Writing the outputs: the sorted table, the destination and the row numbers. Every file is
// written through a temporary file beside it that then takes its place, so that a failed
// write never leaves half a table behind; before any work, CheckOutputs refuses outputs that
// would replace the input or one another, and makes sure each can be written.
#pragma once

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

#include "protocol/record.h"
#include "tkrun/options.h"
#include "tkrun/tables.h"

namespace tkrun {

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
// The temporary files of this run.
extern PartFiles partFiles;

// The console's end of the run (Ctrl-C, Ctrl-Break, the window closed, logoff, shutdown) and a
// fault no one handles: the temporary files go, then the system ends the process as usual.
BOOL WINAPI OnConsoleEvent(DWORD);
LONG WINAPI OnFault(EXCEPTION_POINTERS*);

// Set when the reader of standard output closed it (`tkrun ... | head`): the run ends
// quietly, as a filter does.
extern bool readerGone;

// A table with no data rows written back as it was read (and the destination too); the exit
// status.
int WriteAsRead(const Options& o, const CsvFile& file, const CsvFile& dest);

// Whether the outputs may be written: "" or why not.
std::string CheckOutputs(const Options& o, const Job& job);

// Which file row stands where after MOVE, from the hidden column moved with the rows; false
// when a row is not there exactly once.
bool OrderAfterMove(const tk::TKCOMM& comm, const Job& job, std::vector<std::uint32_t>& order);

// Which file row stands where after SORTINDEX: the `headers` first rows as they were, then the
// hidden column's file row of each array row the index names; false when a row is not there
// exactly once.
bool OrderFromIndex(const tk::TKCOMM& comm, const Job& job, std::size_t headers,
                    std::vector<std::uint32_t>& order);

// Why the sorted table cannot be written in --output-encoding (the line that has no form
// there), or "".
std::string OutputEncodingProblem(const Options& o, const Job& job);

// After MOVE: the sorted table's rows in `order` (the header's first), the destination and
// the row numbers written; false, having said why (`error` set for a file that could not be
// written), when one is not.
bool WriteOutputs(const Options& o, const Job& job, const std::vector<std::uint32_t>& order,
                  Destination* destRange, std::string& error);

}  // namespace tkrun

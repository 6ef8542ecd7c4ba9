#include "common/file_bytes.h"

#include <algorithm>
#include <cstdio>

#include "common/csv.h"
#include "platform/ole.h"

namespace tkr {
namespace {

std::string Gigabytes(std::uint64_t size) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(size) / 1e9);
  return text;
}

}  // namespace

std::string TooLargeToHold(std::uint64_t size) {
  if (size > kLargestCsv) {
    return "it is " + Gigabytes(size) + ": files of more than " + Gigabytes(kLargestCsv) +
           " are not read (rows are kept as 32-bit offsets into the file)";
  }
  const std::uint64_t largest = std::string().max_size();
  if (size > largest) {
    return "it is " + Gigabytes(size) + ", more than this 32-bit program can hold (" +
           Gigabytes(largest) + "); use tkrun64.exe on 64-bit Windows";
  }
  return {};
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes, std::string& error,
                   std::size_t chunk) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = LastErrorText();
    return false;
  }
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) != FALSE;
  if (!ok) error = LastErrorText();
  if (ok) {
    error = TooLargeToHold(static_cast<std::uint64_t>(size.QuadPart));
    ok = error.empty();
  }
  std::size_t done = 0;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    chunk = std::clamp<std::size_t>(chunk, 1, kIoChunk);
    while (ok && done < bytes.size()) {
      DWORD got = 0;
      const auto want = static_cast<DWORD>(std::min(chunk, bytes.size() - done));
      ok = ReadFile(file, bytes.data() + done, want, &got, nullptr) != FALSE;
      if (!ok) error = LastErrorText();
      done += got;
      if (ok && got == 0) break;  // the end came early: the file shrank while it was read
    }
  }
  CloseHandle(file);
  if (ok && done != bytes.size()) {
    error = "read " + std::to_string(done) + " of its " + std::to_string(bytes.size()) +
            " bytes (did it change while it was read?)";
    ok = false;
  }
  if (!ok) bytes.clear();
  return ok;
}

bool ReadStandardInput(std::string& bytes, std::string& error, std::size_t chunk) {
  // Read through the handle, not the C library's stream: the bytes as they come, and a pipe
  // whose writer has closed is simply the end.
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  bytes.clear();
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return true;  // none: nothing to read
  chunk = std::clamp<std::size_t>(chunk, 1, std::size_t{1} << 24);
  for (;;) {
    const std::size_t done = bytes.size();
    error = TooLargeToHold(std::uint64_t{done} + chunk);
    if (!error.empty()) {
      error = "standard input is too large: " + error;
      bytes.clear();
      return false;
    }
    // Doubling keeps the copies made as the block grows to twice the input at most.
    if (bytes.capacity() < done + chunk) bytes.reserve(std::max(done + chunk, 2 * done));
    bytes.resize(done + chunk);
    DWORD got = 0;
    const bool ok =
        ReadFile(input, bytes.data() + done, static_cast<DWORD>(chunk), &got, nullptr) != FALSE;
    bytes.resize(done + got);
    if (!ok) {
      const DWORD why = GetLastError();
      if (why == ERROR_BROKEN_PIPE || why == ERROR_HANDLE_EOF) return true;
      error = "cannot read standard input: " + LastErrorText();
      bytes.clear();
      return false;
    }
    if (got == 0) return true;
  }
}

bool WriteChunks(std::FILE* file, std::string_view bytes, std::size_t chunk) {
  chunk = std::clamp<std::size_t>(chunk, 1, kIoChunk);
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t part = std::min(chunk, bytes.size() - done);
    if (std::fwrite(bytes.data() + done, 1, part, file) != part) return false;
    done += part;
  }
  return true;
}

std::string LastErrorText() {
  wchar_t* text = nullptr;
  const DWORD error = GetLastError();
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason = text != nullptr ? ToUtf8(text) : "error " + std::to_string(error);
  LocalFree(text);
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
    reason.pop_back();
  }
  return reason;
}

}  // namespace tkr

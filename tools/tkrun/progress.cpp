// The progress line's instance, what is said past it, and the out-of-memory advice (see
// progress.h).
#include "tkrun/progress.h"

#include <algorithm>
#include <cstdio>

#include "common/text_encoding.h"

namespace tkrun {
namespace {

std::string Size(std::uint64_t bytes) {
  char text[32];
  if (bytes >= 1000000000u) {
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / 1e9);
  } else {
    std::snprintf(text, sizeof text, "%.0f MB", std::max(1.0, static_cast<double>(bytes) / 1e6));
  }
  return text;
}

}  // namespace

std::string Utf8(const std::wstring& text) {
  return tkr::ToUtf8(text);
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The run's progress line: everything said on standard error goes past it.
Progress progressLine;

void Say(const std::string& line) {
  progressLine.Say(line);
}

MemoryUse memoryUse;

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

}  // namespace tkrun

// Library: tkselect.dll (tkselect64.dll) reached the way a macro reaches it, and the record
// released the way a macro's record goes out of scope. The tools, the DLL tests and the robustness
// program all load the library through here.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/record.h"

namespace tkr {

// TKselect as GetProcAddress hands it out: two arguments by reference, __stdcall (the one
// calling convention of 64-bit code there).
using TKselectFn = std::int32_t(__stdcall*)(std::int32_t*, tk::TKCOMM*);

// The library this program's architecture loads: a 64-bit process cannot load a 32-bit DLL,
// so the 64-bit build is a file of its own beside the 32-bit one.
#ifdef _WIN64
constexpr const char* kLibraryName = "tkselect64.dll";
#else
constexpr const char* kLibraryName = "tkselect.dll";
#endif

class Library {
 public:
  // Loads the DLL at `path` (UTF-8) and looks TKselect up by name.
  explicit Library(const std::string& path);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // TKselect, or nullptr when the DLL could not be loaded or does not export it.
  TKselectFn entry() const { return entry_; }
  // Why entry() is null, in words: the path that was tried and what is wrong with it (no
  // such file, a DLL of the other architecture, not a DLL at all, no TKselect in it, or the
  // system's reason); "" when it is not.
  std::string Problem() const;
  HMODULE module() const { return module_; }
  const std::string& path() const { return path_; }

  // The path (UTF-8) of `name` in the folder of the running program.
  static std::string BesideProgram(const std::string& name);

 private:
  std::string path_;
  HMODULE module_ = nullptr;
  TKselectFn entry_ = nullptr;
  unsigned long loadError_ = 0;  // GetLastError after a failed LoadLibraryW
};

// The bitness of this program ("32-bit", "64-bit"): a DLL must have the same.
const char* ProgramBits();

// What the Windows program file at `path` is built for, from its header: "32-bit",
// "64-bit", "ARM64", "other", or "" when it is not a program file at all.
std::string FileBits(const std::wstring& path);

// Clears every VARIANT of `comm` and destroys its SortIndex array, a fixed-size or static
// one included, leaving the record as a freshly declared one.
void ReleaseRecord(tk::TKCOMM& comm);

}  // namespace tkr

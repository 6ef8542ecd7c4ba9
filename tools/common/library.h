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
  HMODULE module() const { return module_; }
  const std::string& path() const { return path_; }

  // The path (UTF-8) of `name` in the folder of the running program.
  static std::string BesideProgram(const std::string& name);

 private:
  std::string path_;
  HMODULE module_ = nullptr;
  TKselectFn entry_ = nullptr;
};

// Clears every VARIANT of `comm` and destroys its SortIndex array, a fixed-size or static
// one included, leaving the record as a freshly declared one.
void ReleaseRecord(tk::TKCOMM& comm);

}  // namespace tkr

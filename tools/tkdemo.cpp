// tkdemo: plays the macro's part against the real tkselect.dll.
//
// Loads the DLL with LoadLibrary, finds TKselect with GetProcAddress, and calls it with a
// record laid out as the macro's type: ABOUT, RESET, and a resume while nothing is
// suspended. Prints what each call left in the code, the return value and the record.
#include <cstdio>
#include <string>

#include "entry/record.h"

namespace {

using TKselectFn = std::int32_t(__stdcall*)(std::int32_t*, tk::TKCOMM*);

std::string Utf8(const VARIANT& v) {
  if (v.vt != VT_BSTR || v.bstrVal == nullptr) return "(no text)";
  const int wide = static_cast<int>(SysStringLen(v.bstrVal));
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, v.bstrVal, wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, v.bstrVal, wide, out.data(), bytes, nullptr, nullptr);
  return out;
}

void Show(const char* what, std::int32_t sent, std::int32_t code, std::int32_t rv,
          const tk::TKCOMM& comm) {
  std::printf("%-22s code %4d -> %4d  return %d  LastError %3d  Status %s\n", what, sent, code, rv,
              comm.LastError, Utf8(comm.Status).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const char* dllPath = argc > 1 ? argv[1] : "tkselect.dll";
  HMODULE dll = LoadLibraryA(dllPath);
  if (dll == nullptr) {
    std::fprintf(stderr, "tkdemo: cannot load %s (error %lu)\n", dllPath, GetLastError());
    return 1;
  }
  auto tkselect = reinterpret_cast<TKselectFn>(reinterpret_cast<void*>(GetProcAddress(dll, "TKselect")));
  if (tkselect == nullptr) {
    std::fprintf(stderr, "tkdemo: %s exports no TKselect\n", dllPath);
    return 1;
  }

  tk::TKCOMM comm{};  // all VT_EMPTY and zero, as a freshly declared macro variable
  struct Step {
    const char* what;
    std::int32_t code;
  };
  const Step steps[] = {{"ABOUT (107)", 107}, {"RESET (104)", 104}, {"resume while idle", 0}};
  for (const Step& step : steps) {
    std::int32_t code = step.code;
    const std::int32_t rv = tkselect(&code, &comm);
    Show(step.what, step.code, code, rv, comm);
  }
  std::printf("Version %.3f\nBanner  %s\n", comm.Version, Utf8(comm.Banner).c_str());

  VariantClear(&comm.Banner);
  VariantClear(&comm.Status);
  FreeLibrary(dll);
  return 0;
}

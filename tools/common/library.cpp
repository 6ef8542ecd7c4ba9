#include "common/library.h"

namespace tkr {

namespace {

std::wstring Wide(const std::string& text) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Utf8(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n,
                      nullptr, nullptr);
  return narrow;
}

}  // namespace

Library::Library(const std::string& path) : path_(path) {
  // Wide: an install folder whose name lies outside the code page still loads.
  module_ = LoadLibraryW(Wide(path).c_str());
  if (module_ != nullptr) {
    entry_ =
        reinterpret_cast<TKselectFn>(reinterpret_cast<void*>(GetProcAddress(module_, "TKselect")));
  }
}

Library::~Library() {
  if (module_ != nullptr) FreeLibrary(module_);
}

std::string Library::BesideProgram(const std::string& name) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::string program = Utf8(self);
  return program.substr(0, program.find_last_of("\\/") + 1) + name;
}

void ReleaseRecord(tk::TKCOMM& comm) {
  for (VARIANT* v : {&comm.Banner, &comm.Reserved1, &comm.Source.RangeObj, &comm.Source.Data,
                     &comm.Dest.RangeObj, &comm.Dest.Data, &comm.SortCmd, &comm.MoveCmd,
                     &comm.ExportCmd, &comm.Status}) {
    VariantClear(v);
  }
  if (comm.SortIndex != nullptr) {
    // A macro's fixed array is freed with its record: the flags only stop a callee.
    comm.SortIndex->fFeatures &= static_cast<USHORT>(~(FADF_STATIC | FADF_FIXEDSIZE));
    SafeArrayDestroy(comm.SortIndex);
    comm.SortIndex = nullptr;
  }
}

}  // namespace tkr

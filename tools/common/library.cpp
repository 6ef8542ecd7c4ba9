#include "common/library.h"

#include "common/csv.h"

namespace tkr {

Library::Library(const std::string& path) : path_(path) {
  // Wide: an install folder whose name lies outside the code page still loads.
  module_ = LoadLibraryW(FromUtf8(path).c_str());
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
  const std::string program = ToUtf8(self);
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

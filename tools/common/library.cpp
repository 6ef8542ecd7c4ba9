#include "common/library.h"

#include <cstdio>

#include "common/csv.h"
#include "common/file_bytes.h"

namespace tkr {

Library::Library(const std::string& path) : path_(path) {
  // Wide: an install folder whose name lies outside the code page still loads.
  module_ = LoadLibraryW(FromUtf8(path).c_str());
  if (module_ == nullptr) loadError_ = GetLastError();
  if (module_ != nullptr) {
    entry_ =
        reinterpret_cast<TKselectFn>(reinterpret_cast<void*>(GetProcAddress(module_, "TKselect")));
  }
}

Library::~Library() {
  if (module_ != nullptr) FreeLibrary(module_);
}

std::string Library::Problem() const {
  if (entry_ != nullptr) return {};
  const std::string where = "'" + path_ + "'";
  if (module_ != nullptr) {
    return where + " loads but has no function TKselect: it is not the sorting library";
  }
  const std::wstring wide = FromUtf8(path_);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "there is no file " + where;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return where + " is a folder, not a DLL";
  const std::string bits = FileBits(wide);
  if (bits.empty()) return where + " is not a DLL (no Windows program file header)";
  if (bits != ProgramBits()) {
    return where +
           (bits == "other" ? " is a DLL for another kind of processor"
                            : " is a " + bits + " DLL") +
           ", and a " + ProgramBits() + " program loads only a " + ProgramBits() + " one";
  }
  SetLastError(static_cast<DWORD>(loadError_));
  return where + " could not be loaded: " + LastErrorText() + " (error " +
         std::to_string(loadError_) + ")";
}

const char* ProgramBits() {
  return sizeof(void*) == 8 ? "64-bit" : "32-bit";
}

std::string FileBits(const std::wstring& path) {
  std::FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return {};
  unsigned char dos[64] = {}, pe[6] = {};
  bool program =
      std::fread(dos, 1, sizeof dos, file) == sizeof dos && dos[0] == 'M' && dos[1] == 'Z';
  if (program) {
    // The offset of the "PE\0\0" header, then the machine it is built for.
    const long at = static_cast<long>(dos[60] | dos[61] << 8 | dos[62] << 16 |
                                      static_cast<unsigned>(dos[63]) << 24);
    program = at > 0 && std::fseek(file, at, SEEK_SET) == 0 &&
              std::fread(pe, 1, sizeof pe, file) == sizeof pe && pe[0] == 'P' && pe[1] == 'E' &&
              pe[2] == 0 && pe[3] == 0;
  }
  std::fclose(file);
  if (!program) return {};
  switch (pe[4] | pe[5] << 8) {
    case 0x014C: return "32-bit";
    case 0x8664: return "64-bit";
    case 0xAA64: return "ARM64";
    default: return "other";
  }
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

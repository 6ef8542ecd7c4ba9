// tkdemo: the road of a typical request, played against the real tkselect.dll.
//
// Loads the DLL with LoadLibrary and GetProcAddress, as a macro's declaration does, reads
// a bundled table (orders.csv) into a Range object and runs:
//   ABOUT                  the banner
//   SELECT                 region ascending inside the engine, customer by the caller's
//                          own rule (a break-out key: this program answers each question)
//   EXPORT                 region, customer (copied by this program) and amount into a
//                          second Range, in sorted order
//   SORTINDEX              the order as row numbers
//   MOVE                   the rows rearranged in place; the customer column is moved by
//                          this program (the move map derived from the sort keys)
// EXPORT and SORTINDEX come before MOVE: they read the rows that the order names, and MOVE
// puts other rows there.
// and prints the tables before and after, each command's status and its break-outs.
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "common/caller.h"
#include "common/csv.h"
#include "common/range_object.h"

namespace {

using TKselectFn = std::int32_t(__stdcall*)(std::int32_t*, tk::TKCOMM*);

void Print(const std::wstring& text) { std::fputs(tkr::ToUtf8(text).c_str(), stdout); }

std::wstring FieldText(const VARIANT& v) {
  return v.vt == VT_BSTR && v.bstrVal != nullptr ? std::wstring(v.bstrVal) : L"(no text)";
}

void PrintTable(const wchar_t* title, SAFEARRAY* table) {
  Print(std::wstring(L"\n") + title + L"\n");
  const ULONG rows = table->rgsabound[1].cElements;
  const ULONG columns = table->rgsabound[0].cElements;
  std::vector<std::size_t> width(columns, 0);
  for (ULONG c = 0; c < columns; ++c) {
    for (ULONG r = 0; r < rows; ++r) {
      const std::size_t w = tkr::DisplayText(tkr::CellAt(table, static_cast<int>(r + 1),
                                                         static_cast<int>(c + 1))).size();
      if (w > width[c]) width[c] = w;
    }
  }
  for (ULONG r = 0; r < rows; ++r) {
    std::wstring line = L"  ";
    for (ULONG c = 0; c < columns; ++c) {
      std::wstring cell =
          tkr::DisplayText(tkr::CellAt(table, static_cast<int>(r + 1), static_cast<int>(c + 1)));
      cell.resize(width[c] + 2, L' ');
      line += cell;
    }
    Print(line + L"\n");
  }
}

// One command with its break-outs answered, and a line saying how it ended.
std::int32_t Command(tkr::Caller& caller, const wchar_t* what, std::int32_t code,
                     tk::TKCOMM& comm) {
  caller.seen.clear();
  const std::int32_t status = caller.Run(code, comm);
  std::map<std::int32_t, int> perCode;
  for (const tkr::BreakOut& b : caller.seen) ++perCode[b.code];
  std::wstring breakOuts;
  for (const auto& [breakCode, count] : perCode) {
    breakOuts += L" " + std::to_wstring(count) + L" x " + std::to_wstring(breakCode);
  }
  wchar_t line[400];
  std::swprintf(line, 400, L"%-10ls code %4d -> %4d  return %d  LastError %3d  %ls%ls%ls\n", what,
                code, status, caller.lastReturn, comm.LastError, FieldText(comm.Status).c_str(),
                breakOuts.empty() ? L"" : L"  break-outs:", breakOuts.c_str());
  Print(line);
  return status;
}

// The caller's own rule for customers: case-insensitive, by the name's letters only, so
// "Acme, Inc." and "acme depot" compare as "acmeinc" and "acmedepot".
std::int32_t CompareCustomers(const tkr::BreakOut& b, tk::TKCOMM& comm) {
  auto letters = [&](std::int32_t row) {
    const std::wstring text = tkr::DisplayText(tkr::CellAt(comm.Source.Data.parray, row, b.column));
    std::wstring out;
    for (wchar_t ch : text) {
      if (IsCharAlphaNumericW(ch)) out += ch;
    }
    return out;
  };
  const std::wstring a = letters(b.rowA);
  const std::wstring c = letters(b.rowB);
  const int r = CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, c.c_str(), -1);
  return r == CSTR_LESS_THAN ? -1 : r == CSTR_GREATER_THAN ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* dllPath = argc > 1 ? argv[1] : "tkselect.dll";
  const char* csvPath = argc > 2 ? argv[2] : "orders.csv";
  HMODULE dll = LoadLibraryA(dllPath);
  if (dll == nullptr) {
    std::fprintf(stderr, "tkdemo: cannot load %s (error %lu)\n", dllPath, GetLastError());
    return 1;
  }
  auto tkselect = reinterpret_cast<TKselectFn>(
      reinterpret_cast<void*>(GetProcAddress(dll, "TKselect")));
  if (tkselect == nullptr) {
    std::fprintf(stderr, "tkdemo: %s exports no TKselect\n", dllPath);
    return 1;
  }

  std::ifstream file(csvPath, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  tkr::CsvRows rows;
  std::string error;
  if (!file || !tkr::ParseCsv(bytes.str(), L',', rows, error)) {
    std::fprintf(stderr, "tkdemo: cannot read %s %s\n", csvPath, error.c_str());
    return 1;
  }

  int failures = 0;
  {
    tkr::RangeObject source(tkr::TableFromCsv(rows));
    // The destination: as many rows as the source, three columns, all empty.
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(rows.size()), 1}, {3, 1}};
    tkr::RangeObject dest(SafeArrayCreate(VT_VARIANT, 2, bounds));

    tk::TKCOMM comm{};  // all VT_EMPTY and zero, as a freshly declared macro variable
    tkr::PutRangeObject(comm.Source.RangeObj, source);
    comm.Source.HeaderLines = 1;
    tkr::PutRangeObject(comm.Dest.RangeObj, dest);
    comm.Dest.HeaderLines = 1;
    comm.SortCmd.vt = VT_BSTR;
    comm.SortCmd.bstrVal = SysAllocString(L"1,TK_COMPASCAUTO 2,TK_COMPBRKO");
    comm.ExportCmd.vt = VT_BSTR;
    comm.ExportCmd.bstrVal =
        SysAllocString(L"1,1,TK_EXPORTAUTO 2,2,TK_EXPORTBRKO 4,3,TK_EXPORTAUTO");

    tkr::Caller caller(tkselect);
    caller.compare = CompareCustomers;
    PrintTable(L"Source range before:", source.cells());
    Print(L"\nSort  \"1,TK_COMPASCAUTO 2,TK_COMPBRKO\"   (column 2 compared by this program)\n");
    Print(L"Export \"1,1,TK_EXPORTAUTO 2,2,TK_EXPORTBRKO 4,3,TK_EXPORTAUTO\"\n\n");

    failures += Command(caller, L"ABOUT", 107, comm) != 200;
    failures += Command(caller, L"SELECT", 100, comm) != 2;
    failures += Command(caller, L"EXPORT", 103, comm) != 2;
    failures += Command(caller, L"SORTINDEX", 101, comm) != 2;
    failures += Command(caller, L"MOVE", 102, comm) != 2;
    std::wstring index = L"SortIndex ";
    if (comm.SortIndex != nullptr) {
      const auto* rowsOut = static_cast<const std::int32_t*>(comm.SortIndex->pvData);
      for (ULONG i = 0; i < comm.SortIndex->rgsabound[0].cElements; ++i) {
        index += std::to_wstring(rowsOut[i]) + L" ";
      }
    }
    Print(index + L"\nBanner    " + FieldText(comm.Banner) + L"\n");

    PrintTable(L"Source range after MOVE:", source.cells());
    PrintTable(L"Destination range after EXPORT:", dest.cells());

    for (VARIANT* v : {&comm.Banner, &comm.Status, &comm.Source.RangeObj, &comm.Source.Data,
                       &comm.Dest.RangeObj, &comm.Dest.Data, &comm.SortCmd, &comm.ExportCmd}) {
      VariantClear(v);
    }
    if (comm.SortIndex != nullptr) SafeArrayDestroy(comm.SortIndex);
  }
  FreeLibrary(dll);
  return failures == 0 ? 0 : 2;
}

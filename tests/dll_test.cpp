// The boundary: tkselect.dll (tkselect64.dll in the 64-bit build) loaded with LoadLibrary and
// called through GetProcAddress, exactly as the macro's declaration does it.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/host.h"
#include "common/library.h"
#include "protocol/codes.h"
#include "protocol/record.h"
#include "support/fake_range.h"
#include "support/table.h"

// After the Windows headers (common/host.h), on which it builds.
// clang-format off
#include <psapi.h>
// clang-format on

// Exported by kernel32 since Windows 7 (psapi's GetProcessMemoryInfo forwards to it).
extern "C" BOOL WINAPI K32GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters,
                                               DWORD size);

namespace {

using tkr::TKselectFn;

#ifndef _WIN64
// Calls `fn(code, comm)` with the two arguments pushed by hand and reports how far the
// stack pointer moved across the call. A __stdcall callee pops its 8 bytes: 0. A cdecl
// callee would leave them: -8.
extern "C" std::int32_t __cdecl CallMeasuringStack(void* fn, std::int32_t* code, void* comm,
                                                   std::int32_t* espDelta);
asm(R"(
  .text
  .globl _CallMeasuringStack
_CallMeasuringStack:
  push %ebp
  mov  %esp, %ebp
  push %ebx
  mov  %esp, %ebx
  push 16(%ebp)
  push 12(%ebp)
  call *8(%ebp)
  mov  %esp, %ecx
  sub  %ebx, %ecx
  mov  20(%ebp), %edx
  mov  %ecx, (%edx)
  mov  %ebx, %esp
  pop  %ebx
  pop  %ebp
  ret
)");
#endif

class Dll : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = std::make_unique<tkr::Library>(TK_DLL_PATH);
    module_ = library_->module();
    ASSERT_NE(module_, nullptr) << "cannot load " << TK_DLL_PATH;
  }
  void TearDown() override { library_.reset(); }
  TKselectFn Entry() const { return library_->entry(); }
  // The headers of this build's architecture: IMAGE_NT_HEADERS is the 64-bit form there.
  const IMAGE_NT_HEADERS* Headers() const {
    auto* base = reinterpret_cast<const BYTE*>(module_);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  }
  template <class T>
  const T* At(DWORD rva) const {
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module_) + rva);
  }
  std::unique_ptr<tkr::Library> library_;
  HMODULE module_ = nullptr;
};

TEST_F(Dll, IsBuiltForItsOfficeAndExportsOnlyTKselectAtOrdinalOne) {
  const IMAGE_NT_HEADERS* nt = Headers();
#ifdef _WIN64
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
#else
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
#endif
  EXPECT_NE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL, 0);

  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  const auto* exports = At<IMAGE_EXPORT_DIRECTORY>(dir.VirtualAddress);
  EXPECT_EQ(exports->Base, 1u);
  EXPECT_EQ(exports->NumberOfFunctions, 1u);
  ASSERT_EQ(exports->NumberOfNames, 1u);
  const auto* names = At<DWORD>(exports->AddressOfNames);
  EXPECT_STREQ(At<char>(names[0]), "TKselect");

  // The file the build makes is the one the tools and the module name for this architecture.
  EXPECT_STREQ(TK_DLL_PATH, tkr::kLibraryName);
  EXPECT_NE(Entry(), nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module_, MAKEINTRESOURCEA(1))),
            reinterpret_cast<void*>(Entry()));
  EXPECT_EQ(GetProcAddress(module_, "TKselect@8"), nullptr);
  EXPECT_EQ(GetProcAddress(module_, "_TKselect@8"), nullptr);
}

TEST_F(Dll, ImportsWindowsSystemDllsOnly) {
  const std::set<std::string> system = {"kernel32.dll", "msvcrt.dll", "oleaut32.dll",
                                        "ole32.dll",    "user32.dll", "advapi32.dll"};
  const IMAGE_DATA_DIRECTORY& dir =
      Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  int count = 0;
  for (const auto* imp = At<IMAGE_IMPORT_DESCRIPTOR>(dir.VirtualAddress); imp->Name != 0; ++imp) {
    std::string name = At<char>(imp->Name);
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(system.count(name), 1u) << "imports " << name;
    ++count;
  }
  EXPECT_GT(count, 0);
}

#ifndef _WIN64
// 64-bit code has one calling convention, with nothing for the callee to pop.
TEST_F(Dll, CalleePopsItsArguments) {
  tkt::Record r;
  std::int32_t code = tk::kAbout;
  std::int32_t delta = 12345;
  const std::int32_t returned =
      CallMeasuringStack(reinterpret_cast<void*>(Entry()), &code, &r.comm, &delta);
  EXPECT_EQ(delta, 0);
  EXPECT_EQ(returned, 2);
  EXPECT_EQ(code, 200);
}
#endif

TEST_F(Dll, AnswersThroughTheExportLikeTheEngine) {
  TKselectFn tkselect = Entry();
  tkt::Record r;
  std::int32_t code = tk::kAbout;
  EXPECT_EQ(tkselect(&code, &r.comm), 2);
  EXPECT_EQ(code, 200);
  EXPECT_EQ(tkt::FieldText(r.comm.Status), L"[200]Completed without errors");
  EXPECT_EQ(r.comm.Version, 2.0);
  const std::wstring banner = tkt::FieldText(r.comm.Banner);
  ASSERT_GE(banner.size(), 6u);
  EXPECT_EQ(banner.substr(banner.size() - 6), L" 2.000");

  // The release archive is named after the project's version: the banner must end with it.
  char version[16];
  std::snprintf(version, sizeof version, " %5.3f", std::atof(TK_PROJECT_VERSION));
  EXPECT_EQ(banner.substr(banner.size() - 6), std::wstring(version, version + 6));
  EXPECT_EQ(r.comm.Version, std::atof(TK_PROJECT_VERSION));

  code = tk::kReset;
  EXPECT_EQ(tkselect(&code, &r.comm), 3);
  EXPECT_EQ(code, 2);

  code = 0;
  EXPECT_EQ(tkselect(&code, &r.comm), 0);
  EXPECT_EQ(code, 713);
  EXPECT_EQ(r.comm.LastError, 713);

  code = tk::kSelect;
  EXPECT_EQ(tkselect(&code, nullptr), 0);
  EXPECT_EQ(code, 703);
}

// The value of `name` in a file's version resource (US English, Unicode), or "".
std::wstring VersionValue(const std::vector<BYTE>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) return L"";
  return std::wstring(static_cast<const wchar_t*>(value), length - 1);
}

// Windows shows a file's version resource in its Properties: for the library and the runner
// of this architecture it names the version the banner names.
TEST_F(Dll, BinariesCarryTheBannersVersion) {
  tkt::Record r;
  std::int32_t code = tk::kAbout;
  ASSERT_EQ(Entry()(&code, &r.comm), 2);
  const std::wstring banner = tkt::FieldText(r.comm.Banner);
  const std::wstring version = banner.substr(banner.find_last_of(L' ') + 1);
  ASSERT_EQ(version.size(), 5u) << "the banner: " << std::string(banner.begin(), banner.end());

  for (const wchar_t* file : {TK_DLL_FILE, TK_RUNNER_NAME}) {
    SCOPED_TRACE(std::string(file, file + std::wcslen(file)));
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(file, 0, size, info.data()));
    EXPECT_EQ(VersionValue(info, L"FileVersion"), version);
    EXPECT_EQ(VersionValue(info, L"ProductVersion"), version);
    EXPECT_EQ(VersionValue(info, L"ProductName"), L"tkselect");
    EXPECT_EQ(VersionValue(info, L"OriginalFilename"), file);

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    const double number = HIWORD(fixed->dwFileVersionMS) + LOWORD(fixed->dwFileVersionMS) / 10.0;
    EXPECT_EQ(number, r.comm.Version);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
  }
}

// SELECT on another thread over a small table of its own, as a second macro would send it.
tkr::OtherCall CallOnAnotherThread(TKselectFn tkselect, std::int32_t command) {
  return tkr::CallOnAnotherThread(tkselect, command, 10000, [](tk::TKCOMM& comm) {
    tkt::PutArray(comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(20, 2)));
    tkt::PutText(comm.SortCmd, L"2,TK_COMPDESAUTO");
  });
}

// Two threads calling at once share one engine: a call that comes while the other thread's
// call is inside is answered at once with 712 in its own record, and the macro tries again;
// every SELECT that gets in ends as it would alone.
TEST_F(Dll, TwoThreadsCallingAtOnceAreServedOneCallAtATime) {
  const TKselectFn tkselect = Entry();
  int ended[2] = {0, 0};
  int wrong[2] = {0, 0};
  auto work = [&](int thread) {
    tkt::Record r;
    tkt::PutArray(r.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(300 + 100 * thread, 3)));
    tkt::PutText(r.comm.SortCmd, L"2,TK_COMPDESAUTO 1,TK_COMPASCAUTO");
    while (ended[thread] < 400) {
      std::int32_t code = tk::kSelect;
      const std::int32_t returned = tkselect(&code, &r.comm);
      if (returned == 0 && code == 2 && r.comm.LastError == 0) {
        ++ended[thread];
      } else if (returned != 0 || code != 712 ||
                 tkt::FieldText(r.comm.Status) != L"[712]Flow Error") {
        ++wrong[thread];
        break;
      }
    }
  };
  std::thread first(work, 0);
  std::thread second(work, 1);
  first.join();
  second.join();
  EXPECT_EQ(ended[0], 400);
  EXPECT_EQ(ended[1], 400);
  EXPECT_EQ(wrong[0] + wrong[1], 0);
}

// The caller's code inside a call (a write-back whose recalculation runs functions on
// calculation threads) may wait for another thread that calls the library meanwhile: that
// call is answered at once with 712, so neither waits for the other.
TEST_F(Dll, ACallFromAnotherThreadWhileOneIsInsideIsAnsweredAtOnce) {
  const TKselectFn tkselect = Entry();
  tkt::FakeRange range(tkt::Rows{{"b", 2}, {"c", 3}, {"a", 1}});
  tkt::Record r;
  tkt::PutRange(r.comm.Source, range);
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  std::vector<tkr::OtherCall> inside;
  range.onValue = [&] { inside.push_back(CallOnAnotherThread(tkselect, tk::kSelect)); };
  for (std::int32_t command : {tk::kSelect, tk::kMove}) {  // the Value get, then the put
    std::int32_t code = command;
    EXPECT_EQ(tkselect(&code, &r.comm), 0);
    EXPECT_EQ(code, 2);
  }
  range.onValue = nullptr;
  ASSERT_EQ(inside.size(), 2u);
  for (const tkr::OtherCall& call : inside) {
    EXPECT_TRUE(call.answered) << "the other thread's call waited for the one inside";
    EXPECT_EQ(call.code, 712);
    EXPECT_EQ(call.status, L"[712]Flow Error");
  }
  EXPECT_EQ(tkt::Dump(range.cells()),
            (std::vector<std::vector<std::wstring>>{{L"a", L"1"}, {L"b", L"2"}, {L"c", L"3"}}));
  EXPECT_EQ(CallOnAnotherThread(tkselect, tk::kSelect).code, 2);  // and now it gets in
}

// The caller's code recursing until its thread's stack runs out (the depth is only there so
// that the compiler sees an end).
int Overflow(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return depth > 1000000000 ? 0 : Overflow(depth + 1) + frame[0];
}

// An object in the record's Status that raises when it is released: the call's ending
// releases it as it writes its text.
void PutObject(tkt::Record& r, tkt::FakeRange& object) {
  VariantClear(&r.comm.Status);
  r.comm.Status.vt = VT_DISPATCH;
  r.comm.Status.pdispVal = &object;
  object.AddRef();
  object.onRelease = tkr::RaiseHostException;
}

// A structured exception that the caller's code raises inside a call (in a Range method, in
// the release of an object) and that the host catches unwinds the call without letting it
// end. The library is then as if that call had never come: nothing is left suspended, the
// next call is served on this thread and on another one.
// Everything the call took is given back on the way out: the Range keeps the references it
// had. Every object the engine holds or releases during each command raises in turn.
TEST_F(Dll, AnExceptionThroughTheCallLeavesTheLibraryUsable) {
  const TKselectFn tkselect = Entry();
  const struct {
    const char* what;
    std::int32_t command;
    void (*arm)(tkt::FakeRange& range, tkt::FakeRange& object, tkt::Record& r);
    // The thread may end instead of the exception reaching the host: with too little stack left
    // to raise it, 64-bit Wine ends the thread (a call whose thread ended is dropped as well).
    bool mayEndThread = false;
  } rows[] = {
      {"EXPORT: the destination's Value get or put", tk::kExport,
       [](tkt::FakeRange&, tkt::FakeRange& object, tkt::Record&) {
         object.onValue = tkr::RaiseHostException;
       }},
      {"EXPORT: the release of the destination", tk::kExport,
       [](tkt::FakeRange&, tkt::FakeRange& object, tkt::Record&) {
         object.onRelease = tkr::RaiseHostException;
       }},
      {"EXPORT: the release of an object in Status", tk::kExport,
       [](tkt::FakeRange&, tkt::FakeRange& object, tkt::Record& r) { PutObject(r, object); }},
      {"SORTINDEX: the release of an object in Status", tk::kSortIndex,
       [](tkt::FakeRange&, tkt::FakeRange& object, tkt::Record& r) { PutObject(r, object); }},
      {"SORTINDEX: the release of an object in the index it replaces", tk::kSortIndex,
       [](tkt::FakeRange&, tkt::FakeRange& object, tkt::Record& r) {
         SafeArrayDestroy(r.comm.SortIndex);
         SAFEARRAYBOUND bound = {1, 0};
         r.comm.SortIndex = SafeArrayCreate(VT_VARIANT, 1, &bound);
         auto* cell = static_cast<VARIANT*>(r.comm.SortIndex->pvData);
         cell->vt = VT_DISPATCH;
         cell->pdispVal = &object;
         object.AddRef();
         object.onRelease = tkr::RaiseHostException;
       }},
      {"BENCHMARK: the source's Value get", tk::kBenchmark,
       [](tkt::FakeRange& range, tkt::FakeRange&, tkt::Record&) {
         range.onValue = tkr::RaiseHostException;
       }},
      {"BENCHMARK: the release of the source", tk::kBenchmark,
       [](tkt::FakeRange& range, tkt::FakeRange&, tkt::Record&) {
         range.onRelease = tkr::RaiseHostException;
       }},
      {"BENCHMARK: the release of an object in Status", tk::kBenchmark,
       [](tkt::FakeRange&, tkt::FakeRange& object, tkt::Record& r) { PutObject(r, object); }},
      {"the source's Count get", tk::kSelect,
       [](tkt::FakeRange& range, tkt::FakeRange&, tkt::Record&) {
         range.onCount = tkr::RaiseHostException;
       }},
      {"the source's Value get", tk::kSelect,
       [](tkt::FakeRange& range, tkt::FakeRange&, tkt::Record&) {
         range.onValue = tkr::RaiseHostException;
       }},
      {"MOVE's Value put", tk::kMove,
       [](tkt::FakeRange& range, tkt::FakeRange&, tkt::Record&) {
         range.onValue = tkr::RaiseHostException;
       }},
      {"the release of an object in Status", tk::kMove,
       [](tkt::FakeRange&, tkt::FakeRange& object, tkt::Record& r) { PutObject(r, object); }},
      {"MOVE: the release of the source", tk::kMove,
       [](tkt::FakeRange& range, tkt::FakeRange&, tkt::Record&) {
         range.onRelease = tkr::RaiseHostException;
       }},
      {"SELECT: the caller's code overflows its stack in the Value get", tk::kSelect,
       [](tkt::FakeRange& range, tkt::FakeRange&, tkt::Record&) {
         range.onValue = [] { Overflow(1); };
       },
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    tkt::FakeRange range(tkt::Rows{{"b", 2}, {"c", 3}, {"a", 1}});
    tkt::FakeRange object(tkt::Rows{{0}, {0}, {0}});
    {
      tkt::Record r;
      tkt::PutRange(r.comm.Source, range);
      tkt::PutRange(r.comm.Dest, object);
      tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
      tkt::PutText(r.comm.ExportCmd, L"2,1,TK_EXPORTAUTO");
      std::int32_t code = tk::kSelect;
      if (row.command != tk::kSelect) {
        ASSERT_EQ((tkselect(&code, &r.comm), code), 2);
      }
      const LONG rangeRefs = range.refs;
      const LONG objectRefs = object.refs;
      row.arm(range, object, r);
      code = row.command;
      // On a thread of its own: a stack that overflowed has lost its guard page for good.
      bool caught = false;
      bool ended = true;
      std::thread([&] {
        caught = tkr::CatchHostException([&] { tkselect(&code, &r.comm); });
        ended = false;
      }).join();
      EXPECT_TRUE(caught || (ended && row.mayEndThread));
      range.onCount = range.onValue = range.onRelease = nullptr;
      object.onValue = object.onRelease = nullptr;

      const tkr::OtherCall other = CallOnAnotherThread(tkselect, tk::kAbout);
      EXPECT_TRUE(other.answered) << "the library stayed locked";
      EXPECT_EQ(other.code, 200);
      // What the call took is back: the engine's own references and the blocks of its calls.
      EXPECT_EQ(range.refs, rangeRefs);
      if (row.command == tk::kExport) {
        // Status may still hold the object where another release raised first.
        const bool inStatus = r.comm.Status.vt == VT_DISPATCH && r.comm.Status.pdispVal == &object;
        EXPECT_EQ(object.refs, objectRefs + (inStatus ? 1 : 0));
      }
      code = 0;  // an answer: nothing waits for one
      EXPECT_EQ((tkselect(&code, &r.comm), code), 713);
      code = tk::kSelect;
      EXPECT_EQ((tkselect(&code, &r.comm), code), 2);
      code = tk::kMove;
      EXPECT_EQ((tkselect(&code, &r.comm), code), 2);
    }
    EXPECT_EQ(tkt::Dump(range.cells()),
              (std::vector<std::vector<std::wstring>>{{L"a", L"1"}, {L"b", L"2"}, {L"c", L"3"}}));
  }
}

// The process's private bytes, or 0 when the system cannot say (Wine fills PagefileUsage, the
// commit charge, in place of PrivateUsage: the same figure).
std::size_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(),
                               reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof counters)) {
    return 0;
  }
  return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

// Caught exceptions by the ten thousand leave nothing behind: the Range's reference count and
// the process's private bytes stay where they were (each exception once kept a reference and
// the argument block of the dispatch call).
TEST_F(Dll, TwentyThousandCaughtExceptionsLeaveNothingBehind) {
  const TKselectFn tkselect = Entry();
  tkt::FakeRange range(tkt::Rows{{"b", 2}, {"c", 3}, {"a", 1}});
  tkt::Record r;
  tkt::PutRange(r.comm.Source, range);
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  range.onValue = tkr::RaiseHostException;
  auto raise = [&](int times) {
    int caught = 0;
    for (int i = 0; i < times; ++i) {
      std::int32_t code = tk::kSelect;
      caught += tkr::CatchHostException([&] { tkselect(&code, &r.comm); }) ? 1 : 0;
    }
    return caught;
  };
  ASSERT_EQ(raise(2000), 2000);  // the heap and the runtime settle first
  const LONG refs = range.refs;
  const std::size_t before = PrivateBytes();
  ASSERT_EQ(raise(20000), 20000);
  const std::size_t after = PrivateBytes();
  EXPECT_EQ(range.refs, refs);
  EXPECT_EQ(refs, 2);  // the owner's and the record's
  if (before == 0) GTEST_SKIP() << "the process's private bytes are not available here";
  std::printf("private bytes before 20,000 caught exceptions: %zu, after: %zu\n", before, after);
  // A kept argument block alone would be 20,000 blocks: over half a megabyte.
  EXPECT_LT(after, before + 256 * 1024) << before << " -> " << after;
  range.onValue = nullptr;
  std::int32_t code = tk::kSelect;
  EXPECT_EQ((tkselect(&code, &r.comm), code), 2);
}

// What a thread that calls SELECT and ends inside it shares with the test.
struct ThreadCall {
  TKselectFn tkselect;
  tkt::Record r;
  HANDLE inside;  // set once the thread is inside the Value get
  bool terminated;
};

DWORD WINAPI SelectOnThread(void* context) {
  auto* call = static_cast<ThreadCall*>(context);
  std::int32_t code = tk::kSelect;
  call->tkselect(&code, &call->r.comm);
  return 1;  // never reached: the thread ends inside the call
}

// A thread that ends inside a call (the caller's code ends it, or another thread terminates
// it) never comes back to give the library back: the next call notices, drops that call's
// work as after an exception (what it held included) and is served.
TEST_F(Dll, AThreadThatEndsInsideACallDoesNotLockTheLibrary) {
  const TKselectFn tkselect = Entry();
  const struct {
    const char* what;
    bool terminated;  // from outside, while it waits in the Range's Value get
  } rows[] = {{"ExitThread in the Range's Value get", false},
              {"TerminateThread while it waits in the Range's Value get", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    tkt::FakeRange range(tkt::Rows{{"b", 2}, {"c", 3}, {"a", 1}});
    ThreadCall shared{tkselect, {}, CreateEventW(nullptr, TRUE, FALSE, nullptr), row.terminated};
    tkt::PutRange(shared.r.comm.Source, range);
    tkt::PutText(shared.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
    const LONG refs = range.refs;
    range.onValue = [&shared] {
      SetEvent(shared.inside);
      if (!shared.terminated) ExitThread(0);
      Sleep(INFINITE);
    };
    const HANDLE thread = CreateThread(nullptr, 0, SelectOnThread, &shared, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(shared.inside, 10000), WAIT_OBJECT_0);
    if (row.terminated) TerminateThread(thread, 0);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeThread(thread, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(thread);
    CloseHandle(shared.inside);
    range.onValue = nullptr;

    const tkr::OtherCall other = CallOnAnotherThread(tkselect, tk::kAbout);
    EXPECT_TRUE(other.answered);
    EXPECT_EQ(other.code, 200) << "the library stayed locked";
    EXPECT_EQ(range.refs, refs);  // the engine's reference went with the dropped call
    tkt::Record r;
    tkt::PutRange(r.comm.Source, range);
    tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
    std::int32_t code = tk::kMove;
    EXPECT_EQ((tkselect(&code, &r.comm), code), 707);  // the dropped SELECT left no order
    code = tk::kSelect;
    EXPECT_EQ((tkselect(&code, &r.comm), code), 2);
    code = tk::kMove;
    EXPECT_EQ((tkselect(&code, &r.comm), code), 2);
    EXPECT_EQ(tkt::Dump(range.cells()),
              (std::vector<std::vector<std::wstring>>{{L"a", L"1"}, {L"b", L"2"}, {L"c", L"3"}}));
  }
}

// Another thread calling with the record of the call inside is refused, and leaves that
// record alone: the call inside finds its LastError and Status as it left them, and its own
// ending is what the record says (a refusal once wrote 712 there, and reallocated Status while
// the call inside was writing it).
TEST_F(Dll, ARefusedCallLeavesTheRecordOfTheCallInsideAlone) {
  const TKselectFn tkselect = Entry();
  tkt::FakeRange range(tkt::Rows{{"b", 2}, {"c", 3}, {"a", 1}});
  tkt::Record r;
  tkt::PutRange(r.comm.Source, range);
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  int refused = 0;
  int touched = 0;
  range.onValue = [&] {
    const std::int32_t lastError = r.comm.LastError;
    const VARIANT status = r.comm.Status;
    const std::wstring text = tkt::FieldText(r.comm.Status);
    // The other thread sends every command with this record, one after the other.
    std::thread other([&] {
      for (std::int32_t command : std::initializer_list<std::int32_t>{
               tk::kAbout, tk::kSelect, tk::kReset, tk::kSortIndex, 0}) {
        std::int32_t code = command;
        refused += tkselect(&code, &r.comm) == 0 && code == 712 ? 1 : 0;
      }
    });
    other.join();
    touched += r.comm.LastError != lastError || r.comm.Status.vt != status.vt ||
                       r.comm.Status.bstrVal != status.bstrVal ||
                       tkt::FieldText(r.comm.Status) != text
                   ? 1
                   : 0;
  };
  for (int i = 0; i < 3; ++i) {
    r.comm.LastError = 0;
    tkt::PutText(r.comm.Status, L"[2]before");
    std::int32_t code = tk::kSelect;
    EXPECT_EQ(tkselect(&code, &r.comm), 0);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(r.comm.LastError, 0);
  }
  range.onValue = nullptr;
  EXPECT_EQ(refused, 15);
  EXPECT_EQ(touched, 0);
  // A record of its own still hears 712 in it.
  range.onValue = [&] {
    const tkr::OtherCall call = CallOnAnotherThread(tkselect, tk::kAbout);
    EXPECT_EQ(call.status, L"[712]Flow Error");
  };
  std::int32_t code = tk::kSelect;
  EXPECT_EQ((tkselect(&code, &r.comm), code), 2);
  range.onValue = nullptr;
}

}  // namespace

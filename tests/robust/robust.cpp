// robust_test: random callers against tkselect.dll, in child processes.
//
// Every case is made from its seed: a random table (1 or 2 dimensions, lower bounds -5 to
// 5, 0 to 3 header lines, 0 to 3,000 rows, 1 to 8 columns, cells of every kind a record can
// carry: numbers, text, dates, currency, booleans, empty, null, errors, decimals, nested
// arrays, objects, an unknown type), given as an array or as a Range object, with random
// command lines (valid, invalid, text or caller-built arrays), then a random sequence of
// commands. Break-outs are answered consistently, randomly or adversarially (huge values,
// commands instead of answers), copies are made or skipped, and between calls the case may
// do what the protocol forbids but a buggy macro does: empty, replace or resize Source.Data
// or Dest.Data, change SortKeyCount, Dest.FirstRow/LastRow or the header counts, write any
// value into every field the engine writes (the Ok flags, the counts, FromRange, Valid...),
// put numbers into Banner and Status, pass no record. Arrays come declared fixed, static or
// embedded now and then, command lines up to 20,000 entries long.
//
// Hostile timing too: a Range's Value get or put and the release of an object in a cell
// call TKselect again from inside the call (each such nested call must be refused with 712
// and change nothing), and now and then a second thread runs a case of its own at the same
// time against the same DLL (a call that comes while the other thread's is inside is refused
// with 712 at once). In hostile cases every Range member the engine calls (the name lookup,
// Count, Value get and put) may, once it has answered, put a one-row table or none into
// Source.Data or Dest.Data, replace a command line, have another thread call the DLL and wait
// for its answer (712, at once: a wait would be a deadlock), or raise a structured exception
// that the case catches as the host would; an object's release may raise one too. After a
// caught exception the next call must be served as usual.
//
// Many tables live in guarded memory: their cells end where a page no one may touch begins,
// so a write past the end of a caller's array faults on the spot and is reported as a crash.
//
// Checked after every call: the return value is 0 to 3 and the code is one of the statuses
// that return value can carry; LastError and the Status text agree with the code; every cell
// a break-out names lies inside the caller's array; and after a MOVE that completed without
// forbidden changes or skipped copies, the rows are a permutation of the rows before it.
//
// The parent runs the cases in batches, each in a child process of its own; a child that
// crashes reports the seed of the case it was in, and a child that hangs is ended and
// reported with the module and offset where it happened. Usage: robust_test [--cases N]
// [--seed S] [--batch K]; the last line reads "N passed, N failed". With TK_RAW_CRASH set in
// the environment a child leaves a crash to the system (under Wine: a backtrace).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/caller.h"
#include "common/cells.h"
#include "common/host.h"
#include "common/library.h"
#include "common/range_object.h"
#include "protocol/codes.h"
#include "protocol/record.h"
#include "protocol/status.h"

namespace {

using tkr::CopyResult;
using tkr::Shape;
using tkr::TKselectFn;

// ---- random ------------------------------------------------------------------------------

struct Rng {
  std::mt19937 g;
  explicit Rng(std::uint32_t seed) : g(seed) {}
  int Below(int n) { return n <= 0 ? 0 : static_cast<int>(g() % static_cast<unsigned>(n)); }
  int Between(int low, int high) { return low + Below(high - low + 1); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(g) < p; }
  std::int32_t Any() { return static_cast<std::int32_t>(g()); }
};

// ---- calls from inside a call ------------------------------------------------------------

struct Case;

// What a Range or a cell object needs to call back into the DLL while a call is inside.
struct Probe {
  TKselectFn tkselect = nullptr;
  Case* k = nullptr;     // the case this thread runs
  bool inCall = false;   // a call of the case is inside the DLL right now
  bool hostile = false;  // the case's Ranges and objects do what is described above
  bool quiet = false;    // a Range of the case is changing its own cells: no acts meanwhile
};
thread_local Probe t_probe;

// Calls TKselect from inside a call; defined with the case below.
void CallFromInside();
// One hostile act of the caller's code inside a call; defined with the case below.
void HostileAct();
// The chance of a hostile act at each Range member call and object release.
constexpr double kHostileRate = 0.08;

// ---- guarded tables ------------------------------------------------------------------------

// The guarded blocks the running case made, with the cells in each; it frees them when done.
struct GuardedBlock {
  void* base;
  const void* cells;
};
thread_local std::vector<GuardedBlock>* t_guarded = nullptr;

// An empty VARIANT array (bounds left dimension first, as SafeArrayCreate takes them) whose
// cells end exactly where a no-access page begins. It is flagged static and fixed-size, as a
// macro's fixed array is: oleaut32 then clears its cells but never frees or moves the block,
// and the engine may write its cells but must not replace it.
SAFEARRAY* GuardedArray(UINT dimensions, const SAFEARRAYBOUND* bounds) {
  SAFEARRAY* array = nullptr;
  if (FAILED(SafeArrayAllocDescriptorEx(VT_VARIANT, dimensions, &array))) return nullptr;
  std::size_t cells = 1;
  for (UINT d = 0; d < dimensions; ++d) {
    array->rgsabound[d] = bounds[dimensions - 1 - d];  // the descriptor lists them last first
    cells *= bounds[d].cElements;
  }
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const std::size_t page = system.dwPageSize;
  const std::size_t bytes = cells * sizeof(VARIANT);
  const std::size_t span = (bytes + page - 1) / page * page;
  auto* base = static_cast<char*>(
      VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  DWORD old = 0;
  VirtualProtect(base + span, page, PAGE_NOACCESS, &old);
  array->pvData = base + span - bytes;  // zeroed by the system: every cell VT_EMPTY
  array->fFeatures |= FADF_STATIC | FADF_FIXEDSIZE | FADF_VARIANT;
  t_guarded->push_back(GuardedBlock{base, array->pvData});
  return array;
}

// A cell object: answers nothing but counts its references, and frees itself at zero. The
// last release, when it comes inside a call (the engine overwrote or cleared the cell), calls
// the DLL back.
class CellObject final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = --refs_;
    if (left == 0) {
      delete this;
      if (t_probe.inCall) CallFromInside();
      if (t_probe.inCall && t_probe.hostile && !t_probe.quiet && t_probe.k != nullptr) {
        HostileAct();
      }
    }
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    if (n != nullptr) *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** t) override {
    if (t != nullptr) *t = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  LONG refs_ = 1;
};

// A Range that may refuse to be written (the engine must answer 716 and keep the rows), may
// hand out its values in guarded memory, and may call the DLL back whenever its Value is got
// or put, as a worksheet recalculating would.
class FlakyRange final : public tkr::RangeObject {
 public:
  FlakyRange(SAFEARRAY* cells, bool refuseWrites, bool guarded, bool callsBack)
      : RangeObject(cells), refuse_(refuseWrites), guarded_(guarded), callsBack_(callsBack) {}
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    const HRESULT hr = RangeObject::GetIDsOfNames(riid, names, count, lcid, ids);
    MaybeHostile();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argError) override {
    const HRESULT hr = Answer(id, riid, lcid, flags, params, result, exception, argError);
    MaybeHostile();  // once the member has answered: a put has taken its values
    return hr;
  }

 private:
  static void MaybeHostile() {
    if (t_probe.inCall && t_probe.hostile && t_probe.k != nullptr) HostileAct();
  }
  HRESULT Answer(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argError) {
    if (id == kValueId && callsBack_ && t_probe.inCall) CallFromInside();
    if (refuse_ && (flags & DISPATCH_PROPERTYPUT) != 0) return E_FAIL;
    if (id == kValueId && guarded_ && (flags & DISPATCH_PROPERTYGET) != 0 && result != nullptr &&
        cells()->cDims == 2) {
      const tkr::Shape shape = tkr::ShapeOf(cells());
      const SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(shape.rows), shape.firstRow},
                                        {static_cast<ULONG>(shape.columns), shape.firstColumn}};
      SAFEARRAY* copy = GuardedArray(2, bounds);
      for (int r = 0; r < shape.rows; ++r) {
        for (int c = 0; c < shape.columns; ++c) {
          VariantCopy(&tkr::CellAt(copy, shape.firstRow + r, shape.firstColumn + c),
                      &tkr::CellAt(cells(), shape.firstRow + r, shape.firstColumn + c));
        }
      }
      VariantInit(result);
      result->vt = VT_ARRAY | VT_VARIANT;
      result->parray = copy;
      return S_OK;
    }
    // Its old cells are released as a put replaces them: the objects among them must not
    // raise in the middle of that (a host's Range is not the caller's code).
    t_probe.quiet = true;
    const HRESULT hr =
        RangeObject::Invoke(id, riid, lcid, flags, params, result, exception, argError);
    t_probe.quiet = false;
    return hr;
  }

  bool refuse_, guarded_, callsBack_;
};

const wchar_t* const kWords[] = {L"pear",      L"Apple",        L"apple",  L"",
                                 L"Zebra",     L"\u00e9clair",  L"file10", L"file9",
                                 L"  spaced ", L"\u65e5\u672c", L"PEAR"};

VARIANT RandomCell(Rng& r, int palette) {
  VARIANT v;
  VariantInit(&v);
  // Palettes: 0 numbers, 1 text, 2 mixed, 3 anything at all, 4 two values only (keys
  // like that drive the sort to its depth limit on long tables).
  int kind = 0;
  if (palette == 4) {
    v.vt = VT_I4;
    v.lVal = r.Below(2);
    return v;
  }
  switch (palette) {
    case 0: kind = r.Below(5); break;
    case 1: kind = r.Chance(0.9) ? 5 : 6; break;
    case 2: kind = r.Below(8); break;
    default: kind = r.Below(16); break;
  }
  switch (kind) {
    case 0:
      v.vt = VT_I4;
      v.lVal = r.Between(-50, 50);
      break;
    case 1:
      v.vt = VT_R8;
      v.dblVal = r.Between(-1000, 1000) / 8.0;
      break;
    case 2:
      v.vt = VT_DATE;
      v.date = 40000.0 + r.Below(100);
      break;
    case 3:
      v.vt = VT_CY;
      v.cyVal.int64 = r.Between(-100, 100) * 10000LL;
      break;
    case 4:
      v.vt = VT_BOOL;
      v.boolVal = r.Chance(0.5) ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case 5:
      v.vt = VT_BSTR;
      v.bstrVal = SysAllocString(kWords[r.Below(11)]);
      break;
    case 6: break;  // empty
    case 7:
      v.vt = VT_I2;
      v.iVal = static_cast<SHORT>(r.Between(-9, 9));
      break;
    case 8: v.vt = VT_NULL; break;
    case 9:
      v.vt = VT_ERROR;
      v.scode = static_cast<SCODE>(0x800A07FA);
      break;
    case 10: {
      DECIMAL d;
      VarDecFromI4(r.Between(-99, 99), &d);
      v.decVal = d;
      v.vt = VT_DECIMAL;
      break;
    }
    case 11: {
      SAFEARRAYBOUND b = {static_cast<ULONG>(r.Between(0, 3)), 0};
      v.parray = SafeArrayCreate(VT_VARIANT, 1, &b);
      v.vt = VT_ARRAY | VT_VARIANT;
      break;
    }
    case 12:
      v.vt = VT_DISPATCH;
      v.pdispVal = new CellObject();
      break;
    case 13:
      v.vt = 0x7F;
      v.lVal = r.Any();
      break;  // no such type
    case 14:
      v.vt = VT_UI1;
      v.bVal = static_cast<BYTE>(r.Below(256));
      break;
    default:
      v.vt = VT_R4;
      v.fltVal = static_cast<float>(r.Between(-9, 9));
      break;
  }
  return v;
}

SAFEARRAY* RandomTable(Rng& r, bool small, bool guarded = false) {
  const bool oneDimension = r.Chance(0.2);
  int rows = r.Chance(0.6)    ? r.Between(0, 30)
             : r.Chance(0.75) ? r.Between(31, 300)
                              : r.Between(301, 3000);
  if (small) rows = r.Between(0, 40);
  const int columns = oneDimension ? 1 : r.Between(1, 8);
  SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(rows), r.Between(-5, 5)},
                              {static_cast<ULONG>(columns), r.Between(-5, 5)}};
  if (r.Chance(0.01)) {  // three dimensions: refused, never read
    SAFEARRAYBOUND cube[3] = {{2, 0}, {2, 0}, {2, 0}};
    return SafeArrayCreate(VT_VARIANT, 3, cube);
  }
  const UINT dimensions = oneDimension ? 1 : 2;
  SAFEARRAY* table =
      guarded ? GuardedArray(dimensions, bounds) : SafeArrayCreate(VT_VARIANT, dimensions, bounds);
  auto* cells = static_cast<VARIANT*>(table->pvData);
  for (int c = 0; c < columns; ++c) {
    const int palette = r.Chance(0.1) ? 3 : r.Chance(0.1) ? 4 : r.Below(3);
    for (int row = 0; row < rows; ++row) cells[c * rows + row] = RandomCell(r, palette);
  }
  return table;
}

// ---- cells the caller reaches --------------------------------------------------------------

// The shape of a table, or of none: no rows, one column.
Shape ShapeOfData(const VARIANT& data) {
  const SAFEARRAY* array = tkr::CellArray(data);
  return array != nullptr ? tkr::ShapeOf(array) : Shape{0, 0, 1, 1};
}

// The shape of a slot's table: the Range's cells when it has one, else its array.
Shape TableShape(const tk::RangeSlot& slot, const tkr::RangeObject* range) {
  if (range == nullptr) return ShapeOfData(slot.Data);
  VARIANT cells;
  cells.vt = VT_ARRAY | VT_VARIANT;
  cells.parray = range->cells();
  return ShapeOfData(cells);
}

std::string Fingerprint(const VARIANT& v) {
  std::string f = std::to_string(v.vt) + ":";
  if (v.vt == VT_BSTR) {
    if (v.bstrVal != nullptr)
      f.append(reinterpret_cast<const char*>(v.bstrVal), SysStringByteLen(v.bstrVal));
  } else if ((v.vt & VT_ARRAY) != 0) {
    f += v.parray != nullptr ? std::to_string(v.parray->rgsabound[0].cElements) : "null";
  } else if (v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) {
    f += "object";
  } else if (v.vt == VT_DECIMAL) {
    f.append(reinterpret_cast<const char*>(&v.decVal) + 2, sizeof(DECIMAL) - 2);
  } else {
    f.append(reinterpret_cast<const char*>(&v.llVal), sizeof(v.llVal));
  }
  return f;
}

// All rows of the array, each as one string, sorted: equal when one is a permutation of
// the other.
std::vector<std::string> RowMultiset(VARIANT& data) {
  std::vector<std::string> rows;
  SAFEARRAY* array = tkr::CellArray(data);
  if (array == nullptr) return rows;
  const Shape g = tkr::ShapeOf(array);
  for (int r = 0; r < g.rows; ++r) {
    std::string row;
    for (int c = 0; c < g.columns; ++c) {
      row += Fingerprint(tkr::CellAt(array, g.firstRow + r, g.firstColumn + c)) + "|";
    }
    rows.push_back(row);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// ---- one case ------------------------------------------------------------------------------

constexpr std::int32_t kDone = tk::ToCode(tk::Status::Success);
constexpr std::int32_t kCompareBreakOut = tk::ToCode(tk::Status::CompareBreakOut);
constexpr std::int32_t kFirstCopyBreakOut = tk::ToCode(tk::Status::MoveRowBreakOut);
constexpr std::int32_t kLastCopyBreakOut = tk::ToCode(tk::Status::ExportBreakOut);

constexpr std::int32_t kCommands[] = {tk::kSelect,    tk::kBenchmark, tk::kExport, tk::kMove,
                                      tk::kSortIndex, tk::kAbout,     tk::kReset};

bool EndingStatus(std::int32_t code) {
  static const std::int32_t statuses[] = {2,   700, 702, 704, 705, 706, 707, 708, 709,
                                          710, 711, 713, 714, 715, 716, 717, 718};
  return std::find(std::begin(statuses), std::end(statuses), code) != std::end(statuses);
}

std::wstring RandomCommandLine(Rng& r, int fields, bool sortLine, const Shape& source,
                               const Shape& dest) {
  static const wchar_t* const sortWords[] = {
      L"TK_COMPASCAUTO",    L"TK_COMPDESAUTO",    L"TK_COMPBRKO",
      L"TK_COMPASCCASE",    L"TK_COMPDESCASE",    L"TK_COMPASCNATURAL",
      L"TK_COMPDESNATURAL", L"TK_COMPASCNUMTEXT", L"TK_COMPDESNUMTEXT"};
  static const wchar_t* const moveWords[] = {L"TK_MOVEAUTO", L"TK_MOVEBRKO"};
  static const wchar_t* const exportWords[] = {L"TK_EXPORTAUTO", L"TK_EXPORTBRKO"};
  if (r.Chance(0.04)) {  // garbage
    static const wchar_t* const junk[] = {
        L"1 , TK_COMPASCAUTO",
        L"  ",
        L"",
        L"x,y",
        L"1,TK_COMPASCAUTO,2,TK_COMPDESAUTO",
        L"99999999999,TK_MOVEAUTO",
        L"1,TK_EXPORTAUTO",
        L"-1,-1,TK_EXPORTBRKO ,",
        L"1,TK_COMPASCAUTOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOO"};
    return junk[r.Below(9)];
  }
  std::wstring line;
  // Now and then a line of thousands of entries: it must parse and build in linear time.
  const int entries = r.Chance(0.01) ? r.Between(500, 20000) : r.Between(1, 3);
  // Mostly columns inside the tables, so that most lines build; now and then one outside.
  auto column = [&](const Shape& g) {
    return r.Chance(0.96) ? g.firstColumn + r.Below(g.columns)
                          : g.firstColumn + r.Between(-2, g.columns + 1);
  };
  for (int e = 0; e < entries; ++e) {
    line += std::to_wstring(column(source)) + (r.Chance(0.9) ? L"," : L":");
    if (fields == 3) line += std::to_wstring(column(dest)) + L",";
    if (fields == 3) {
      line += exportWords[r.Chance(0.7) ? 0 : 1];
    } else if (fields == 2 && sortLine) {
      // A quarter break-out keys, the rest any of the orders the engine compares itself.
      const int engineWords[] = {0, 1, 3, 4, 5, 6, 7, 8};
      line += r.Chance(0.97) ? sortWords[r.Chance(0.75) ? engineWords[r.Below(8)] : 2]
                             : moveWords[r.Below(2)];
    } else {
      line += r.Chance(0.97) ? moveWords[r.Below(2)] : sortWords[r.Below(9)];
    }
    line += L" ";
  }
  return line;
}

void PutCommand(Rng& r, VARIANT& target, const std::wstring& text, int fields) {
  VariantClear(&target);
  if (r.Chance(0.04)) return;  // no command at all
  if (r.Chance(0.08)) {
    // A caller-built entry array: sometimes of the wrong shape or element type.
    const int elements = r.Between(0, 9);
    SAFEARRAYBOUND b = {static_cast<ULONG>(elements), 0};
    const VARTYPE type = r.Chance(0.8) ? VT_VARIANT : VT_I4;
    SAFEARRAY* a = SafeArrayCreate(type, 1, &b);
    if (type == VT_VARIANT) {
      auto* cells = static_cast<VARIANT*>(a->pvData);
      for (int i = 0; i < elements; ++i) {
        cells[i].vt = VT_I4;
        cells[i].lVal = (i % fields == fields - 1) ? r.Between(0, 4) + (r.Chance(0.5) ? 0 : 500)
                                                   : r.Between(-6, 9);
      }
    }
    target.vt = static_cast<VARTYPE>(VT_ARRAY | type);
    target.parray = a;
    return;
  }
  target.vt = VT_BSTR;
  target.bstrVal = SysAllocString(text.c_str());
}

struct Case {
  Rng r;
  tk::TKCOMM comm{};
  tkr::RangeObject* sourceRange = nullptr;  // owned here; released after the record
  tkr::RangeObject* destRange = nullptr;
  std::vector<std::string> failures;
  tkr::SetAside setAside;
  bool arraysChanged = false;         // the case emptied, replaced or resized an array
  bool aliased = false;               // Dest.Data was set to the source's own array
  tk::TKCOMM inner{};                 // the record of calls made from inside a call
  std::vector<GuardedBlock> guarded;  // guarded blocks of the case's tables
  long nested = 0;                    // calls made from inside a call
  bool companion = false;             // another thread runs a case at the same time
  bool replacedInside = false;        // a hostile act replaced a table during the last call
  long hostileActs = 0;               // hostile acts inside calls, exceptions included
  long caught = 0;                    // calls a structured exception unwound
  long otherThreadCalls = 0;          // calls another thread made while this case was inside

  explicit Case(std::uint32_t seed) : r(seed) { t_guarded = &guarded; }
  ~Case() {
    if (aliased && comm.Dest.Data.vt == comm.Source.Data.vt &&
        comm.Dest.Data.parray == comm.Source.Data.parray) {
      comm.Dest.Data.vt = VT_EMPTY;
    }
    // A table declared fixed is freed with its record, as a macro's is; guarded blocks stay
    // with the case, which frees them once nothing refers to them.
    for (VARIANT* data : {&comm.Source.Data, &comm.Dest.Data}) {
      if (SAFEARRAY* array = tkr::CellArray(*data); array != nullptr && !IsGuarded(array)) {
        array->fFeatures &= static_cast<USHORT>(~(FADF_STATIC | FADF_FIXEDSIZE | FADF_EMBEDDED));
      }
    }
    tkr::ReleaseRecord(comm);
    tkr::ReleaseRecord(inner);
    delete sourceRange;
    delete destRange;
    for (const GuardedBlock& block : guarded) VirtualFree(block.base, 0, MEM_RELEASE);
    t_guarded = nullptr;
  }
  bool IsGuarded(const SAFEARRAY* array) const {
    return std::any_of(guarded.begin(), guarded.end(),
                       [&](const GuardedBlock& b) { return b.cells == array->pvData; });
  }
  void Fail(const std::string& why) { failures.push_back(why); }
};

// A table its owner declared fixed, static or embedded: now and then, on an ordinary one.
void MaybeDeclareFixed(Rng& r, SAFEARRAY* table) {
  static const USHORT kFlags[] = {FADF_FIXEDSIZE, FADF_STATIC, FADF_EMBEDDED};
  if (table != nullptr && r.Chance(0.05)) table->fFeatures |= kFlags[r.Below(3)];
}

void PutTable(Case& k, tk::RangeSlot& slot, tkr::RangeObject*& range, bool small) {
  if (k.r.Chance(0.35)) {
    // A Range answers its cells from 1; give it a 2-D table.
    SAFEARRAY* table = RandomTable(k.r, small);
    if (table->cDims == 2) {
      table->rgsabound[0].lLbound = 1;
      table->rgsabound[1].lLbound = 1;
    }
    range = new FlakyRange(table, k.r.Chance(0.1), k.r.Chance(0.3), k.r.Chance(0.2));
    tkr::PutRangeObject(slot.RangeObj, *range);
    if (k.r.Chance(0.1)) {
      // An array left in Data from before: the read replaces it, unless it is fixed.
      slot.Data.vt = VT_ARRAY | VT_VARIANT;
      slot.Data.parray = RandomTable(k.r, true);
      MaybeDeclareFixed(k.r, slot.Data.parray);
    }
  } else {
    slot.Data.vt = VT_ARRAY | VT_VARIANT;
    slot.Data.parray = RandomTable(k.r, small, k.r.Chance(0.5));
    if (!k.IsGuarded(slot.Data.parray)) MaybeDeclareFixed(k.r, slot.Data.parray);
  }
  slot.HeaderLines = k.r.Chance(0.9) ? k.r.Between(0, 3) : k.r.Between(-2, 5000);
}

// What a buggy macro does between two calls.
bool ForbiddenChange(Case& k) {
  tk::TKCOMM& c = k.comm;
  // Before the source array goes, a destination that is the same array lets go of it.
  if (k.aliased && c.Dest.Data.parray == c.Source.Data.parray) {
    c.Dest.Data.vt = VT_EMPTY;
    k.aliased = false;
  }
  switch (k.r.Below(10)) {
    case 0:
      VariantClear(&c.Source.Data);
      k.arraysChanged = true;
      return true;
    case 1:
      VariantClear(&c.Source.Data);
      c.Source.Data.vt = VT_ARRAY | VT_VARIANT;
      c.Source.Data.parray = RandomTable(k.r, true);
      k.arraysChanged = true;
      return true;
    case 2:
      if (c.Source.Data.vt == (VT_ARRAY | VT_VARIANT) && c.Source.Data.parray != nullptr &&
          c.Source.Data.parray->cDims == 2) {
        SAFEARRAYBOUND b = c.Source.Data.parray->rgsabound[0];
        b.cElements = b.cElements > 1 && k.r.Chance(0.5) ? b.cElements - 1 : b.cElements + 1;
        SafeArrayRedim(c.Source.Data.parray, &b);
      }
      k.arraysChanged = true;
      return true;
    case 3:
      c.SortKeyCount = k.r.Chance(0.5) ? k.r.Between(-3, 30) : k.r.Any();
      return false;  // the rows themselves are not touched
    case 4:
      c.Dest.FirstRow = k.r.Between(-10, 50);
      c.Dest.LastRow = k.r.Between(-10, 5000);
      return false;
    case 5:
      VariantClear(&c.Status);
      c.Status.vt = VT_R8;
      c.Status.dblVal = 12.5;
      VariantClear(&c.Banner);
      c.Banner.vt = VT_I4;
      c.Banner.lVal = k.r.Any();
      return false;
    case 6:
      k.arraysChanged = true;
      VariantClear(&c.Dest.Data);
      if (k.r.Chance(0.5)) {
        c.Dest.Data.vt = VT_ARRAY | VT_VARIANT;
        c.Dest.Data.parray = RandomTable(k.r, true);
      }
      return false;
    case 7:
      c.Source.HeaderLines = k.r.Between(-3, 10);
      c.Dest.HeaderLines = k.r.Between(-3, 10);
      return false;
    case 8: {
      // Every field the engine writes, written back: mostly the values that widen (a flag
      // set to 1, a count raised), as copying an older record would.
      auto flag = [&] { return k.r.Chance(0.7) ? 1 : k.r.Chance(0.5) ? 0 : k.r.Any(); };
      auto count = [&] { return k.r.Chance(0.7) ? k.r.Between(0, 40) : k.r.Any(); };
      c.SortCmdOk = flag();
      c.MoveCmdOk = flag();
      c.ExportCmdOk = flag();
      c.SortKeyCount = count();
      c.MoveMapCount = count();
      c.ExportMapCount = count();
      c.SortIndexValid = flag();
      for (tk::RangeSlot* slot : {&c.Source, &c.Dest}) {
        slot->FromRange = flag();
        slot->Valid = flag();
        slot->RowCount = k.r.Between(-5, 5000);
      }
      c.BrkRowA = count();
      c.BrkRowB = count();
      c.BrkColumn = count();
      c.BrkDestRow = count();
      c.BrkDestColumn = count();
      c.LastError = k.r.Any();
      c.Version = -1.0;
      return false;  // the rows themselves are not touched
    }
    default:
      c.IgnoreEmpty = k.r.Any();
      c.BenchRows = k.r.Between(-5, 4000);
      c.BenchShuffle = k.r.Chance(0.2) ? std::nan("") : k.r.Between(-10, 300) / 10.0;
      return false;
  }
}

// Does what a copy break-out asks, in the caller's arrays; false when the copy was not made.
bool AnswerCopy(Case& k, const tkr::BreakOut& asked) {
  const CopyResult done = tkr::PerformCopy(asked, k.comm, k.setAside);
  if (done == CopyResult::Outside && !k.arraysChanged) {
    k.Fail("copy break-out names a cell outside the arrays");
  }
  // A cell of a type VariantCopy refuses cannot be copied by this caller either: the copy
  // fails and the rows are no longer a permutation, by the caller's doing.
  return done == CopyResult::Done;
}

// What the cases reached, reported by each child so that a run shows it tested something.
struct Stats {
  long calls = 0, breakOuts = 0, movesChecked = 0, nested = 0, threads = 0;
  long hostileActs = 0, caught = 0, otherThreadCalls = 0;
  std::map<std::int32_t, long> codes;
} g_stats;
std::mutex g_statsLock;  // a second thread's case counts into the same figures

void CountCall(std::int32_t code) {
  const std::lock_guard<std::mutex> lock(g_statsLock);
  ++g_stats.calls;
  ++g_stats.codes[code];
}

// A call from inside a call, with a command or an answer, with a record of its own, the outer
// call's record, or none: refused with 712, which only that call's code and record show.
void CallFromInside() {
  Probe& probe = t_probe;
  Case& k = *probe.k;
  static const std::int32_t kCodes[] = {
      tk::kSelect, tk::kBenchmark, tk::kExport, tk::kMove, tk::kSortIndex,
      tk::kAbout,  tk::kReset,     0,           3,         -1};
  std::int32_t code = kCodes[k.r.Below(10)];
  const int which = k.r.Below(3);
  tk::TKCOMM* record = which == 0 ? &k.inner : which == 1 ? &k.comm : nullptr;
  const std::int32_t lastError = k.comm.LastError;
  const VARIANT status = k.comm.Status;
  const std::int32_t returned = probe.tkselect(&code, record);
  ++k.nested;
  const std::int32_t flowError = tk::ToCode(tk::Status::FlowError);
  if (returned != tk::kReturnEnded || code != flowError) {
    k.Fail("a call from inside a call ended with " + std::to_string(code));
  } else if (record == &k.comm) {
    // The outer call's record: a refusal never writes into it.
    if (k.comm.LastError != lastError || k.comm.Status.vt != status.vt ||
        k.comm.Status.bstrVal != status.bstrVal) {
      k.Fail("a call from inside a call wrote into the record of the call inside");
    }
  } else if (record != nullptr && (record->LastError != flowError || record->Status.vt != VT_BSTR ||
                                   std::wstring(record->Status.bstrVal) != L"[712]Flow Error")) {
    k.Fail("a call from inside a call left another text than [712]Flow Error");
  }
}

// Another thread calls the DLL while this one is inside a call, and this one waits for it,
// as the caller's code running on calculation threads would: that call must be refused at
// once with 712, in its own record. A wait would never end.
void CallFromAnotherThread(Case& k) {
  ++k.otherThreadCalls;
  const tkr::OtherCall other =
      tkr::CallOnAnotherThread(t_probe.tkselect, kCommands[k.r.Below(7)], 5000);
  if (!other.answered) {
    k.Fail("a call from another thread waited for the call inside");
  } else if (other.returned != tk::kReturnEnded ||
             other.code != tk::ToCode(tk::Status::FlowError) ||
             other.status != L"[712]Flow Error") {
    k.Fail("a call from another thread while one is inside ended with " +
           std::to_string(other.code));
  }
}

void HostileAct() {
  Case& k = *t_probe.k;
  if (!k.r.Chance(kHostileRate)) return;
  ++k.hostileActs;
  tk::TKCOMM& c = k.comm;
  switch (k.r.Below(5)) {
    case 0:
    case 1: {
      // A one-row table, or none, where a table was: detached before it is released, since
      // the release runs objects' code (this function again, perhaps raising).
      VARIANT& data = k.r.Chance(0.5) ? c.Source.Data : c.Dest.Data;
      VARIANT old = data;
      VariantInit(&data);
      k.arraysChanged = true;
      k.replacedInside = true;
      if (k.r.Chance(0.7)) {
        SAFEARRAYBOUND bounds[2] = {{1, k.r.Between(-1, 1)},
                                    {static_cast<ULONG>(k.r.Between(1, 3)), k.r.Between(-1, 1)}};
        SAFEARRAY* table = SafeArrayCreate(VT_VARIANT, 2, bounds);
        auto* cells = static_cast<VARIANT*>(table->pvData);
        for (ULONG i = 0; i < bounds[1].cElements; ++i) cells[i] = RandomCell(k.r, 2);
        data.vt = VT_ARRAY | VT_VARIANT;
        data.parray = table;
      }
      VariantClear(&old);
      break;
    }
    case 2: {
      const int which = k.r.Below(3);
      VARIANT& line = which == 0 ? c.SortCmd : which == 1 ? c.MoveCmd : c.ExportCmd;
      const int fields = which == 2 ? 3 : 2;
      VARIANT old = line;
      VariantInit(&line);
      PutCommand(k.r, line,
                 RandomCommandLine(k.r, fields, which == 0, ShapeOfData(c.Source.Data),
                                   ShapeOfData(c.Dest.Data)),
                 fields);
      VariantClear(&old);
      break;
    }
    case 3: CallFromAnotherThread(k); break;
    default: tkr::RaiseHostException();
  }
}

std::string Describe(std::int32_t sent, std::int32_t code, std::int32_t rv) {
  return "sent " + std::to_string(sent) + " -> code " + std::to_string(code) + ", return " +
         std::to_string(rv);
}

void RunCase(TKselectFn tkselect, std::uint32_t seed, Case& k) {
  // A case of its own stream, so that the cases that were there before stay what they were.
  t_probe = Probe{tkselect, &k, false, Rng(seed ^ 0x4057113u).Chance(0.3)};
  tk::TKCOMM& c = k.comm;
  PutTable(k, c.Source, k.sourceRange, false);
  if (k.r.Chance(0.7)) PutTable(k, c.Dest, k.destRange, true);
  // The same array in both slots (never with a Range on the source, whose read would destroy
  // it under the destination: a macro cannot make two Variants share one array anyway).
  if (k.r.Chance(0.03) && k.sourceRange == nullptr && k.destRange == nullptr &&
      c.Source.Data.vt == (VT_ARRAY | VT_VARIANT)) {
    VariantClear(&c.Dest.Data);
    c.Dest.Data = c.Source.Data;  // the same array twice: the record must not free it twice
    k.aliased = true;
  }
  const Shape source = TableShape(c.Source, k.sourceRange);
  const Shape dest = TableShape(c.Dest, k.destRange);
  PutCommand(k.r, c.SortCmd, RandomCommandLine(k.r, 2, true, source, dest), 2);
  if (k.r.Chance(0.5))
    PutCommand(k.r, c.MoveCmd, RandomCommandLine(k.r, 2, false, source, dest), 2);
  if (k.r.Chance(0.7))
    PutCommand(k.r, c.ExportCmd, RandomCommandLine(k.r, 3, false, source, dest), 3);
  c.IgnoreEmpty = k.r.Chance(0.3) ? 1 : 0;
  c.BenchRows = k.r.Chance(0.5) ? source.rows : k.r.Between(-5, source.rows + 5);
  c.BenchShuffle = k.r.Between(-10, 30) / 10.0;
  if (k.r.Chance(0.1)) {
    SAFEARRAYBOUND b = {3, 1};
    c.SortIndex = SafeArrayCreate(VT_I4, 1, &b);
    if (k.r.Chance(0.5)) c.SortIndex->fFeatures |= FADF_FIXEDSIZE;
  }
  if (k.r.Chance(0.1)) ForbiddenChange(k);

  // How this case answers break-outs.
  const int answering = k.r.Below(5);  // 0-1 consistent, 2 random, 3 wide, 4 constant
  const std::int32_t constant = k.r.Chance(0.5) ? -1 : 1;
  const double changeRate = k.r.Chance(0.5) ? 0.0 : 0.002;
  const double skipRate = k.r.Chance(0.7) ? 0.0 : 0.01;

  int steps = k.r.Between(2, 12);
  bool moving = false, moveClean = false;
  std::vector<std::string> beforeMove;
  int breakOuts = 0;
  std::int32_t code = 0, rv = 0;
  auto send = [&](std::int32_t sent, bool nullRecord) {
    code = sent;
    t_probe.inCall = true;
    auto call = [&] { rv = tkselect(&code, nullRecord ? nullptr : &c); };
    const bool caught = t_probe.hostile ? tkr::CatchHostException(call) : (call(), false);
    t_probe.inCall = false;
    if (k.replacedInside) {
      moveClean = false;  // the rows to compare are no longer in the table MOVE moved
      k.replacedInside = false;
    }
    if (caught) {
      // The host caught what the caller's code raised: the call never ended, and the order
      // of the rows is the caller's problem now. The next call must be served as usual.
      ++k.caught;
      rv = tk::kReturnEnded;
      code = 0;
      moving = false;
      moveClean = false;
      return;
    }
    CountCall(code);
    const std::string what = Describe(sent, code, rv);
    if (nullRecord) {
      if ((code != tk::ToCode(tk::Status::NullRecord) && !(k.companion && code == 712)) ||
          rv != tk::kReturnEnded) {
        k.Fail("no record: " + what);
      }
      return;
    }
    bool ok = false;
    switch (rv) {
      case 0: ok = EndingStatus(code) || (k.companion && code == 712); break;
      case 1:
        ok = code == kCompareBreakOut || (code >= kFirstCopyBreakOut && code <= kLastCopyBreakOut);
        break;
      case 2: ok = code == kDone || code == tk::ToCode(tk::Status::About); break;
      case 3: ok = code == kDone; break;
      default: break;
    }
    if (!ok) k.Fail("status that this return value never comes with (docs/protocol.md): " + what);
    if (rv != tk::kReturnBreakOut) {
      const std::int32_t lastError = tk::IsError(code) ? code : 0;
      if (c.LastError != lastError)
        k.Fail("LastError " + std::to_string(c.LastError) + ": " + what);
      wchar_t expected[8];
      std::swprintf(expected, 8, L"[%03d]", static_cast<int>(code));
      if (c.Status.vt != VT_BSTR || c.Status.bstrVal == nullptr ||
          std::wstring(c.Status.bstrVal).rfind(expected, 0) != 0) {
        k.Fail("Status text does not start with the code: " + what);
      }
    }
  };

  if (k.r.Chance(0.5)) send(tk::kReset, false);
  // Mostly SELECT, then what uses its order; every command now and then.
  static const std::int32_t kLikely[] = {tk::kSelect, tk::kMove,   tk::kExport, tk::kSortIndex,
                                         tk::kMove,   tk::kExport, tk::kSelect, tk::kBenchmark};
  bool first = true;
  while (steps-- > 0) {
    std::int32_t command = first && k.r.Chance(0.85) ? tk::kSelect
                           : k.r.Chance(0.8)         ? kLikely[k.r.Below(8)]
                                                     : kCommands[k.r.Below(7)];
    first = false;
    if (k.r.Chance(0.1)) command = k.r.Chance(0.5) ? k.r.Between(-3, 3) : k.r.Any();  // a resume
    if (k.r.Chance(0.01)) {
      send(command, true);
      continue;
    }
    if (k.r.Chance(0.05) && ForbiddenChange(k)) moveClean = false;
    if (command == tk::kMove) {
      moving = true;
      moveClean = true;
      beforeMove = RowMultiset(c.Source.Data);
    } else if (tk::IsCommand(command)) {
      moving = false;
    }
    send(command, false);
    while (rv == tk::kReturnBreakOut && breakOuts < 400000) {
      ++breakOuts;
      {
        const std::lock_guard<std::mutex> lock(g_statsLock);
        ++g_stats.breakOuts;
      }
      // What the engine asked, read before the case may scribble over the record.
      const tkr::BreakOut asked = tkr::BreakOutOf(code, c);
      if (k.r.Chance(changeRate) && ForbiddenChange(k)) moveClean = false;
      std::int32_t answer = 0;
      if (code == kCompareBreakOut) {
        VARIANT* a = tkr::CellInside(c.Source.Data, asked.rowA, asked.column);
        VARIANT* b = tkr::CellInside(c.Source.Data, asked.rowB, asked.column);
        if ((a == nullptr || b == nullptr) && !k.failures.empty()) break;
        if (answering <= 1 && a != nullptr && b != nullptr) {
          answer = tkr::SignOf(VarCmp(a, b, LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE));
        } else if (answering == 2) {
          answer = k.r.Between(-1, 1);
        } else if (answering == 3) {
          answer = k.r.Any();
        } else {
          answer = constant;
        }
      } else if (k.r.Chance(skipRate)) {
        moveClean = false;  // the caller skips its copy
      } else if (!AnswerCopy(k, asked)) {
        moveClean = false;
      }
      if (k.r.Chance(0.003)) {
        answer = kCommands[k.r.Below(7)];  // a command instead of an answer
        if (answer == tk::kMove) {
          moving = true;
          moveClean = true;
          beforeMove = RowMultiset(c.Source.Data);
        } else {
          moving = false;
        }
      } else if (tk::IsCommand(answer)) {
        answer = 0;
      }
      send(answer, false);
    }
    if (rv == tk::kReturnBreakOut)
      break;  // break-out budget spent: leave it suspended for the next case
    if (moving && rv == tk::kReturnEnded && code == kDone) {
      if (moveClean) {
        {
          const std::lock_guard<std::mutex> lock(g_statsLock);
          ++g_stats.movesChecked;
        }
        if (RowMultiset(c.Source.Data) != beforeMove) {
          k.Fail("MOVE lost or duplicated rows (seed " + std::to_string(seed) + ")");
        }
      }
      moving = false;
    }
  }
}

// ---- processes -----------------------------------------------------------------------------

std::uint32_t g_currentSeed = 0;
std::uint32_t g_batchStart = 0;

// A child that crashes exits with kCrashBase + the crashing case's offset in its batch, so
// that the parent can report the seed and go on with the next case.
constexpr UINT kCrashBase = 0x10000;

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
  // Where it happened, as a module and an offset in it, and for an access violation the
  // address touched: enough to find the line with the map of the module.
  const EXCEPTION_RECORD* record = info != nullptr ? info->ExceptionRecord : nullptr;
  HMODULE module = nullptr;
  char name[MAX_PATH] = "?";
  if (record != nullptr &&
      GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(record->ExceptionAddress), &module)) {
    GetModuleFileNameA(module, name, MAX_PATH);
  }
  std::printf("CRASH seed=%u exception 0x%08lx in %s+0x%lx, address 0x%lx\n", g_currentSeed,
              record != nullptr ? record->ExceptionCode : 0UL, name,
              record != nullptr ? static_cast<unsigned long>(
                                      reinterpret_cast<std::uintptr_t>(record->ExceptionAddress) -
                                      reinterpret_cast<std::uintptr_t>(module))
                                : 0UL,
              record != nullptr && record->NumberParameters > 1
                  ? static_cast<unsigned long>(record->ExceptionInformation[1])
                  : 0UL);
  std::fflush(stdout);
  TerminateProcess(GetCurrentProcess(), kCrashBase + (g_currentSeed - g_batchStart));
  return EXCEPTION_EXECUTE_HANDLER;
}

// Self-check of the crash reporting: --crash-at S makes the case with seed S fault on purpose.
std::uint32_t g_crashAt = 0;

int RunChild(std::uint32_t seed, std::uint32_t count) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  if (std::getenv("TK_RAW_CRASH") == nullptr) SetUnhandledExceptionFilter(ReportCrash);
  const tkr::Library dll(tkr::kLibraryName);
  const TKselectFn tkselect = dll.entry();
  if (tkselect == nullptr) {
    std::printf("cannot load TKselect from %s\n", tkr::kLibraryName);
    return 255;
  }
  int failed = 0;
  g_batchStart = seed;
  for (std::uint32_t i = 0; i < count; ++i) {
    g_currentSeed = seed + i;
    if (g_crashAt != 0 && g_currentSeed == g_crashAt) {
      volatile int* nowhere = nullptr;
      *nowhere = 1;
    }
    std::vector<std::string> failures;
    {
      // Now and then a second thread runs a case of its own meanwhile: the calls of both go
      // through the one engine, one at a time.
      Rng pick(g_currentSeed ^ 0x5EEDu);
      std::thread companion;
      std::vector<std::string> companionFailures;
      long companionNested = 0;
      if (pick.Chance(0.05)) {
        const std::uint32_t other = g_currentSeed + 0x40000000u;
        companion = std::thread([&, other] {
          Case second(other);
          second.companion = true;
          RunCase(tkselect, other, second);
          companionFailures = second.failures;
          companionNested = second.nested;
        });
      }
      Case k(g_currentSeed);
      k.companion = companion.joinable();
      RunCase(tkselect, g_currentSeed, k);
      failures = k.failures;
      long nested = k.nested;
      if (companion.joinable()) {
        companion.join();
        failures.insert(failures.end(), companionFailures.begin(), companionFailures.end());
        nested += companionNested;
        const std::lock_guard<std::mutex> lock(g_statsLock);
        ++g_stats.threads;
      }
      const std::lock_guard<std::mutex> lock(g_statsLock);
      g_stats.nested += nested;
      g_stats.hostileActs += k.hostileActs;
      g_stats.caught += k.caught;
      g_stats.otherThreadCalls += k.otherThreadCalls;
    }
    if (!failures.empty()) {
      ++failed;
      std::printf("FAIL seed=%u: %s\n", g_currentSeed, failures.front().c_str());
    }
  }
  std::string codes;
  for (const auto& [status, n] : g_stats.codes)
    codes += " " + std::to_string(status) + ":" + std::to_string(n);
  std::printf(
      "stats seeds %u..%u: calls %ld, break-outs %ld, MOVEs checked %ld, nested calls %ld, "
      "cases with a second thread %ld, hostile acts %ld, calls unwound by an exception %ld, "
      "calls from another thread inside a call %ld, codes%s\n",
      seed, seed + count - 1, g_stats.calls, g_stats.breakOuts, g_stats.movesChecked,
      g_stats.nested, g_stats.threads, g_stats.hostileActs, g_stats.caught,
      g_stats.otherThreadCalls, codes.c_str());
  std::fflush(stdout);
  return failed < 250 ? failed : 250;
}

// Runs `count` cases from `seed` in a child; returns its exit code, or -1 for a hang.
long RunBatch(std::uint32_t seed, std::uint32_t count, DWORD timeoutMs) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\" --child --seed " + std::to_string(seed) +
                        " --count " + std::to_string(count) + " --crash-at " +
                        std::to_string(g_crashAt);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -2;
  }
  long exitCode = -1;
  if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 0xDEAD);
  } else {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    exitCode = static_cast<long>(code);
  }
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t cases = 10000, seed = 1, batch = 250, count = 0;
  bool child = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() {
      return i + 1 < argc ? static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10)) : 0u;
    };
    if (arg == "--child")
      child = true;
    else if (arg == "--cases")
      cases = next();
    else if (arg == "--seed")
      seed = next();
    else if (arg == "--batch")
      batch = std::max(1u, next());
    else if (arg == "--count")
      count = next();
    else if (arg == "--crash-at")
      g_crashAt = next();
  }
  if (child) return RunChild(seed, count);

  std::uint32_t failed = 0, crashed = 0, hung = 0;
  const std::uint32_t end = seed + cases;
  for (std::uint32_t start = seed; start < end;) {
    const std::uint32_t n = std::min(batch, end - start);
    const long exitCode = RunBatch(start, n, 600000);
    if (exitCode >= 0 && exitCode <= 250) {
      failed += static_cast<std::uint32_t>(exitCode);
      start += n;
    } else if (exitCode >= static_cast<long>(kCrashBase) &&
               exitCode < static_cast<long>(kCrashBase + n)) {
      // The child printed the crashing seed; go on right after it.
      ++crashed;
      ++failed;
      start += static_cast<std::uint32_t>(exitCode - static_cast<long>(kCrashBase)) + 1;
    } else {
      if (exitCode == -1) {
        ++hung;
        std::printf("HANG in seeds %u..%u\n", start, start + n - 1);
      } else {
        std::printf("child for seeds %u..%u ended with 0x%lx\n", start, start + n - 1,
                    static_cast<unsigned long>(exitCode));
      }
      failed += n;
      start += n;
    }
  }
  std::printf("cases %u, seeds %u..%u, crashes %u, hangs %u\n", cases, seed, seed + cases - 1,
              crashed, hung);
  std::printf("%u passed, %u failed\n", cases - failed, failed);
  return failed == 0 ? 0 : 1;
}

// Platform facade: what the engine needs from Windows and OLE Automation.
//
// Offered:
//   heap      Alloc / AllocZeroed / Free: the C heap.
//   counting  Every heap block, array and new string the engine makes goes through here
//             and is counted (Counters), so that tests see leaks; test builds
//             (TK_FAULT_INJECTION) can also make the k-th allocation fail
//             (FailAllocationAt), reallocations of Banner/Status and the growth of an
//             entry array included. Strings that VariantCopy makes in the caller's own
//             cells (EXPORT, the benchmark's mixing) are the caller's and not counted.
//   strings   ReplaceText: store a text in a caller's string VARIANT (Banner, Status),
//             reusing its BSTR where it holds one.
//   cells     CompareCells (VarCmp), ClearCell, PutCell and ReplaceCell (VariantCopy;
//             write first, release after), AsInt32.
//   arrays    CreateVariantVector / ResizeVector / DestroyArray: SAFEARRAYs
//             the engine creates (entry arrays) or must replace (Range reads).
//   text      ToAnsiText: a caller's UTF-16 text in the process's ANSI code page;
//             TextSortKey: the system locale's sort key of a text under the flags of a sort
//             key; CompareTexts: the order of two texts under those flags, as VarCmp's;
//             TextAsNumber: the number a text reads as.
//   objects   InvokeByName: a late-bound property call on an IDispatch.
//   calls     EnterCall / LeaveCall: one call of TKselect at a time in the process, and
//             nobody waits for it; a call inside whose thread has gone is taken over;
//             BeginRefusalWrite: a refused call never writes into the record of the call
//             inside; HoldReference / GiveBackHeld: what a call holds while it runs is given
//             back however it ends; RunGuarded: a call whose stack a structured exception
//             unwinds (raised in the caller's code, caught by the host) still ends cleanly.
//   time      LocalNowOleDate, OleDateYear, TickCount; a test clock can replace the
//             real one (SetTestClock) so that time windows are tested without sleeping.
//
// Nothing here keeps state besides the counters, the call's owner, record and holdings, the
// records refusals are writing into, and the test hooks, which
// the DLL never sets. All functions are noexcept: failure is a return value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ole.h"

namespace tk::platform {

// ---- heap -------------------------------------------------------------------------------

// Uninitialised block, or nullptr (also when a test made this allocation fail).
void* Alloc(std::size_t bytes) noexcept;
// Zero-filled block of count * size bytes, or nullptr (also on overflow of the product).
void* AllocZeroed(std::size_t count, std::size_t size) noexcept;
// Frees a block from Alloc/AllocZeroed; nullptr is ignored.
void Free(void* block) noexcept;

struct HeapCounters {
  std::int64_t allocations;      // successful Alloc/AllocZeroed calls since load
  std::int64_t frees;            // Free calls with a non-null block
  std::int64_t arraysCreated;    // SAFEARRAYs created through CreateVariantVector/CreateArray
  std::int64_t arraysDestroyed;  // SAFEARRAYs destroyed through DestroyArray
  std::int64_t strings;          // BSTRs allocated for the caller (texts, generated words)
};
HeapCounters Counters() noexcept;

#ifdef TK_FAULT_INJECTION
// Test hook: the nth allocation of any kind from now (1 = the next one) fails; 0 switches
// it off. Only test builds have it: the DLL cannot be made to fail on purpose.
void FailAllocationAt(std::int64_t nth) noexcept;
#endif

// A new BSTR holding `text` for a caller's cell or field; nullptr when memory is short.
BSTR AllocString(const wchar_t* text) noexcept;

// ---- strings ------------------------------------------------------------------------------

// Makes `field` a VT_BSTR holding `text`.
// [in/out] field: caller-owned. A VT_BSTR is reallocated in place (its buffer reused);
//   VT_EMPTY gets a new string whatever its value bits hold; any other content is
//   replaced by the new string and released after (PutCell's order), so a stray number or
//   object reference is never taken for a string, and an object's release finds the text
//   already in place.
// Returns false when memory is short; the field then holds what it held, or, where it
//   held something other than a string, VT_EMPTY.
bool ReplaceText(VARIANT& field, const wchar_t* text) noexcept;

// ---- cells --------------------------------------------------------------------------------

// VarCmp(a, b) with the system locale, case-insensitive unless `flags` say otherwise (see
// kTextIgnoreCase below): VARCMP_LT 0, VARCMP_EQ 1, VARCMP_GT 2, VARCMP_NULL 3, or a failure
// HRESULT. Both cells are read in place.
inline HRESULT CompareCells(VARIANT* a, VARIANT* b,
                            std::uint32_t flags = NORM_IGNORECASE) noexcept {
  return VarCmp(a, b, LOCALE_SYSTEM_DEFAULT, flags);
}
// VariantClear: releases the cell's content and leaves it VT_EMPTY. For the engine's own
// values; a caller's field is emptied with ReleaseField.
inline HRESULT ClearCell(VARIANT* cell) noexcept {
  return VariantClear(cell);
}
// Empties a caller's field: detached first (VT_EMPTY), then what it held is released. The
// release can run the caller's code (an object's last reference), which then finds the field
// empty instead of a value on its way to being freed, and cannot release it a second time.
void ReleaseField(VARIANT& field) noexcept;
// Stores `value` (the engine's to give away) into a caller's `cell`, then releases what the
// cell held. Releasing an object's last reference runs the caller's code, which may resize or
// replace the very array the cell is in; done last, it can no longer make the write land in
// freed memory. The engine checks the arrays again before its next write.
void PutCell(VARIANT* cell, const VARIANT& value) noexcept;
// VariantCopy in that safe order: `source` copied aside (a string as a new string), stored
// into `dest` with PutCell. Returns VariantCopy's failure with `dest` untouched.
HRESULT ReplaceCell(VARIANT* dest, const VARIANT* source) noexcept;
// The cell's value converted to a 32-bit integer; false when it does not convert.
bool AsInt32(const VARIANT& cell, std::int32_t& value) noexcept;

// ---- arrays -------------------------------------------------------------------------------

// A one-dimensional VARIANT array, lower bound 0, `count` VT_EMPTY elements; nullptr when
// memory is short.
SAFEARRAY* CreateVariantVector(std::uint32_t count) noexcept;
// SafeArrayCreate: a new array of `type` with `dimensions` bounds (left dimension first);
// nullptr when memory is short.
SAFEARRAY* CreateArray(VARTYPE type, UINT dimensions, SAFEARRAYBOUND* bounds) noexcept;
// Resizes a one-dimensional array created by CreateVariantVector to `count` elements.
bool ResizeVector(SAFEARRAY* array, std::uint32_t count) noexcept;
// SafeArrayDestroy: frees the array and the VARIANTs in it. Fails (returns the HRESULT)
// for a locked array or one the caller declared with fixed bounds.
HRESULT DestroyArray(SAFEARRAY* array) noexcept;

// True when the array's elements are 16-byte VARIANTs: FADF_VARIANT, or a stored element
// type of VT_VARIANT (arrays from SafeArrayAllocDescriptorEx carry only the latter on some
// systems). A 16-byte DECIMAL or record array is not one.
bool HoldsVariants(const SAFEARRAY& array) noexcept;

// ---- text ---------------------------------------------------------------------------------

// Converts the first `length` characters of `text` (up to its first NUL) to the ANSI code
// page, with a terminator, into a block from Alloc that the caller frees with Free. Characters
// the code page lacks become its default character. nullptr for a null text or when memory is
// short.
char* ToAnsiText(const wchar_t* text, std::size_t length) noexcept;

// The flags of the system locale's string comparison that the sort keys choose from:
// VarCmp's own is kTextIgnoreCase; without it lower case comes before upper case where the
// letters are equal; kTextDigitsAsNumbers compares runs of digits by their value.
constexpr std::uint32_t kTextIgnoreCase = NORM_IGNORECASE;
constexpr std::uint32_t kTextDigitsAsNumbers = 0x8;  // SORT_DIGITSASNUMBERS

// The system locale's sort key of the `length` characters at `text` under `flags`
// (LCMapStringEx with LCMAP_SORTKEY): byte strings that order, compared byte by byte with the
// shorter first on a tie, as CompareTexts with the same flags orders the texts. Writes at most
// `capacity` bytes to `key`.
// Returns the key's length in bytes, its final zero included; 0 when it does not fit, with
// `needed` its length (0 too when the text has no key at all).
std::uint32_t TextSortKey(const wchar_t* text, std::uint32_t length, std::uint32_t flags,
                          unsigned char* key, std::uint32_t capacity,
                          std::uint32_t& needed) noexcept;

// The order of two texts as VarCmp orders two strings, under `flags` in place of its
// NORM_IGNORECASE: a null string is an empty one, and one that is empty or starts with a NUL
// comes before any other (two of them by length); any other pair goes to the system locale's
// string comparison (CompareStringEx) with both whole lengths. VARCMP_LT, VARCMP_EQ,
// VARCMP_GT, or the failure the comparison reports.
HRESULT CompareTexts(BSTR a, BSTR b, std::uint32_t flags) noexcept;

// The number the system locale reads in `text` (VarR8FromStr); false when it reads none.
bool TextAsNumber(BSTR text, double& value) noexcept;

// ---- objects ------------------------------------------------------------------------------

// A late-bound call of `member` on `object`: the DISPID is looked up by name (user locale)
// on every call, the arguments are passed in reverse order as IDispatch expects, a property
// put names DISPID_PROPERTYPUT, and Invoke runs with the system locale.
// [out] result: may be nullptr (no result wanted). [in] args: borrowed, shallow-copied.
// Returns Invoke's HRESULT, or the lookup's on failure, or E_POINTER for a null object.
HRESULT InvokeByName(VARIANT* result, WORD flags, IDispatch* object, const wchar_t* member,
                     std::uint32_t argCount, const VARIANT* args) noexcept;

// ---- calls --------------------------------------------------------------------------------

// Claims the library for the calling thread, with `record` (the caller's record, or nullptr) as
// the record the call works on; false when a call is inside already, on this thread (the
// caller's code, run by a Range or a release, calling back) or on another, and also when a
// refused call is writing its 712 into `record` at this moment. The engine, its texts and the
// counters above are one per process, so one call at a time gets in, and nobody waits for the
// one inside: waiting could hang the host for good, for the call inside may be running the
// caller's code (a recalculation on calculation threads, an event) that itself waits for the
// thread now calling.
// A call inside whose thread has ended (ExitThread in the caller's code, or the thread
// terminated from outside) never leaves: the first call that finds it gone takes the library
// over, runs `dropGoneCall` (which drops that call's work and gives back what it held, as
// after an exception) and gets in.
bool EnterCall(const void* record, void (*dropGoneCall)()) noexcept;
// Gives the library back after EnterCall. Has no effect unless this thread holds it, so it is
// safe twice.
void LeaveCall() noexcept;
// True when the calling thread holds the library.
bool OwnsCall() noexcept;

// A refused call may write its 712 into its own record only while no call works on that
// record: BeginRefusalWrite claims `record` for the refusal (a call that comes with it in the
// meantime is refused too) and answers true when the call inside works on another record (or
// none); false when the call inside works on `record` or another refusal is writing into it,
// and the refusal then writes its code alone. [out] slot: what EndRefusalWrite takes.
bool BeginRefusalWrite(const void* record, int& slot) noexcept;
void EndRefusalWrite(int slot) noexcept;

// What a call holds only while it runs: a reference of its own to a caller's object, a block
// for the arguments of a dispatch call. Each is noted when taken and crossed off when given
// back, so that a call that never gets to give it back (an exception unwound it, its thread
// ended) leaves it to GiveBackHeld, which the one who drops that call runs. Only the thread
// that holds the library (or one that took it over from a thread that has gone) uses these.
void HoldReference(IDispatch* object) noexcept;  // AddRef, noted
void DropReference(IDispatch* object) noexcept;  // crossed off, then Release
// Releases every reference and frees every block still noted, the last taken first.
void GiveBackHeld() noexcept;

using GuardedBody = std::int32_t (*)(void* context);
using UnwindHandler = void (*)(void* context);

// Returns body(context). When a structured exception raised below (in the caller's code that
// a Range method or a release runs) is caught by a handler above, the stack is unwound past
// this frame without any code of ours running to its end: onUnwind(context) then runs first,
// on the unwinding thread, and the exception goes on to its handler. Destructors are no help
// there: the 32-bit build's frames are invisible to the system's unwinder, and the 64-bit
// one skips them for an exception that is not C++'s. The exception is never stopped here:
// it is the host's.
std::int32_t RunGuarded(GuardedBody body, UnwindHandler onUnwind, void* context) noexcept;

// ---- time ---------------------------------------------------------------------------------

// Current local date and time as an OLE Automation date (days since 1899-12-30).
double LocalNowOleDate() noexcept;
// Calendar year of an OLE Automation date, or -1 when it is not a valid date.
int OleDateYear(double oleDate) noexcept;
// Milliseconds since system start (wraps after 49.7 days, as GetTickCount does).
std::uint32_t TickCount() noexcept;

// Seeds the C runtime's rand with the calendar time in seconds.
void SeedRandom() noexcept;
// The C runtime's rand: 0 to 32767.
int Random() noexcept;

// Test clock: while set, LocalNowOleDate, TickCount and the seed of SeedRandom answer
// from it.
struct TestClock {
  double oleNow;
  std::uint32_t ticks;
  std::int64_t calendarSeconds;
};
void SetTestClock(const TestClock* clock) noexcept;  // nullptr returns to the real clock

}  // namespace tk::platform

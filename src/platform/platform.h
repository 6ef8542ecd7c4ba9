// Platform facade: what the engine needs from Windows and OLE Automation, one header per API
// family. Engine code includes this one header; the families stand in their own:
//
//   heap.h         Alloc / AllocZeroed / Free: the C heap. Every heap block, array and new
//                  string the engine makes is counted (Counters), so that tests see leaks;
//                  test builds (TK_FAULT_INJECTION) can also make the k-th allocation fail
//                  (FailAllocationAt), reallocations of Banner/Status and the growth of an
//                  entry array included. Strings that VariantCopy makes in the caller's own
//                  cells (EXPORT, the benchmark's mixing) are the caller's and not counted.
//   automation.h   strings: AllocString, and ReplaceText, which stores a text in a caller's
//                  string VARIANT (Banner, Status), reusing its BSTR where it holds one;
//                  cells: CompareCells (VarCmp), ClearCell, PutCell and ReplaceCell
//                  (VariantCopy; write first, release after), AsInt32; arrays:
//                  CreateVariantVector / ResizeVector / DestroyArray: SAFEARRAYs the engine
//                  creates (entry arrays) or must replace (Range reads); objects:
//                  InvokeByName, a late-bound property call on an IDispatch.
//   locale_text.h  ToAnsiText: a caller's UTF-16 text in the process's ANSI code page;
//                  TextSortKey: the system locale's sort key of a text under the flags of a
//                  sort key; CompareTexts: the order of two texts under those flags, as
//                  VarCmp's; TextAsNumber: the number a text reads as.
//   call_guard.h   EnterCall / LeaveCall: one call of TKselect at a time in the process, and
//                  nobody waits for it; a call inside whose thread has gone is taken over;
//                  BeginRefusalWrite: a refused call never writes into the record of the call
//                  inside; HoldReference / GiveBackHeld: what a call holds while it runs is
//                  given back however it ends; RunGuarded: a call whose stack a structured
//                  exception unwinds (raised in the caller's code, caught by the host) still
//                  ends cleanly, with its exception frame written for each architecture.
//   clock.h        LocalNowOleDate, OleDateYear, TickCount, SeedRandom, Random; a test clock
//                  can replace the real one (SetTestClock) so that time windows are tested
//                  without sleeping.
//   threads.h      RunBoth: two pieces of work at once, one on a thread of its own and one on
//                  the calling thread (both in turn when no thread can be had); used to make a
//                  large column's sort keys in two halves.
//
// Nothing here keeps state besides the counters, the call's owner, record and holdings, the
// records refusals are writing into, and the test hooks, which the DLL never sets. All functions
// are noexcept: failure is a return value. src/platform is the only place that includes <windows.h>
// and <oleauto.h> (ole.h).
#pragma once

#include "platform/automation.h"
#include "platform/call_guard.h"
#include "platform/clock.h"
#include "platform/heap.h"
#include "platform/locale_text.h"
#include "platform/ole.h"
#include "platform/threads.h"

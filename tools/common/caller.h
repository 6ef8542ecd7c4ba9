// Caller: plays the macro's part of the call protocol.
//
// Run(command) calls TKselect and, for as long as the call returns 1, does what the
// break-out asks and calls again:
//   3    asks `compare` for -1, 0 or 1 (by default: VarCmp on the two cells of BrkColumn in
//        Source.Data, case-insensitive ascending, the way a macro's own rule would);
//   202  sets cell (BrkRowA, BrkColumn) of Source.Data aside;
//   201  copies cell (BrkRowA, BrkColumn) into (BrkRowB, BrkColumn) of Source.Data;
//   203  puts the value set aside for BrkColumn into (BrkRowB, BrkColumn);
//   204  copies Source (BrkRowA, BrkColumn) into Dest (BrkDestRow, BrkDestColumn).
// Every break-out is recorded in `seen`, so whole sequences can be compared. PerformCopy is
// the copying part on its own, for programs that drive the calls themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "common/cells.h"
#include "protocol/codes.h"
#include "protocol/record.h"
#include "protocol/status.h"

namespace tkr {

struct BreakOut {
  std::int32_t code;
  std::int32_t rowA, rowB, column, destRow, destColumn;
  bool operator==(const BreakOut& o) const {
    return code == o.code && rowA == o.rowA && rowB == o.rowB && column == o.column &&
           destRow == o.destRow && destColumn == o.destColumn;
  }
};

// The break-out `code` as the record describes it.
BreakOut BreakOutOf(std::int32_t code, const tk::TKCOMM& comm);

// The values a MOVE cycle sets aside (202) until it puts them back (203), by column.
class SetAside {
 public:
  SetAside() = default;
  ~SetAside() { Clear(); }
  SetAside(const SetAside&) = delete;
  SetAside& operator=(const SetAside&) = delete;
  VARIANT& operator[](std::int32_t column) { return kept_[column]; }  // VT_EMPTY when new
  void Clear();

 private:
  std::map<std::int32_t, VARIANT> kept_;
};

enum class CopyResult {
  Done,     // the copy is made
  Outside,  // a cell it names lies outside the caller's arrays: nothing written
  Failed,   // VariantCopy refused (a cell of a type it cannot copy)
  Unknown,  // not a copy break-out
};

// Carries out the copy break-out `b` (201-204) in the record's arrays, as a macro does.
// Outside when any cell it names (both rows of a MOVE step, the source and the destination
// cell of an EXPORT step) lies outside the arrays.
CopyResult PerformCopy(const BreakOut& b, tk::TKCOMM& comm, SetAside& setAside);

// A comparison's HRESULT as a caller answers it: -1 for VARCMP_LT, 1 for VARCMP_GT, 0 for
// equal and for anything else (a failure, VARCMP_NULL).
std::int32_t SignOf(HRESULT comparison);

// The default comparison of a caller: VarCmp (system locale, case-insensitive) on the two
// cells of BrkColumn in Source.Data, mapped to -1, 0, 1.
std::int32_t CompareCellsAscending(const BreakOut& b, tk::TKCOMM& comm);

class Caller {
 public:
  using CallFn = std::function<std::int32_t(std::int32_t*, tk::TKCOMM*)>;
  using CompareFn = std::function<std::int32_t(const BreakOut&, tk::TKCOMM&)>;

  explicit Caller(CallFn call);

  // Sends `command` and answers break-outs until the command ends, or until more than
  // `breakOutLimit` came (then it stops answering; `limitHit` tells). Returns the final
  // code; `lastReturn` holds the last return value.
  std::int32_t Run(std::int32_t command, tk::TKCOMM& comm);

  // One raw call: `code` in, code out.
  std::int32_t Send(std::int32_t& code, tk::TKCOMM& comm);

  CompareFn compare;  // answers code 3
  // When set, runs at every break-out before it is answered: what a macro may do between
  // two calls.
  std::function<void(const BreakOut&, tk::TKCOMM&)> beforeAnswer;
  std::vector<BreakOut> seen;
  std::int32_t lastReturn = 0;
  std::size_t breakOutLimit = 50'000'000;
  bool limitHit = false;
  int calls = 0;

 private:
  CallFn call_;
  SetAside setAside_;
};

}  // namespace tkr

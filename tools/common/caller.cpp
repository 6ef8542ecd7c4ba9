#include "common/caller.h"

#include <utility>

namespace tkr {

VARIANT& CellAt(SAFEARRAY* array, std::int32_t row, std::int32_t column) {
  // The descriptor lists the last dimension first: entry 0 is the columns of a 2-D array.
  auto* cells = static_cast<VARIANT*>(array->pvData);
  if (array->cDims == 1) return cells[row - array->rgsabound[0].lLbound];
  const std::int32_t rows = static_cast<std::int32_t>(array->rgsabound[1].cElements);
  return cells[(column - array->rgsabound[0].lLbound) * rows + (row - array->rgsabound[1].lLbound)];
}

Caller::Caller(CallFn call) : compare(CompareCellsAscending), call_(std::move(call)) {}

std::int32_t Caller::Send(std::int32_t& code, tk::TKCOMM& comm) {
  ++calls;
  lastReturn = call_(&code, &comm);
  return code;
}

std::int32_t Caller::Run(std::int32_t command, tk::TKCOMM& comm) {
  std::int32_t code = command;
  Send(code, comm);
  while (lastReturn == tk::kReturnBreakOut) {
    if (seen.size() >= breakOutLimit) {
      limitHit = true;
      break;
    }
    const BreakOut b{code,           comm.BrkRowA,    comm.BrkRowB,
                     comm.BrkColumn, comm.BrkDestRow, comm.BrkDestColumn};
    seen.push_back(b);
    std::int32_t answer = 0;
    if (b.code == tk::ToCode(tk::Status::CompareBreakOut)) {
      answer = compare(b, comm);
    } else {
      Perform(b, comm);
    }
    code = answer;
    Send(code, comm);
  }
  for (auto& kept : setAside_) VariantClear(&kept.second);
  setAside_.clear();
  return code;
}

void Caller::Perform(const BreakOut& b, tk::TKCOMM& comm) {
  SAFEARRAY* source = comm.Source.Data.parray;
  switch (static_cast<tk::Status>(b.code)) {
    case tk::Status::MoveStartBreakOut: {
      // A new map entry is value-initialised (VT_EMPTY); VariantCopy clears an old one.
      VariantCopy(&setAside_[b.column], &CellAt(source, b.rowA, b.column));
      break;
    }
    case tk::Status::MoveRowBreakOut:
      VariantCopy(&CellAt(source, b.rowB, b.column), &CellAt(source, b.rowA, b.column));
      break;
    case tk::Status::MoveCloseBreakOut:
      VariantCopy(&CellAt(source, b.rowB, b.column), &setAside_[b.column]);
      break;
    case tk::Status::ExportBreakOut:
      VariantCopy(&CellAt(comm.Dest.Data.parray, b.destRow, b.destColumn),
                  &CellAt(source, b.rowA, b.column));
      break;
    default: break;  // not a break-out this caller knows; answering 0 lets the engine go on
  }
}

std::int32_t CompareCellsAscending(const BreakOut& b, tk::TKCOMM& comm) {
  SAFEARRAY* source = comm.Source.Data.parray;
  const HRESULT r = VarCmp(&CellAt(source, b.rowA, b.column), &CellAt(source, b.rowB, b.column),
                           LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE);
  if (r == VARCMP_LT) return -1;
  if (r == VARCMP_GT) return 1;
  return 0;
}

}  // namespace tkr

#include "common/caller.h"

#include <utility>

namespace tkr {

BreakOut BreakOutOf(std::int32_t code, const tk::TKCOMM& comm) {
  return BreakOut{code,           comm.BrkRowA,    comm.BrkRowB,
                  comm.BrkColumn, comm.BrkDestRow, comm.BrkDestColumn};
}

void SetAside::Clear() {
  for (auto& kept : kept_) VariantClear(&kept.second);
  kept_.clear();
}

CopyResult PerformCopy(const BreakOut& b, tk::TKCOMM& comm, SetAside& setAside) {
  const auto kind = static_cast<tk::Status>(b.code);
  if (kind != tk::Status::MoveStartBreakOut && kind != tk::Status::MoveRowBreakOut &&
      kind != tk::Status::MoveCloseBreakOut && kind != tk::Status::ExportBreakOut) {
    return CopyResult::Unknown;
  }
  // Every cell the break-out names, whether or not this copy reads it.
  VARIANT* rowA = CellInside(comm.Source.Data, b.rowA, b.column);
  VARIANT* rowB = kind == tk::Status::ExportBreakOut
                      ? CellInside(comm.Dest.Data, b.destRow, b.destColumn)
                      : CellInside(comm.Source.Data, b.rowB, b.column);
  if (rowA == nullptr || rowB == nullptr) return CopyResult::Outside;

  HRESULT hr = S_OK;
  switch (kind) {
    case tk::Status::MoveStartBreakOut: hr = VariantCopy(&setAside[b.column], rowA); break;
    case tk::Status::MoveCloseBreakOut: hr = VariantCopy(rowB, &setAside[b.column]); break;
    default: hr = VariantCopy(rowB, rowA); break;  // 201 within the source, 204 into Dest
  }
  return SUCCEEDED(hr) ? CopyResult::Done : CopyResult::Failed;
}

std::int32_t SignOf(HRESULT comparison) {
  return comparison == VARCMP_LT ? -1 : comparison == VARCMP_GT ? 1 : 0;
}

std::int32_t CompareCellsAscending(const BreakOut& b, tk::TKCOMM& comm) {
  SAFEARRAY* source = comm.Source.Data.parray;
  return SignOf(VarCmp(&CellAt(source, b.rowA, b.column), &CellAt(source, b.rowB, b.column),
                       LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE));
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
    const BreakOut b = BreakOutOf(code, comm);
    seen.push_back(b);
    if (beforeAnswer) beforeAnswer(b, comm);
    std::int32_t answer = 0;
    if (b.code == tk::ToCode(tk::Status::CompareBreakOut)) {
      answer = compare(b, comm);
    } else {
      // A break-out this caller does not know, or a copy it cannot make, is answered all
      // the same: the engine goes on.
      (void)PerformCopy(b, comm, setAside_);
    }
    code = answer;
    Send(code, comm);
  }
  setAside_.Clear();
  return code;
}

}  // namespace tkr

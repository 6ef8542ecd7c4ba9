// The protocol driver of the tools, bound to an Engine object for tests.
#pragma once

#include <vector>

#include "common/caller.h"
#include "entry/engine.h"

namespace tkt {

// Positions 1..n of the engine's row index: the order of the last SELECT.
inline std::vector<std::int32_t> Order(const tk::Engine& engine) {
  const tk::Selection& s = engine.selection;
  std::vector<std::int32_t> out;
  for (std::uint32_t j = 1; j + 1 < s.RowIndexLength; ++j) out.push_back(s.RowIndex[j]);
  return out;
}

// What SELECT answers when its set-up succeeded and the sort completed.
constexpr std::int32_t kSelected = 2;

// One SELECT call on `comm` with no caller behind it to answer a break-out; the code it ends
// with.
inline std::int32_t Select(tk::Engine& engine, tk::TKCOMM& comm) {
  std::int32_t code = tk::kSelect;
  engine.Call(&code, &comm);
  return code;
}

using tkr::BreakOut;
using tkr::CompareCellsAscending;

class Caller : public tkr::Caller {
 public:
  explicit Caller(tk::Engine& engine)
      : tkr::Caller(
            [&engine](std::int32_t* code, tk::TKCOMM* comm) { return engine.Call(code, comm); }) {}
  using tkr::Caller::Caller;
};

}  // namespace tkt

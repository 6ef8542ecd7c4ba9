// The protocol driver of the tools, bound to an Engine object for tests.
#pragma once

#include "common/caller.h"
#include "entry/engine.h"

namespace tkt {

using tkr::BreakOut;
using tkr::CompareCellsAscending;

class Caller : public tkr::Caller {
 public:
  explicit Caller(tk::Engine& engine)
      : tkr::Caller([&engine](std::int32_t* code, tk::TKCOMM* comm) {
          return engine.Call(code, comm);
        }) {}
  using tkr::Caller::Caller;
};

}  // namespace tkt

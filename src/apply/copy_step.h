// The copy step shared by MOVE and EXPORT.
//
// One copy step handles one row: its columns in ascending order, each either done by the
// engine or handed to the caller as a copy break-out (201, 202, 203 for MOVE, 204 for
// EXPORT) with BrkRowA/BrkRowB/BrkColumn. The caller's next call (any code that is not a
// command) goes on with the next column (ResumeCopy). When every column is done,
// ResumeState becomes Then and the operation continues where it set up the step.
//
// Legal order: Begin at the start of MOVE or EXPORT (before its refusals, so that a resume
// knows whose step it would be), then StartCopy for each row, ResumeCopy after each copy
// break-out.
//
// What the engine does for its own columns:
//   EXPORT (204)  VariantCopy from the source cell into the mapped destination cell. A copy
//                 that fails ends EXPORT with 705 rather than leave a cell unexported while
//                 reporting success; the source is never changed.
//   MOVE   (201)  exchanges the two rows' cells (the VARIANTs' bits, ownership included).
//                 Following a cycle by exchanges leaves the row that started it in the
//                 last row filled, so the 202 and 203 steps, which go through the
//                 caller's set-aside value, have nothing to do here. No cell is ever
//                 copied: nothing is allocated, nothing can fail, and at every break-out
//                 the engine's columns hold each original cell exactly once.
#pragma once

#include <cstdint>

#include "input/selection.h"
#include "protocol/step.h"

namespace tk {

struct CopyStep {
  std::int32_t CurrentOp = 0;              // 102 MOVE or 103 EXPORT: whose copy steps these are
  std::int32_t SourceRow = 0;              // the row copied from (BrkRowA)
  std::int32_t DestRow = 0;                // the row copied into (BrkRowB; EXPORT: BrkDestRow)
  VARIANT* DestCell = nullptr;             // destination row's cell at column offset 0
  VARIANT* SourceCell = nullptr;           // source row's cell at column offset 0
  std::uint32_t DestStride = 0;            // cells between neighbours of the destination row
  std::uint32_t SourceStride = 0;          // cells between neighbours of the source row
  std::uint32_t CopyColumns = 0;           // columns the loop visits: the source's column count
  Status BreakStatus = Status::Completed;  // 201, 202, 203 or 204: this step's break-out
  std::uint32_t ColumnCursor = 0;          // 0-based column offset of the loop
  Continuation Then = Continuation::Idle;  // the operation's step once every column is done

  void Clear() noexcept;  // zeroes; safe twice
  // The start of MOVE (kMove) or EXPORT (kExport): a clear state that knows its operation.
  void Begin(Command op) noexcept;
};

// One row's copy step.
struct CopyRow {
  Status breakOut;    // 201, 202, 203 or 204
  std::int32_t from;  // source array row
  std::int32_t to;    // destination array row (Source.Data for MOVE, Dest.Data for EXPORT)
  Continuation then;  // where the operation goes on once every column is done
};

// Sets up the copy of `row` for the operation Begin named and runs its column loop.
// Decided: every column done, ResumeState is row.then.
Step StartCopy(Context& ctx, CopyStep& copy, const Selection& selection,
               const CopyRow& row) noexcept;

// The caller made its copy: the loop goes on with the next column.
Step ResumeCopy(Context& ctx, CopyStep& copy, const Selection& selection) noexcept;

}  // namespace tk

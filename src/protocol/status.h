// Status codes, their messages, and the two writers of the record's text fields.
//
// Offered:
//   Status          every code a call can end with, break-outs included.
//   StatusMessage   the message of a code: the first table row with that code, else row 0.
//   WriteStatus     LastError and the "[ddd]message" text of a call's ending.
//   WriteBanner     the product line with the year and version, into Banner.
//   WriteBannerAndVersion  the banner and the Version field, as the commands write them.
//
// The table is process-wide and constant except for the banner row, whose text is built
// once, at the first lookup, with the local year of that moment; it never changes while
// the library stays loaded.
//
// WriteStatus looks the message up by LastError, not by the code: only 700-799 are errors
// with their own message, every other code (2, 105, 200, the break-outs, 799 without a
// row, 800) reads "Completed without errors" after its own three digits.
#pragma once

#include <cstdint>

#include "protocol/record.h"
#include "protocol/version.h"

namespace tk {

enum class [[nodiscard]] Status : std::int32_t{
    Completed = 0,            // row 0: the fallback message
    Success = 2,              // an operation finished
    CompareBreakOut = 3,      // the caller compares two rows
    ContinueIterating = 105,  // in the table and the module only; no call ends with it
    About = 200,              // the answer to ABOUT
    MoveRowBreakOut = 201,    // the caller copies an array row into another
    MoveStartBreakOut = 202,  // the caller sets a cycle's first row aside
    MoveCloseBreakOut = 203,  // the caller puts the set-aside row back
    ExportBreakOut = 204,     // the caller copies a cell into the destination
    BadBounds = 700,
    BadHeaderLines = 702,
    NullRecord = 703,
    NullPointer = 704,
    NoMemory = 705,
    StaticSortIndex = 706,
    OutOfOrder = 707,
    TooManyDimensions = 708,
    BadCommandLine = 709,
    BadCell = 710,
    IndexCorrupted = 711,
    FlowError = 712,
    StackFailure = 713,
    StackOverflow = 714,
    RangeError = 715,
    RangeWriteError = 716,
    SameSourceAndDest = 717,
    ArrayError = 718,
    Banner = 800,  // the banner's row; never an ending
};

constexpr std::int32_t ToCode(Status s) {
  return static_cast<std::int32_t>(s);
}

// The engine's version number, written into Version and printed at the end of the banner.
// It comes from the project's version, so the banner and the release archive agree.
constexpr double kEngineVersion = TK_VERSION_MAJOR + TK_VERSION_MINOR / 10.0;

// The status text is formatted into this many characters, terminator included.
constexpr int kStatusTextLimit = 200;

// The message of `code`: the first table row with that code, or row 0's message.
// The text belongs to the table; callers copy it and never free it.
const wchar_t* StatusMessage(std::int32_t code) noexcept;

// Sets LastError (code when code / 100 == 7, else 0) and writes "[%03d]%s" with the code
// and the message of LastError into Status. Returns Success, or NoMemory when the text
// could not be stored (LastError is set all the same).
Status WriteStatus(TKCOMM& comm, std::int32_t code) noexcept;

// Writes the message of `code` (always the banner, 800, in practice) into Banner.
// Returns Success, or NoMemory with Banner left empty.
Status WriteBanner(TKCOMM& comm, std::int32_t code) noexcept;

// What SELECT, BENCHMARK, EXPORT, ABOUT and RESET write first: the banner and Version. A
// banner that cannot be stored is left empty and is no reason to stop.
void WriteBannerAndVersion(TKCOMM& comm) noexcept;

}  // namespace tk

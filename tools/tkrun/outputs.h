// Writing the outputs: the sorted table, the destination and the row numbers. Every file is
// written through a temporary file beside it that then takes its place, so that a failed
// write never leaves half a table behind; before any work, CheckOutputs refuses outputs that
// would replace the input or one another, and makes sure each can be written.
#pragma once

#include <string>

#include "protocol/record.h"
#include "tkrun/options.h"
#include "tkrun/tables.h"

namespace tkrun {

// A table with no data rows written back as it was read (and the destination too); the exit
// status.
int WriteAsRead(const Options& o, const CsvFile& file, const CsvFile& dest);

// Whether the outputs may be written: "" or why not.
std::string CheckOutputs(const Options& o, const Job& job);

// After MOVE: the sorted table, the destination and the row numbers written; false, having
// said why (`error` set for a file that could not be written), when one is not.
bool WriteOutputs(const Options& o, const Job& job, const tk::TKCOMM& comm, Destination* destRange,
                  std::string& error);

}  // namespace tkrun

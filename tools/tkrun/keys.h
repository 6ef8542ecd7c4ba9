// Choosing the key columns: the sort keys from -k (a column by number or by its header's
// name, :desc, one order) or from --sort, never both, as no order between them would be
// obvious; the --move and --export lines; the --compare rules the engine compares itself
// turned into its keywords; and a second table column for a column that is an automatic and
// a text key at once. Everything is checked against the file before anything is written.
#pragma once

#include <string>

#include "tkrun/options.h"
#include "tkrun/tables.h"

namespace tkrun {

// The --sort (or -k), --move and --export lines against the file's columns, into
// job.sortKeys, job.moveEntries and job.exportEntries: "" or what is wrong.
std::string ReadCommandLines(const Options& o, Job& job);

// The sort keys read, as --verbose says them: "'City' ascending, automatic order; then
// column 4 descending, natural order".
std::string DescribeKeys(const Options& o, const Job& job);

}  // namespace tkrun

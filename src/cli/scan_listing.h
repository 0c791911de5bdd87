#pragma once
// Printing the found tree of a scan: as the results pages list it, or JSON, or CSV.
#include <iosfwd>

#include "cli/scan_session.h"

namespace brenix::cli {

// Prints the tree with the page's cell formats, or JSON, or CSV. False when a
// stop signal came meanwhile (the listing is cut short).
bool printResults(const ScanCliOptions& o, ScanSession& s, std::ostream& out);

}  // namespace brenix::cli

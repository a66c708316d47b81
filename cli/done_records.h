#pragma once
// What a report already shows done, so that a repeated run (--skip-done) leaves
// alone every instrument whose last update with the same file completed.

#include <set>
#include <string>

#include "instruments/card_identity.h"

namespace tamblet::cli {

// How a report names an instrument: its serial, else its USB path, else (an
// instrument that is no ALSA card, on JACK) its output port's name.
std::string RecordKey(const CardIdentity& identity, const std::string& output_port);

// The keys whose last record for the file with this SHA-256 ends at Complete!.
// A missing report shows nothing done; a line that is no record is passed over.
std::set<std::string> CompletedInstruments(const std::string& report, const std::string& sha256);

}  // namespace tamblet::cli

#pragma once
// What the session files of raw and formatted scans share: the scanned
// device's identity as stored, the drive's model, writing a session in one
// step (a half-written file never replaces a good one), and the folder
// sessions go to when none is named.
#include <nlohmann/json.hpp>
#include <string>

#include "disk/device_identity.h"

namespace brenix::cli {

struct ScanSession;

nlohmann::json sessionIdentityJson(const DeviceIdentity& d);
// The model of the scanned drive; empty for an image.
std::string sessionModelOf(const ScanSession& s);
bool writeSessionAtomically(const std::string& path, const std::string& text, std::string* error);
// Reads a session file as JSON; false with the message on *error when it can not be read or is not complete JSON.
bool readSessionJson(const std::string& path, nlohmann::json* out, std::string* error);
// $XDG_DATA_HOME/brenix, else ~/.local/share/brenix; empty when neither is known.
std::string defaultSessionFolder();

}  // namespace brenix::cli

#include "cli/session_files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli/scan_session.h"
#include "disk/device_table.h"

namespace brenix::cli {

nlohmann::json sessionIdentityJson(const DeviceIdentity& d) {
  return {{"model", d.model}, {"size", d.sizeBytes}, {"firstSectorSha256", d.firstSectorSha256}};
}

std::string sessionModelOf(const ScanSession& s) {
  for (const DeviceEntry& d : DeviceTable::instance().devices())
    if (d.driveNumber == s.ctx.partition.diskNumber) return d.isImage ? std::string() : d.modelText;
  return {};
}

bool writeSessionAtomically(const std::string& path, const std::string& text, std::string* error) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      *error = "Can not write the session file '" + temporary + "'";
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "Can not replace the session file '" + path + "'";
    return false;
  }
  return true;
}

bool readSessionJson(const std::string& path, nlohmann::json* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "Can not read the session file '" + path + "'";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  *out = nlohmann::json::parse(text.str(), nullptr, false);
  if (out->is_discarded() || !out->is_object()) {
    *error = "Session file '" + path + "' refused: it is damaged or truncated (not complete JSON)";
    return false;
  }
  return true;
}

std::string defaultSessionFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data == '/') return std::string(data) + "/brenix";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/share/brenix";
  return {};
}

}  // namespace brenix::cli

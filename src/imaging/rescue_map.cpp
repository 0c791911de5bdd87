#include "imaging/rescue_map.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/file_io.h"
#include "common/version.h"

namespace brenix {

namespace {

bool parseNumber(const std::string& s, uint64_t* value) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (errno != 0 || end == s.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

bool validStatus(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }
bool validCurrentStatus(char c) { return validStatus(c) || c == 'F' || c == 'G'; }

std::string hex(uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

RescueMap::RescueMap(uint64_t size) : size_(size) {
  if (size > 0) areas_.push_back({0, size, AreaStatus::NonTried});
}

bool RescueMap::parse(const std::string& text, uint64_t size, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  bool haveStatusLine = false;
  std::vector<MapArea> read;
  uint64_t pos = 0;
  char status = '?';
  int pass = 1;
  auto fail = [&](const std::string& why) {
    *error = "Map line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> f;
    std::string w;
    while (fields >> w) {
      if (w[0] == '#') break;
      f.push_back(w);
    }
    if (!haveStatusLine) {
      if (f.size() < 2 || f.size() > 3 || !parseNumber(f[0], &pos) || f[1].size() != 1 ||
          !validCurrentStatus(f[1][0]))
        return fail("not a status line (position, status, pass)");
      status = f[1][0];
      uint64_t p = 1;
      if (f.size() == 3 && (!parseNumber(f[2], &p) || p < 1 || p > 5)) return fail("bad pass number");
      pass = static_cast<int>(p);
      haveStatusLine = true;
      continue;
    }
    MapArea a;
    if (f.size() != 3 || !parseNumber(f[0], &a.pos) || !parseNumber(f[1], &a.size) || f[2].size() != 1 ||
        !validStatus(f[2][0]))
      return fail("not an area line (position, size, status)");
    if (a.size == 0) return fail("an area of size 0");
    a.status = static_cast<AreaStatus>(f[2][0]);
    if (a.pos > size || a.size > size - a.pos)
      return fail("area " + hex(a.pos) + "+" + hex(a.size) + " lies past the end of the source (" + hex(size) + " bytes)");
    if (!read.empty() && a.pos < read.back().end())
      return fail(a.pos < read.back().pos ? "areas are not sorted by position" : "area overlaps the one before");
    read.push_back(a);
  }
  if (!haveStatusLine) {
    *error = "Map has no status line: not a ddrescue map";
    return false;
  }
  if (pos > size) {
    *error = "Map's current position lies past the end of the source";
    return false;
  }
  size_ = size;
  areas_.clear();
  if (size > 0) areas_.push_back({0, size, AreaStatus::NonTried});
  for (const MapArea& a : read) set(a.pos, a.size, a.status);
  currentPos = pos;
  currentStatus = status;
  currentPass = pass;
  return true;
}

std::string RescueMap::text(const std::string& commandLine) const {
  std::string out;
  out += std::string("# Mapfile. Created by ") + kProductName + " " + kVersion + " (GNU ddrescue mapfile format)\n";
  out += "# Command line: " + commandLine + "\n";
  out += "# current_pos  current_status  current_pass\n";
  out += hex(currentPos) + "     " + currentStatus + "               " + std::to_string(currentPass) + "\n";
  out += "#      pos        size  status\n";
  for (const MapArea& a : areas_) out += hex(a.pos) + "  " + hex(a.size) + "  " + static_cast<char>(a.status) + "\n";
  return out;
}

void RescueMap::set(uint64_t pos, uint64_t size, AreaStatus status) {
  if (pos >= size_ || size == 0) return;
  if (size > size_ - pos) size = size_ - pos;
  const uint64_t end = pos + size;
  std::vector<MapArea> out;
  out.reserve(areas_.size() + 2);
  auto push = [&out](MapArea a) {
    if (a.size == 0) return;
    if (!out.empty() && out.back().status == a.status && out.back().end() == a.pos) {
      out.back().size += a.size;
    } else {
      out.push_back(a);
    }
  };
  bool inserted = false;
  for (const MapArea& a : areas_) {
    if (a.end() <= pos || a.pos >= end) {
      if (a.pos >= end && !inserted) {
        push({pos, size, status});
        inserted = true;
      }
      push(a);
      continue;
    }
    if (a.pos < pos) push({a.pos, pos - a.pos, a.status});
    if (!inserted) {
      push({pos, size, status});
      inserted = true;
    }
    if (a.end() > end) push({end, a.end() - end, a.status});
  }
  if (!inserted) push({pos, size, status});
  areas_ = std::move(out);
}

uint64_t RescueMap::bytesWith(AreaStatus status) const {
  uint64_t n = 0;
  for (const MapArea& a : areas_)
    if (a.status == status) n += a.size;
  return n;
}

size_t RescueMap::badAreaCount() const {
  size_t n = 0;
  bool inBad = false;
  for (const MapArea& a : areas_) {
    const bool bad = a.status == AreaStatus::BadSector || a.status == AreaStatus::NonTrimmed ||
                     a.status == AreaStatus::NonScraped;
    if (bad && !inBad) ++n;
    inBad = bad;
  }
  return n;
}

const MapArea* RescueMap::findFrom(uint64_t pos, AreaStatus status) const {
  for (const MapArea& a : areas_)
    if (a.status == status && a.end() > pos) return &a;
  return nullptr;
}

bool loadRescueMap(const std::string& path, uint64_t size, RescueMap* map, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "Can not read map file '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  RescueMap parsed;
  std::string why;
  if (!parsed.parse(text.str(), size, &why)) {
    *error = "Map file '" + path + "' refused: " + why;
    return false;
  }
  *map = std::move(parsed);
  return true;
}

bool saveRescueMap(const std::string& path, const RescueMap& map, const std::string& commandLine, std::string* error) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(pathFromUtf8(temporary), std::ios::binary | std::ios::trunc);
    out << map.text(commandLine);
    out.flush();
    if (!out) {
      *error = "Can not write map file '" + temporary + "': " + std::strerror(errno);
      return false;
    }
  }
  // Windows' rename does not replace an existing file: replaceFile does on both.
  if (int e = 0; !replaceFile(pathFromUtf8(temporary), pathFromUtf8(path), &e)) {
    *error = "Can not replace map file '" + path + "': " + std::strerror(e);
    return false;
  }
  return true;
}

}  // namespace brenix

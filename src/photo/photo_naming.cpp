#include "photo/photo_naming.h"

#include <cctype>
#include <cstdio>
#include <string>

namespace brenix {

namespace {

std::string lower(const std::string& s) {
  std::string out;
  for (char c : s) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string safePart(const std::string& s, size_t maxBytes) {
  std::string out;
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool ok = (c < 0x80 && std::isalnum(c)) || c == '-' || c == '.';
    if (ok) out += ch;
    else if (!out.empty() && out.back() != '_') out += '_';
  }
  while (!out.empty() && (out.back() == '_' || out.back() == '.')) out.pop_back();
  while (!out.empty() && (out.front() == '.' || out.front() == '_')) out.erase(0, 1);
  if (out.size() > maxBytes) out.resize(maxBytes);
  return out;
}

}  // namespace

std::string cameraNamePart(const PhotoInfo& info) {
  std::string camera = info.model;
  if (!info.make.empty()) {
    // "Canon" + "Canon EOS 40D" is "Canon EOS 40D", "EASTMAN KODAK COMPANY" + "KODAK DC240" is
    // "KODAK DC240"; "NIKON" + "E950" is "NIKON E950": the make is added unless the model's
    // first word is one of its words.
    const std::string first = lower(info.model.substr(0, info.model.find(' ')));
    bool named = false;
    for (size_t p = 0; p < info.make.size() && !named;) {
      size_t q = info.make.find_first_of(" ,", p);
      if (q == std::string::npos) q = info.make.size();
      named = !first.empty() && lower(info.make.substr(p, q - p)) == first;
      p = q + 1;
    }
    if (!named) camera = info.model.empty() ? info.make : info.make + " " + info.model;
  }
  return safePart(camera, 64);
}

std::string exifBaseName(const PhotoInfo& info) {
  if (info.dateTaken.size() != 19) return {};
  std::string base = info.dateTaken.substr(0, 10) + "_" + info.dateTaken.substr(11, 2) + "-" +
                     info.dateTaken.substr(14, 2) + "-" + info.dateTaken.substr(17, 2);
  const std::string camera = cameraNamePart(info);
  if (!camera.empty()) base += "_" + camera;
  return base;
}

std::string dateFolderPath(const PhotoInfo& info) {
  if (info.dateTaken.size() != 19) return {};
  return info.dateTaken.substr(0, 4) + "/" + info.dateTaken.substr(0, 10);
}

bool parsePixelSize(const std::string& text, uint32_t* width, uint32_t* height) {
  unsigned w = 0, h = 0;
  char x = 0, rest = 0;
  if (std::sscanf(text.c_str(), "%u%c%u%c", &w, &x, &h, &rest) != 3 || (x != 'x' && x != 'X')) return false;
  if (w > 1000000 || h > 1000000) return false;
  *width = w;
  *height = h;
  return true;
}

std::string PhotoPlanner::claim(const std::string& folder, const std::string& base, const std::string& ext) {
  const std::string prefix = folder.empty() ? std::string() : folder + "/";
  const std::string dotExt = ext.empty() ? std::string() : "." + ext;
  std::string path = prefix + base + dotExt;
  for (int n = 2; paths_.count(lower(path)) != 0 && n < 1000000; ++n)
    path = prefix + base + "_" + std::to_string(n) + dotExt;
  paths_.insert(lower(path));
  return path;
}

PhotoVerdict PhotoPlanner::place(const std::string& name, uint64_t size, const PhotoInfo* info,
                                 const std::string& sha256, std::string* relativePath) {
  if (size < choices_.minSize) {
    ++counts_.tooSmall;
    return PhotoVerdict::TooSmall;
  }
  if (info && info->width != 0 && (info->width < choices_.minWidth || info->height < choices_.minHeight)) {
    ++counts_.fewPixels;
    return PhotoVerdict::FewPixels;
  }
  const bool broken = info && isBroken(info->decode);
  if (broken) {
    ++counts_.broken;
    if (!choices_.keepBroken) {
      ++counts_.brokenLeftOut;
      return PhotoVerdict::BrokenLeftOut;
    }
  }
  if (choices_.dedup && !sha256.empty()) {
    if (!digests_.insert(sha256).second) {
      ++counts_.duplicates;
      return PhotoVerdict::Duplicate;
    }
  }
  const size_t dot = name.find('.');
  const std::string ext = dot == std::string::npos ? std::string() : safePart(name.substr(dot + 1), 32);
  std::string base = safePart(dot == std::string::npos ? name : name.substr(0, dot), 200);
  if (base.empty()) base = "File";
  std::string folder = ext;
  if (info && choices_.nameByExif) {
    const std::string exifName = exifBaseName(*info);
    if (!exifName.empty()) base = exifName;
  }
  if (info && choices_.sortByDate) {
    const std::string dated = dateFolderPath(*info);
    if (!dated.empty()) folder = dated;
  }
  if (broken) folder = "broken";
  *relativePath = claim(folder, base, ext);
  return PhotoVerdict::Write;
}

}  // namespace brenix

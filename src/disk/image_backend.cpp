#include "disk/image_backend.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

#include "common/digest.h"
#include "common/file_io.h"
#include "disk/image_backend_ewf.h"
#include "disk/sector_reader.h"

namespace fs = std::filesystem;

namespace brenix {

namespace {

thread_local std::string lastMessage;

constexpr uint8_t kEwfSignature[8] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr uint8_t kEwf2Signature[8] = {'E', 'V', 'F', '2', 0x0D, 0x0A, 0x81, 0x00};
constexpr uint8_t kLogicalSignature[8] = {'L', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};

// "disk.001" -> base "disk", number 1, width 3. False for other names.
bool splitName(const std::string& path, std::string* base, unsigned* number, size_t* width) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot + 1 >= path.size()) return false;
  const std::string digits = path.substr(dot + 1);
  if (digits.size() < 3 || digits.size() > 6) return false;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  if (path.find('/', dot) != std::string::npos) return false;
  *base = path.substr(0, dot);
  *number = static_cast<unsigned>(std::stoul(digits));
  *width = digits.size();
  return true;
}

std::string numbered(const std::string& base, unsigned n, size_t width) {
  std::string digits = std::to_string(n);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return base + "." + digits;
}

// A raw image cut into numbered pieces; the medium is the pieces one after the other.
class SplitRawBackend final : public ImageBackend {
 public:
  struct Piece {
    std::string path;
    uint64_t start = 0;
    uint64_t size = 0;
    std::shared_ptr<OsFile> file;
  };
  bool add(const std::string& path, int* error) {
    auto f = std::make_shared<OsFile>();
    if (!f->open(pathFromUtf8(path), FileMode::Read)) {
      *error = f->lastError();
      return false;
    }
    if (!f->isRegular()) {
      *error = EINVAL;
      return false;
    }
    const uint64_t bytes = f->size();
    pieces_.push_back({path, size_, bytes, std::move(f)});
    size_ += bytes;
    return true;
  }
  bool readAt(uint64_t offset, void* buffer, size_t count, int* error) override {
    if (offset > size_ || count > size_ - offset) {
      *error = EIO;  // the end of the medium: a short read is a failure
      return false;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                               [](uint64_t o, const Piece& p) { return o < p.start; });
    if (it != pieces_.begin()) --it;
    while (count > 0 && it != pieces_.end()) {
      const uint64_t within = offset - it->start;
      if (within >= it->size) {
        ++it;
        continue;
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(count, it->size - within));
      const int64_t got = it->file->readAt(within, out, n);
      if (got != static_cast<int64_t>(n)) {
        *error = got < 0 ? it->file->lastError() : EIO;
        return false;
      }
      out += n;
      offset += n;
      count -= n;
      ++it;
    }
    if (count != 0) {
      *error = EIO;
      return false;
    }
    return true;
  }
  uint64_t sizeBytes() const override { return size_; }
  ImageFormat format() const override { return ImageFormat::SplitRaw; }

 private:
  std::vector<Piece> pieces_;
  uint64_t size_ = 0;
};

std::unique_ptr<ImageBackend> openSplitRaw(const std::string& path, int* error, std::string* message) {
  std::string base;
  unsigned number = 0;
  size_t width = 0;
  if (!splitName(path, &base, &number, &width) || number != 1) {
    *error = EINVAL;
    *message = "'" + path + "' is not the first piece of a split image (name.001)";
    return nullptr;
  }
  // Every piece with the same base and a number of the same width.
  const fs::path basePath = pathFromUtf8(base);
  const fs::path dir = basePath.parent_path().empty() ? fs::path(".") : basePath.parent_path();
  const std::string stem = pathToUtf8(basePath.filename());
  std::map<unsigned, std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = pathToUtf8(entry.path().filename());
    std::string b;
    unsigned n = 0;
    size_t w = 0;
    if (splitName(name, &b, &n, &w) && b == stem && w == width) found[n] = pathToUtf8(basePath.parent_path() / pathFromUtf8(name));
  }
  if (found.empty() || found.begin()->first != 1) found[1] = path;
  auto backend = std::make_unique<SplitRawBackend>();
  unsigned expected = 1;
  for (const auto& [n, piecePath] : found) {
    if (n != expected) {
      *error = ENOENT;
      *message = "Split image '" + path + "': piece '" + numbered(base, expected, width) + "' is missing (found '" +
                 piecePath + "' after it)";
      return nullptr;
    }
    if (!backend->add(piecePath, error)) {
      *message = "Split image '" + path + "': can not open piece '" + piecePath + "': " + std::strerror(*error);
      return nullptr;
    }
    ++expected;
  }
  return backend;
}

// A device or plain image file, for verification.
class PlainBackend final : public ImageBackend {
 public:
  bool open(const std::string& path) { return reader_.openPath(path, OpenMode::Read); }
  int lastError() const { return reader_.lastError(); }
  bool readAt(uint64_t offset, void* buffer, size_t count, int* error) override {
    if (reader_.readBytesAt(offset, buffer, count)) return true;
    *error = reader_.lastError();
    return false;
  }
  uint64_t sizeBytes() const override { return reader_.sizeBytes(); }
  ImageFormat format() const override { return ImageFormat::Plain; }

 private:
  SectorReader reader_;
};

}  // namespace

const std::string& lastImageOpenMessage() { return lastMessage; }
void setLastImageOpenMessage(std::string message) { lastMessage = std::move(message); }

ImageFormat detectImageFormat(const std::string& path) {
  if (pathKindOf(pathFromUtf8(path)) != PathKind::Regular) return ImageFormat::Plain;
  uint8_t head[8] = {};
  std::ifstream in(pathFromUtf8(path), std::ios::binary);
  if (in.read(reinterpret_cast<char*>(head), sizeof head)) {
    if (std::memcmp(head, kEwfSignature, 8) == 0 || std::memcmp(head, kEwf2Signature, 8) == 0 ||
        std::memcmp(head, kLogicalSignature, 8) == 0)
      return ImageFormat::Ewf;
  }
  std::string base;
  unsigned number = 0;
  size_t width = 0;
  if (splitName(path, &base, &number, &width) && number == 1) {
    // A lone name.001 is a plain image; a split image has more pieces (a
    // missing .002 among them is for the backend to refuse).
    const fs::path parent = pathFromUtf8(base).parent_path();
    const std::string stem = pathToUtf8(pathFromUtf8(base).filename());
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(parent.empty() ? fs::path(".") : parent, ec)) {
      std::string b;
      unsigned n = 0;
      size_t w = 0;
      if (splitName(pathToUtf8(entry.path().filename()), &b, &n, &w) && b == stem && w == width && n >= 2)
        return ImageFormat::SplitRaw;
    }
  }
  return ImageFormat::Plain;
}

std::unique_ptr<ImageBackend> openImageBackend(const std::string& path, ImageFormat format, bool forWriting,
                                               int* error, std::string* message) {
  std::string text;
  int code = 0;
  std::unique_ptr<ImageBackend> backend;
  if (forWriting) {
    code = EROFS;
    text = "'" + path + "' is an " + std::string(format == ImageFormat::Ewf ? "EWF" : "split") +
           " image: it can only be read";
  } else if (format == ImageFormat::Ewf) {
    backend = openEwfBackend(path, &code, &text);
  } else if (format == ImageFormat::SplitRaw) {
    backend = openSplitRaw(path, &code, &text);
  } else {
    code = EINVAL;
    text = "'" + path + "' is a plain image";
  }
  if (!backend) {
    if (error) *error = code;
    if (message) *message = text;
    lastMessage = text;
    return nullptr;
  }
  lastMessage.clear();
  return backend;
}

ImageVerifyResult verifyImage(const std::string& path, VerifyProgress progress, void* user) {
  ImageVerifyResult result;
  const ImageFormat format = detectImageFormat(path);
  std::unique_ptr<ImageBackend> backend;
  if (format != ImageFormat::Plain) {
    int code = 0;
    backend = openImageBackend(path, format, false, &code, &result.error);
    if (!backend) return result;
  } else {
    auto plain = std::make_unique<PlainBackend>();
    if (!plain->open(path)) {
      result.error = "Can not open '" + path + "': " + std::strerror(plain->lastError());
      return result;
    }
    backend = std::move(plain);
  }
  result.storedMd5 = backend->storedMd5();
  Digest md5(DigestKind::Md5);
  if (!md5.ok()) {
    result.error = "MD5 is not available";
    return result;
  }
  const uint64_t total = backend->sizeBytes();
  constexpr size_t kBlock = 1 << 20;
  std::vector<uint8_t> buffer(kBlock);
  uint64_t offset = 0;
  bool stopped = false;
  while (offset < total) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, total - offset));
    int code = 0;
    if (!backend->readAt(offset, buffer.data(), n, &code)) {
      // Sector by sector, so that only what cannot be read counts as zeros.
      for (size_t s = 0; s < n; s += 512) {
        const size_t m = std::min<size_t>(512, n - s);
        if (!backend->readAt(offset + s, buffer.data() + s, m, &code)) {
          std::memset(buffer.data() + s, 0, m);
          result.unreadableBytes += m;
        }
      }
    }
    md5.update(buffer.data(), n);
    offset += n;
    result.bytesRead = offset;
    if (progress && !progress(user, offset, total)) {
      stopped = true;
      break;
    }
  }
  result.computedMd5 = md5.finishHex();
  if (stopped) {
    result.error = "Stopped";
    return result;
  }
  result.ok = result.unreadableBytes == 0;
  return result;
}

}  // namespace brenix

#pragma once
// Disk images that are not one plain file: EWF (.E01 and its .E02... segments,
// read through libewf) and split raw images (disk.001, disk.002, ...).
// SectorReader opens them behind its usual interface; engines never see the
// difference. Every backend is read-only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace brenix {

enum class ImageFormat { Plain, Ewf, SplitRaw };

class ImageBackend {
 public:
  virtual ~ImageBackend() = default;
  // Reads exactly count bytes at byteOffset; false with a system error number
  // in *error (EIO for a damaged or missing part, EINVAL past the end).
  // Safe to call from several threads.
  virtual bool readAt(uint64_t byteOffset, void* buffer, size_t count, int* error) = 0;
  // Size of the imaged medium in bytes.
  virtual uint64_t sizeBytes() const = 0;
  virtual ImageFormat format() const = 0;
  // The MD5 the image stores of its media data (lower-case hex), empty when none.
  virtual std::string storedMd5() const { return {}; }
};

// What kind of image the file at path is, told by its first bytes (EWF) or,
// for a raw image without any signature, by a split-image name ending in
// ".001". Plain for anything else, including unreadable paths.
ImageFormat detectImageFormat(const std::string& path);

// Opens an EWF or split raw image. Null with a system error number in *error
// and a sentence for the user in *message when the image cannot be used
// (missing or damaged segment, write access asked for).
std::unique_ptr<ImageBackend> openImageBackend(const std::string& path, ImageFormat format, bool forWriting,
                                               int* error, std::string* message);

// The message of the last failed openImageBackend on this thread, empty after
// a success. SectorReader::openPath leaves it there for callers that want to
// say more than the system error text.
const std::string& lastImageOpenMessage();
void setLastImageOpenMessage(std::string message);

// Stored hashes of an EWF image, and a pass over all its media data to check
// them. Any format may be verified; only EWF images carry a stored MD5.
struct ImageVerifyResult {
  bool ok = false;              // every byte could be read
  std::string computedMd5;      // lower-case hex of the media data read
  std::string storedMd5;        // empty when the image stores none
  uint64_t bytesRead = 0;
  uint64_t unreadableBytes = 0;  // read as zeros in the digest
  std::string error;            // why the image could not be opened
};
using VerifyProgress = bool (*)(void* user, uint64_t done, uint64_t total);  // false stops the pass
ImageVerifyResult verifyImage(const std::string& path, VerifyProgress progress = nullptr, void* user = nullptr);

}  // namespace brenix

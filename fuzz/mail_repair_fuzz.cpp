// Repair of arbitrary bytes as .dbx and .pst: never a crash, the source is
// never changed, the output folder holds exactly the one copy, and the copy
// is the source with only the header values written.
//   ./mail_repair_fuzz -max_total_time=60
// The first input byte chooses the shape: bit 0 pads the rest to past the
// .dbx marker and puts the marker there, bit 1 then damages one marker byte.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "mail/mail_repair.h"

namespace fs = std::filesystem;
using namespace brenix;
using namespace brenix::mail;

namespace {

struct Folders {
  fs::path base, src, out;
  Folders() {
    // Memory-backed when available: every repair syncs its copy.
    std::string tmpl = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    tmpl += "/brenix-mail-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    base = tmpl;
    src = base / "src";
    out = base / "out";
    fs::create_directory(src);
    fs::create_directory(out);
  }
  ~Folders() {
    std::error_code ec;
    fs::remove_all(base, ec);
  }
};

std::vector<uint8_t> readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void checkOnlyCopy(const fs::path& out, const fs::path& expected) {
  int entries = 0;
  for (const auto& e : fs::directory_iterator(out)) {
    ++entries;
    check(e.path() == expected);
  }
  check(entries <= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Folders folders;
  if (size == 0) return 0;
  const uint8_t shape = data[0];
  std::vector<uint8_t> bytes(data + 1, data + size);
  const size_t markerEnd = kDbxMarkerOffset + sizeof(kDbxMarker);
  if (shape & 1) {
    if (bytes.size() < markerEnd + (shape >> 2)) bytes.resize(markerEnd + (shape >> 2), 0);
    std::memcpy(bytes.data() + kDbxMarkerOffset, kDbxMarker, sizeof(kDbxMarker));
    if (shape & 2) bytes[kDbxMarkerOffset + (shape >> 2) % sizeof(kDbxMarker)] ^= 0x20;
  }
  const fs::path source = folders.src / "store";
  {
    std::ofstream f(source, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  const fs::path dest = folders.out / "store";

  // .dbx: repaired exactly when the marker and its terminator are at 9409.
  const bool known = bytes.size() >= markerEnd &&
                     std::memcmp(bytes.data() + kDbxMarkerOffset, kDbxMarker, sizeof(kDbxMarker)) == 0;
  const int dbx = repairDbx(source, dest);
  std::vector<uint8_t> expected = bytes;
  if (known) {
    putLe32(expected.data(), kDbxSignature);
    putLe32(expected.data() + 4, kDbxClassIdHead);
  }
  check(dbx == (known ? kRepaired : kUnsupportedFormat));
  check(readAll(dest) == expected);
  check(readAll(source) == bytes);
  checkOnlyCopy(folders.out, dest);

  // .pst: always repaired; the signature at 0, the rest as read. The existing
  // copy from the .dbx run is replaced.
  const int pst = repairPst(source, dest);
  expected = bytes;
  if (expected.size() < 4) expected.resize(4, 0);
  std::memcpy(expected.data(), kPstSignature, 4);
  check(pst == kRepaired);
  check(readAll(dest) == expected);
  check(readAll(source) == bytes);
  checkOnlyCopy(folders.out, dest);

  // The source as its own destination is refused and left alone.
  check(repairPst(source, source) == kRepairFailed);
  check(readAll(source) == bytes);
  fs::remove(dest);
  return 0;
}

#pragma once
// MD5 and SHA-256 through the system's crypto library: OpenSSL on Linux
// (digest_openssl.cpp), Windows CNG on Windows (digest_win32.cpp).
#include <cstddef>
#include <memory>
#include <string>

namespace brenix {

enum class DigestKind { Md5, Sha256 };

class Digest {
 public:
  explicit Digest(DigestKind kind);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  // False when the algorithm is not available.
  bool ok() const;
  void update(const void* data, size_t size);
  // Lower-case hex of the digest ("" when not ok); ends the digest.
  std::string finishHex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The hex digest of one buffer ("" when the algorithm is not available).
std::string digestHex(DigestKind kind, const void* data, size_t size);

}  // namespace brenix

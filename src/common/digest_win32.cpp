#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "common/digest.h"

namespace brenix {

struct Digest::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  DWORD length = 0;
};

Digest::Digest(DigestKind kind) : state_(std::make_unique<State>()) {
  const wchar_t* id = kind == DigestKind::Md5 ? BCRYPT_MD5_ALGORITHM : BCRYPT_SHA256_ALGORITHM;
  if (BCryptOpenAlgorithmProvider(&state_->algorithm, id, nullptr, 0) != 0) {
    state_->algorithm = nullptr;
    return;
  }
  ULONG got = 0;
  if (BCryptGetProperty(state_->algorithm, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&state_->length),
                        sizeof state_->length, &got, 0) != 0 ||
      BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0) != 0)
    state_->hash = nullptr;
}

Digest::~Digest() {
  if (state_->hash) BCryptDestroyHash(state_->hash);
  if (state_->algorithm) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

bool Digest::ok() const { return state_->hash != nullptr; }

void Digest::update(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (state_->hash && size > 0) {
    const ULONG chunk = size > (1u << 30) ? (1u << 30) : static_cast<ULONG>(size);
    BCryptHashData(state_->hash, const_cast<PUCHAR>(p), chunk, 0);
    p += chunk;
    size -= chunk;
  }
}

std::string Digest::finishHex() {
  if (!state_->hash) return {};
  std::vector<unsigned char> digest(state_->length);
  const bool done = BCryptFinishHash(state_->hash, digest.data(), state_->length, 0) == 0;
  BCryptDestroyHash(state_->hash);
  state_->hash = nullptr;
  if (!done) return {};
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : digest) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

std::string digestHex(DigestKind kind, const void* data, size_t size) {
  Digest d(kind);
  d.update(data, size);
  return d.finishHex();
}

}  // namespace brenix
#endif

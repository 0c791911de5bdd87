#ifndef _WIN32
#include <openssl/evp.h>

#include "common/digest.h"

namespace brenix {

struct Digest::State {
  EVP_MD_CTX* ctx = nullptr;
};

Digest::Digest(DigestKind kind) : state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  if (state_->ctx &&
      EVP_DigestInit_ex(state_->ctx, kind == DigestKind::Md5 ? EVP_md5() : EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(state_->ctx);
    state_->ctx = nullptr;
  }
}

Digest::~Digest() { EVP_MD_CTX_free(state_->ctx); }

bool Digest::ok() const { return state_->ctx != nullptr; }

void Digest::update(const void* data, size_t size) {
  if (state_->ctx) EVP_DigestUpdate(state_->ctx, data, size);
}

std::string Digest::finishHex() {
  if (!state_->ctx) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool done = EVP_DigestFinal_ex(state_->ctx, digest, &length) == 1;
  EVP_MD_CTX_free(state_->ctx);
  state_->ctx = nullptr;
  if (!done) return {};
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
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

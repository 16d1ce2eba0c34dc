#include "platform/sha256.h"

#include <openssl/evp.h>

#include <new>

struct Sha256::Ctx {
  EVP_MD_CTX* md = nullptr;
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) {
  ctx_->md = EVP_MD_CTX_new();
  if (ctx_->md == nullptr || EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_->md); }

void Sha256::update(const void* data, std::size_t n) {
  if (n != 0) EVP_DigestUpdate(ctx_->md, data, n);
}

Digest Sha256::finish() {
  Digest d{};
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx_->md, d.data(), &len);
  return d;
}

Digest sha256(ByteSpan data) {
  Digest d{};
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), d.data(), &len, EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
  return d;
}

#include "quellmar/core/sha256.h"

#include <openssl/evp.h>

#include "quellmar/core/internal_fault.h"

namespace quellmar {

void Sha256::CtxDeleter::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  QM_CHECK(ctx_ != nullptr);
  QM_CHECK(EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) == 1);
}

void Sha256::update(const void* data, size_t n) {
  if (n == 0) return;
  QM_CHECK(EVP_DigestUpdate(ctx_.get(), data, n) == 1);
}

Sha256Digest Sha256::finish() {
  Sha256Digest out{};
  unsigned int len = 0;
  QM_CHECK(EVP_DigestFinal_ex(ctx_.get(), out.data(), &len) == 1 && len == out.size());
  return out;
}

std::string hex_digest(const Sha256Digest& digest) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (uint8_t b : digest) {
    out.push_back(HEX[b >> 4]);
    out.push_back(HEX[b & 0xf]);
  }
  return out;
}

}  // namespace quellmar

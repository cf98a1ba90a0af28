#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace quellmar {

using Sha256Digest = std::array<uint8_t, 32>;

// Incremental SHA-256 over the crypto library's EVP interface.
class Sha256 {
 public:
  Sha256();
  void update(const void* data, size_t n);
  // The digest of everything absorbed; the hasher must not be used afterwards.
  Sha256Digest finish();

 private:
  struct CtxDeleter {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_md_ctx_st, CtxDeleter> ctx_;
};

// 64 lower-case hexadecimal digits, most significant nibble first.
std::string hex_digest(const Sha256Digest& digest);

}  // namespace quellmar

// The one owner of libcrypto objects: std::unique_ptr with a deleter chosen
// by the object type, so every EVP object is freed (and its key schedule
// cleansed) when released, on every path.
#pragma once

#include <openssl/evp.h>

#include <memory>

namespace tavolin {

template <class T>
struct OpenSslFree;

template <>
struct OpenSslFree<EVP_CIPHER_CTX> {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
template <>
struct OpenSslFree<EVP_MD_CTX> {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

template <class T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree<T>>;

}  // namespace tavolin

#pragma once

#include <cstddef>
#include <span>

namespace platform::engine {

// The digests SQLCipher uses, numbered as SQLCipher numbers them for its
// HMAC and PBKDF2.
enum class Digest : int { Sha1 = 0, Sha256 = 1, Sha512 = 2 };
inline constexpr int kDigestCount = 3;

// The settings of one SQLCipher file format (its major version), as the
// library's cipher_compatibility pragma sets them.
struct CipherFormat {
    int version;
    int pageSize;  // the format's default; a file may use another
    int kdfIterations;
    Digest digest;  // for PBKDF2 and the page HMAC
    bool hmac;      // format 1 has none: its pages cannot be authenticated
    int hmacSize;
    int reserve;  // bytes at the end of each page: IV, HMAC, padding
};

inline constexpr int kSaltSize = 16;
inline constexpr int kKeySize = 32;
inline constexpr int kIvSize = 16;

// Formats in the order a source is tried: the product's own first.
std::span<const CipherFormat> cipherFormats();

}  // namespace platform::engine

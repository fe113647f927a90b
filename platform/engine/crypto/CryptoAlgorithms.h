#pragma once

#include <openssl/types.h>

#include <array>
#include <stdexcept>
#include <string>

#include "platform/engine/crypto/CipherFormat.h"

namespace platform::engine {

// A failure of the crypto library (an algorithm missing, a call refused):
// the engine reports it as its own failure, never as lack of memory.
class CryptoFailure : public std::runtime_error {
  public:
    // Takes OpenSSL's first queued error, if any, into the message.
    explicit CryptoFailure(const std::string& what);
};

// The algorithms SQLCipher's files need, fetched from OpenSSL once per
// process and shared by every thread: fetched objects are immutable, and
// the HMAC prototypes are only ever duplicated. Never freed, because
// SQLCipher may call into the cipher provider from its atexit shutdown.
struct CryptoAlgorithms {
    EVP_CIPHER* cipher = nullptr;  // AES-256-CBC
    std::array<EVP_MD*, kDigestCount> digests{};
    EVP_MAC* hmac = nullptr;
    std::array<EVP_MAC_CTX*, kDigestCount> hmacPrototypes{};  // unkeyed, digest set
    std::array<int, kDigestCount> digestSizes{};
    std::string cipherName;
    int keySize = 0;
    int ivSize = 0;
    int blockSize = 0;
};

// Throws CryptoFailure when OpenSSL lacks one of them.
const CryptoAlgorithms& cryptoAlgorithms();

}  // namespace platform::engine

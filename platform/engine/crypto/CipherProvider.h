#pragma once

#include "platform/engine/crypto/CipherFormat.h"

namespace platform::engine {

// The name PRAGMA cipher_provider reports for the provider below.
inline constexpr const char* kCipherProviderName = "openssl3-cached";

// Makes SQLCipher encrypt, decrypt and authenticate pages through OpenSSL 3
// algorithms fetched once per process and contexts kept per thread, instead of
// the built-in provider's implicit fetch and fresh contexts for every page. The
// bytes written are the same as the built-in provider's.
//
// Call it before the first connection is opened: a connection keeps the
// provider that was the default when it was keyed. Thread-safe and idempotent;
// it registers again if sqlite3_shutdown() dropped the registration. Throws
// CryptoFailure if OpenSSL lacks an algorithm or SQLCipher refuses it.
void installCipherProvider();

// PBKDF2 as SQLCipher derives a page key, through the provider's kdf: the key
// is remembered as one SQLCipher derived would be, so that a SQLCipher
// connection to a file written with it does not derive it again. False when
// the crypto library fails.
bool deriveKey(Digest digest, const char* password, int passwordSize, const unsigned char* salt,
               int saltSize, int iterations, unsigned char* key, int keySize);

// Wipes the one derived key the provider keeps for a second connection to the
// same file (see kdf in the source): once a compaction is over, nothing needs it.
void forgetDerivedKey();

}  // namespace platform::engine

#include "platform/engine/crypto/CipherProvider.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

#include "platform/engine/crypto/CryptoAlgorithms.h"

static_assert(SQLITE_VERSION_NUMBER == CAR_BUNDLED_SQLITE_VERSION_NUMBER,
              "the provider table below is SQLCipher 4.14.0's; check it against a new release");

// SQLCipher's provider table and registration, which its public header leaves
// out. The layout is copied from the bundled amalgamation (sqlcipher.h there);
// the static_assert above ties it to that release.
extern "C" {
struct sqlcipher_provider {
    int (*init)(void);
    void (*shutdown)(void);
    const char* (*get_provider_name)(void* ctx);
    int (*add_random)(void* ctx, const void* buffer, int length);
    int (*random)(void* ctx, void* buffer, int length);
    int (*hmac)(void* ctx, int algorithm, const unsigned char* hmac_key, int key_sz,
                const unsigned char* in, int in_sz, const unsigned char* in2, int in2_sz,
                unsigned char* out);
    int (*kdf)(void* ctx, int algorithm, const unsigned char* pass, int pass_sz,
               const unsigned char* salt, int salt_sz, int workfactor, int key_sz,
               unsigned char* key);
    int (*cipher)(void* ctx, int mode, const unsigned char* key, int key_sz,
                  const unsigned char* iv, const unsigned char* in, int in_sz, unsigned char* out);
    const char* (*get_cipher)(void* ctx);
    int (*get_key_sz)(void* ctx);
    int (*get_iv_sz)(void* ctx);
    int (*get_block_sz)(void* ctx);
    int (*get_hmac_sz)(void* ctx, int algorithm);
    int (*ctx_init)(void** ctx);
    int (*ctx_free)(void** ctx);
    int (*fips_status)(void* ctx);
    const char* (*get_provider_version)(void* ctx);
    sqlcipher_provider* next;
};
int sqlcipher_register_provider(sqlcipher_provider*);
sqlcipher_provider* sqlcipher_get_provider(void);
// SQLCipher frees every registered table with sqlcipher_free() when it shuts
// down, so ours must come from its allocator.
void* sqlcipher_malloc(sqlite3_uint64);
void sqlcipher_free(void*, sqlite3_uint64);
}

namespace platform::engine {

namespace {

constexpr int kEncrypt = 1;  // SQLCipher's modes match EVP's enc flag

constexpr std::size_t kMaxCachedKey = 64;

const CryptoAlgorithms* algorithms = nullptr;
// Keys remembered by the per-thread caches are kept XORed with this, never in
// the clear.
std::array<unsigned char, kMaxCachedKey> keyMask{};

void fetchAlgorithms() {
    if (RAND_bytes(keyMask.data(), int(keyMask.size())) != 1) {
        throw CryptoFailure("no random bytes for the key cache's mask");
    }
    algorithms = &cryptoAlgorithms();
}

// Keyed contexts of one thread. SQLCipher keys every page of a database with
// the same keys, so a context that already holds the key only needs the next
// page's IV (cipher) or a reset to its keyed state (HMAC). A few slots because
// a copy alternates between the source's keys and the destination's.
constexpr std::size_t kSlots = 4;

struct KeyedSlot {
    int variant = -1;  // mode for a cipher, algorithm for an HMAC
    int keySize = 0;   // 0: holds no usable key
    std::array<unsigned char, kMaxCachedKey> maskedKey{};
    std::uint64_t lastUse = 0;

    bool holds(int wantedVariant, const unsigned char* key, int size) const {
        if (keySize == 0 || variant != wantedVariant || keySize != size) return false;
        std::array<unsigned char, kMaxCachedKey> masked;
        for (int i = 0; i < size; ++i) masked[i] = key[i] ^ keyMask[i];
        const bool same = CRYPTO_memcmp(masked.data(), maskedKey.data(), std::size_t(size)) == 0;
        OPENSSL_cleanse(masked.data(), masked.size());
        return same;
    }
    void remember(int newVariant, const unsigned char* key, int size) {
        variant = newVariant;
        keySize = size;
        for (int i = 0; i < size; ++i) maskedKey[i] = key[i] ^ keyMask[i];
    }
    void forget() {
        keySize = 0;
        OPENSSL_cleanse(maskedKey.data(), maskedKey.size());
    }
};

struct CipherSlot : KeyedSlot {
    EVP_CIPHER_CTX* ctx = nullptr;
};
struct HmacSlot : KeyedSlot {
    EVP_MAC_CTX* ctx = nullptr;
};

struct ThreadContexts {
    std::array<CipherSlot, kSlots> ciphers;
    std::array<HmacSlot, kSlots> hmacs;
    std::uint64_t clock = 0;

    ThreadContexts() = default;
    ThreadContexts(const ThreadContexts&) = delete;
    ThreadContexts& operator=(const ThreadContexts&) = delete;
    // OpenSSL's free functions wipe the key schedules.
    ~ThreadContexts() {
        for (auto& slot : ciphers) {
            EVP_CIPHER_CTX_free(slot.ctx);
            slot.forget();
        }
        for (auto& slot : hmacs) {
            EVP_MAC_CTX_free(slot.ctx);
            slot.forget();
        }
    }

    // The slot holding this key, else the least recently used one (forgotten,
    // for the caller to key); `hit` says which.
    template <typename Slot>
    Slot& slotFor(std::array<Slot, kSlots>& slots, int variant, const unsigned char* key,
                  int keySize, bool& hit) {
        Slot* oldest = &slots[0];
        for (auto& slot : slots) {
            if (slot.holds(variant, key, keySize)) {
                slot.lastUse = ++clock;
                hit = true;
                return slot;
            }
            if (slot.lastUse < oldest->lastUse) oldest = &slot;
        }
        oldest->forget();
        oldest->lastUse = ++clock;
        hit = false;
        return *oldest;
    }
};

thread_local ThreadContexts threadContexts;

int fail() {
    // Leaves OpenSSL's error queue empty for whoever uses it next on this thread.
    ERR_clear_error();
    return SQLITE_ERROR;
}

const char* providerName(void*) {
    return kCipherProviderName;
}

const char* providerVersion(void*) {
    return OpenSSL_version(OPENSSL_VERSION);
}

int addRandom(void*, const void* buffer, int length) {
    RAND_add(buffer, length, 0);
    return SQLITE_OK;
}

// OpenSSL 3's generator is thread-safe (one per thread), so unlike the built-in
// provider this takes no lock of its own.
int randomBytes(void*, void* buffer, int length) {
    return RAND_bytes(static_cast<unsigned char*>(buffer), length) == 1 ? SQLITE_OK : fail();
}

int hmac(void*, int algorithm, const unsigned char* key, int keySize, const unsigned char* in,
         int inSize, const unsigned char* in2, int in2Size, unsigned char* out) {
    if (in == nullptr || algorithm < 0 || algorithm >= kDigestCount || keySize < 0) return fail();
    bool hit = false;
    HmacSlot& slot = threadContexts.slotFor(threadContexts.hmacs, algorithm, key, keySize, hit);
    if (hit) {
        // A null key resets the context to its keyed state without redoing the pads.
        if (EVP_MAC_init(slot.ctx, nullptr, 0, nullptr) != 1) {
            slot.forget();
            return fail();
        }
    } else {
        if (slot.ctx == nullptr || slot.variant != algorithm) {
            EVP_MAC_CTX_free(slot.ctx);
            slot.ctx = EVP_MAC_CTX_dup(algorithms->hmacPrototypes[algorithm]);
            slot.variant = algorithm;
            if (slot.ctx == nullptr) return fail();
        }
        if (EVP_MAC_init(slot.ctx, key, std::size_t(keySize), nullptr) != 1) return fail();
        if (std::size_t(keySize) <= kMaxCachedKey) slot.remember(algorithm, key, keySize);
    }
    std::size_t outSize = 0;
    const bool ok = EVP_MAC_update(slot.ctx, in, std::size_t(inSize)) == 1 &&
                    (in2 == nullptr || EVP_MAC_update(slot.ctx, in2, std::size_t(in2Size)) == 1) &&
                    EVP_MAC_final(slot.ctx, out, &outSize,
                                  std::size_t(algorithms->digestSizes[algorithm])) == 1;
    if (!ok) {
        slot.forget();
        return fail();
    }
    return SQLITE_OK;
}

// The last key derived from a password: the copy's checker opens a second
// connection with the copy's password and salt, which need not pay for the
// derivation again (tens to hundreds of milliseconds). Only real password
// derivations are kept, and only until forgetDerivedKey().
struct Derivation {
    std::string inputs;  // algorithm, iterations, password, salt
    std::string key;
};
std::mutex derivationMutex;
Derivation lastDerivation;

constexpr int kFewestRememberedIterations = 1000;

void wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

int kdf(void*, int algorithm, const unsigned char* pass, int passSize, const unsigned char* salt,
        int saltSize, int iterations, int keySize, unsigned char* key) {
    if (algorithm < 0 || algorithm >= kDigestCount) return fail();
    const bool remembered = iterations >= kFewestRememberedIterations;
    std::string inputs;
    if (remembered) {
        // Fixed-size fields first, so no two inputs run together alike.
        const int sizes[] = {algorithm, iterations, passSize, saltSize};
        inputs.append(reinterpret_cast<const char*>(sizes), sizeof sizes);
        inputs.append(reinterpret_cast<const char*>(pass), std::size_t(passSize));
        inputs.append(reinterpret_cast<const char*>(salt), std::size_t(saltSize));
        const std::lock_guard guard(derivationMutex);
        if (lastDerivation.inputs == inputs && lastDerivation.key.size() == std::size_t(keySize)) {
            std::memcpy(key, lastDerivation.key.data(), std::size_t(keySize));
            wipe(inputs);
            return SQLITE_OK;
        }
    }
    const bool ok =
        PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(pass), passSize, salt, saltSize, iterations,
                          algorithms->digests[algorithm], keySize, key) == 1;
    if (ok && remembered) {
        const std::lock_guard guard(derivationMutex);
        wipe(lastDerivation.inputs);
        wipe(lastDerivation.key);
        lastDerivation.inputs = std::move(inputs);
        lastDerivation.key.assign(reinterpret_cast<const char*>(key), std::size_t(keySize));
    }
    wipe(inputs);
    return ok ? SQLITE_OK : fail();
}

// AES-256-CBC without padding: SQLCipher always hands over whole blocks.
int cipher(void*, int mode, const unsigned char* key, int keySize, const unsigned char* iv,
           const unsigned char* in, int inSize, unsigned char* out) {
    const int enc = mode == kEncrypt ? 1 : 0;
    if (keySize != algorithms->keySize) return fail();
    bool hit = false;
    CipherSlot& slot = threadContexts.slotFor(threadContexts.ciphers, enc, key, keySize, hit);
    if (hit) {
        // The key schedule stays; only the IV is new.
        if (EVP_CipherInit_ex2(slot.ctx, nullptr, nullptr, iv, enc, nullptr) != 1) {
            slot.forget();
            return fail();
        }
    } else {
        if (slot.ctx == nullptr) slot.ctx = EVP_CIPHER_CTX_new();
        if (slot.ctx == nullptr ||
            EVP_CipherInit_ex2(slot.ctx, algorithms->cipher, key, iv, enc, nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(slot.ctx, 0) != 1)
            return fail();
        slot.remember(enc, key, keySize);
    }
    int updated = 0;
    int finished = 0;
    const bool ok = EVP_CipherUpdate(slot.ctx, out, &updated, in, inSize) == 1 &&
                    EVP_CipherFinal_ex(slot.ctx, out + updated, &finished) == 1 &&
                    updated + finished == inSize;
    if (!ok) {
        slot.forget();
        return fail();
    }
    return SQLITE_OK;
}

const char* cipherNameOf(void*) {
    return algorithms->cipherName.c_str();
}
int cipherKeySize(void*) {
    return algorithms->keySize;
}
int cipherIvSize(void*) {
    return algorithms->ivSize;
}
int cipherBlockSize(void*) {
    return algorithms->blockSize;
}
int hmacSize(void*, int algorithm) {
    return algorithm >= 0 && algorithm < kDigestCount ? algorithms->digestSizes[algorithm] : 0;
}

// Nothing per connection: the state is per process and per thread.
int contextInit(void**) {
    return SQLITE_OK;
}
int contextFree(void**) {
    return SQLITE_OK;
}

// As the built-in provider reports.
int fipsStatus(void*) {
    return 0;
}

std::once_flag fetchOnce;
std::mutex registration;

}  // namespace

bool deriveKey(Digest digest, const char* password, int passwordSize, const unsigned char* salt,
               int saltSize, int iterations, unsigned char* key, int keySize) {
    std::call_once(fetchOnce, fetchAlgorithms);
    return kdf(nullptr, int(digest), reinterpret_cast<const unsigned char*>(password), passwordSize,
               salt, saltSize, iterations, keySize, key) == SQLITE_OK;
}

void forgetDerivedKey() {
    const std::lock_guard guard(derivationMutex);
    wipe(lastDerivation.inputs);
    wipe(lastDerivation.key);
}

void installCipherProvider() {
    std::call_once(fetchOnce, fetchAlgorithms);
    std::lock_guard lock(registration);
    // SQLCipher's allocator and its provider list exist once the library is up.
    if (sqlite3_initialize() != SQLITE_OK)
        throw CryptoFailure("SQLCipher could not be initialised");
    const sqlcipher_provider* current = sqlcipher_get_provider();
    if (current != nullptr && current->get_provider_name == providerName) return;

    auto* p = static_cast<sqlcipher_provider*>(sqlcipher_malloc(sizeof(sqlcipher_provider)));
    if (p == nullptr) throw std::bad_alloc();
    std::memset(p, 0, sizeof *p);
    p->get_provider_name = providerName;
    p->add_random = addRandom;
    p->random = randomBytes;
    p->hmac = hmac;
    p->kdf = kdf;
    p->cipher = cipher;
    p->get_cipher = cipherNameOf;
    p->get_key_sz = cipherKeySize;
    p->get_iv_sz = cipherIvSize;
    p->get_block_sz = cipherBlockSize;
    p->get_hmac_sz = hmacSize;
    p->ctx_init = contextInit;
    p->ctx_free = contextFree;
    p->fips_status = fipsStatus;
    p->get_provider_version = providerVersion;
    if (sqlcipher_register_provider(p) != SQLITE_OK) {
        sqlcipher_free(p, sizeof *p);
        throw CryptoFailure("SQLCipher refused the cipher provider");
    }
}

}  // namespace platform::engine

#include "platform/engine/PageCipher.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace platform::engine {

namespace {

constexpr int kKeySize = 32;
constexpr int kIvSize = 16;
// SQLCipher derives the HMAC key from the page key with a masked salt and a
// few fast iterations.
constexpr unsigned char kHmacSaltMask = 0x3a;
constexpr int kHmacKdfIterations = 2;
constexpr char kPlainHeader[] = "SQLite format 3";

constexpr CipherFormat kFormats[] = {
    {3, 1024, 64000, "SHA1", true, 20, 48},
    {4, 4096, 256000, "SHA512", true, 64, 80},
    {2, 1024, 4000, "SHA1", true, 20, 48},
    {1, 1024, 4000, "SHA1", false, 0, 16},
};

QByteArray pbkdf2(QByteArrayView secret, QByteArrayView salt, int iterations, const char* digest) {
    QByteArray key(kKeySize, Qt::Uninitialized);
    const EVP_MD* md = EVP_get_digestbyname(digest);
    if (!md || PKCS5_PBKDF2_HMAC(secret.data(), int(secret.size()),
                                 reinterpret_cast<const unsigned char*>(salt.data()),
                                 int(salt.size()), iterations, md, kKeySize,
                                 reinterpret_cast<unsigned char*>(key.data())) != 1) {
        throw std::bad_alloc();
    }
    return key;
}

}  // namespace

const CipherFormat* cipherFormats(std::size_t& count) {
    count = std::size(kFormats);
    return kFormats;
}

const CipherFormat& cipherFormat(int version) {
    for (const CipherFormat& format : kFormats) {
        if (format.version == version) return format;
    }
    throw std::invalid_argument("no such SQLCipher format");
}

struct PageCipher::State {
    EVP_CIPHER_CTX* cipher = nullptr;
    EVP_MAC* macAlgorithm = nullptr;
    EVP_MAC_CTX* mac = nullptr;
    ~State() {
        EVP_MAC_CTX_free(mac);
        EVP_MAC_free(macAlgorithm);
        EVP_CIPHER_CTX_free(cipher);
    }
};

PageCipher::PageCipher(const CipherFormat& format, QByteArrayView password, QByteArrayView salt)
    : format_(format), state_(std::make_unique<State>()) {
    QByteArray key = pbkdf2(password, salt, format.kdfIterations, format.digest);
    state_->cipher = EVP_CIPHER_CTX_new();
    if (!state_->cipher ||
        EVP_DecryptInit_ex(state_->cipher, EVP_aes_256_cbc(), nullptr,
                           reinterpret_cast<const unsigned char*>(key.constData()), nullptr) != 1) {
        throw std::bad_alloc();
    }
    EVP_CIPHER_CTX_set_padding(state_->cipher, 0);
    if (format.hmac) {
        QByteArray hmacSalt = salt.toByteArray();
        for (char& byte : hmacSalt) byte = char(byte ^ kHmacSaltMask);
        QByteArray hmacKey = pbkdf2(key, hmacSalt, kHmacKdfIterations, format.digest);
        state_->macAlgorithm = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        state_->mac = state_->macAlgorithm ? EVP_MAC_CTX_new(state_->macAlgorithm) : nullptr;
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(
                                   OSSL_MAC_PARAM_DIGEST, const_cast<char*>(format.digest), 0),
                               OSSL_PARAM_construct_end()};
        if (!state_->mac ||
            EVP_MAC_init(state_->mac, reinterpret_cast<const unsigned char*>(hmacKey.constData()),
                         std::size_t(hmacKey.size()), params) != 1) {
            throw std::bad_alloc();
        }
        OPENSSL_cleanse(hmacKey.data(), std::size_t(hmacKey.size()));
    }
    OPENSSL_cleanse(key.data(), std::size_t(key.size()));
}

PageCipher::PageCipher(const CipherFormat& format)
    : format_(format), state_(std::make_unique<State>()) {}

PageCipher::~PageCipher() = default;

std::unique_ptr<PageCipher> PageCipher::twin() const {
    std::unique_ptr<PageCipher> copy(new PageCipher(format_));
    State& to = *copy->state_;
    to.cipher = EVP_CIPHER_CTX_new();
    if (!to.cipher || EVP_CIPHER_CTX_copy(to.cipher, state_->cipher) != 1) throw std::bad_alloc();
    if (state_->mac) {
        to.mac = EVP_MAC_CTX_dup(state_->mac);
        if (!to.mac || EVP_MAC_up_ref(state_->macAlgorithm) != 1) throw std::bad_alloc();
        to.macAlgorithm = state_->macAlgorithm;
    }
    return copy;
}

bool PageCipher::decrypt(std::uint32_t pageNumber, const unsigned char* in, unsigned char* out) {
    const int offset = pageNumber == 1 ? kSaltSize : 0;
    const int size = format_.pageSize - offset - format_.reserve;
    const unsigned char* data = in + offset;
    const unsigned char* iv = data + size;
    if (format_.hmac) {
        const unsigned char number[4] = {static_cast<unsigned char>(pageNumber),
                                         static_cast<unsigned char>(pageNumber >> 8),
                                         static_cast<unsigned char>(pageNumber >> 16),
                                         static_cast<unsigned char>(pageNumber >> 24)};
        unsigned char computed[EVP_MAX_MD_SIZE];
        std::size_t length = 0;
        if (EVP_MAC_init(state_->mac, nullptr, 0, nullptr) != 1 ||
            EVP_MAC_update(state_->mac, data, std::size_t(size + kIvSize)) != 1 ||
            EVP_MAC_update(state_->mac, number, sizeof number) != 1 ||
            EVP_MAC_final(state_->mac, computed, &length, sizeof computed) != 1) {
            throw std::bad_alloc();
        }
        if (int(length) != format_.hmacSize || CRYPTO_memcmp(computed, iv + kIvSize, length) != 0) {
            return false;
        }
    }
    int written = 0;
    int last = 0;
    if (EVP_DecryptInit_ex(state_->cipher, nullptr, nullptr, nullptr, iv) != 1 ||
        EVP_DecryptUpdate(state_->cipher, out + offset, &written, data, size) != 1 ||
        EVP_DecryptFinal_ex(state_->cipher, out + offset + written, &last) != 1) {
        return false;
    }
    std::memcpy(out + offset + size, iv, std::size_t(format_.reserve));
    if (pageNumber == 1) std::memcpy(out, kPlainHeader, sizeof kPlainHeader);
    return true;
}

}  // namespace platform::engine

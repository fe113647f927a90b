#include "platform/engine/crypto/PageCipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <QByteArray>
#include <algorithm>
#include <cstring>

#include "platform/engine/crypto/CipherProvider.h"
#include "platform/engine/crypto/CryptoAlgorithms.h"
#include "platform/engine/format/DatabaseHeader.h"

namespace platform::engine {

namespace {

// SQLCipher derives the HMAC key from the page key with a masked salt and a
// few fast iterations.
constexpr unsigned char kHmacSaltMask = 0x3a;
constexpr int kHmacKdfIterations = 2;

// Through the cipher provider, which remembers a password's key for the
// SQLCipher connection that opens the same file next.
QByteArray pbkdf2(QByteArrayView secret, QByteArrayView salt, int iterations, Digest digest) {
    QByteArray key(kKeySize, Qt::Uninitialized);
    if (!deriveKey(digest, secret.data(), int(secret.size()),
                   reinterpret_cast<const unsigned char*>(salt.data()), int(salt.size()),
                   iterations, reinterpret_cast<unsigned char*>(key.data()), kKeySize)) {
        throw CryptoFailure("PBKDF2 failed");
    }
    return key;
}

}  // namespace

// One AES context per direction: a key schedule made for decrypting cannot
// encrypt.
struct PageCipher::State {
    EVP_CIPHER_CTX* cipher = nullptr;
    EVP_CIPHER_CTX* encrypter = nullptr;
    EVP_MAC_CTX* mac = nullptr;
    ~State() {
        EVP_MAC_CTX_free(mac);
        EVP_CIPHER_CTX_free(encrypter);
        EVP_CIPHER_CTX_free(cipher);
    }
};

PageCipher::PageCipher(const CipherFormat& format, QByteArrayView password, QByteArrayView salt)
    : PageCipher(format, format.pageSize) {
    const CryptoAlgorithms& algorithms = cryptoAlgorithms();
    std::memcpy(salt_.data(), salt.data(), std::min(salt_.size(), std::size_t(salt.size())));
    QByteArray key = pbkdf2(password, salt, format.kdfIterations, format.digest);
    const auto* raw = reinterpret_cast<const unsigned char*>(key.constData());
    state_->cipher = EVP_CIPHER_CTX_new();
    state_->encrypter = EVP_CIPHER_CTX_new();
    if (!state_->cipher || !state_->encrypter ||
        EVP_DecryptInit_ex2(state_->cipher, algorithms.cipher, raw, nullptr, nullptr) != 1 ||
        EVP_EncryptInit_ex2(state_->encrypter, algorithms.cipher, raw, nullptr, nullptr) != 1) {
        OPENSSL_cleanse(key.data(), std::size_t(key.size()));
        throw CryptoFailure("AES-256-CBC could not be keyed");
    }
    EVP_CIPHER_CTX_set_padding(state_->cipher, 0);
    EVP_CIPHER_CTX_set_padding(state_->encrypter, 0);
    if (format.hmac) {
        QByteArray hmacSalt = salt.toByteArray();
        for (char& byte : hmacSalt) byte = char(byte ^ kHmacSaltMask);
        QByteArray hmacKey = pbkdf2(key, hmacSalt, kHmacKdfIterations, format.digest);
        state_->mac = EVP_MAC_CTX_dup(algorithms.hmacPrototypes[int(format.digest)]);
        const bool keyed =
            state_->mac &&
            EVP_MAC_init(state_->mac, reinterpret_cast<const unsigned char*>(hmacKey.constData()),
                         std::size_t(hmacKey.size()), nullptr) == 1;
        OPENSSL_cleanse(hmacKey.data(), std::size_t(hmacKey.size()));
        if (!keyed) {
            OPENSSL_cleanse(key.data(), std::size_t(key.size()));
            throw CryptoFailure("HMAC could not be keyed");
        }
    }
    OPENSSL_cleanse(key.data(), std::size_t(key.size()));
}

PageCipher::PageCipher(const CipherFormat& format, int pageSize)
    : format_(format), pageSize_(pageSize), state_(std::make_unique<State>()) {}

PageCipher::~PageCipher() = default;

std::unique_ptr<PageCipher> PageCipher::withPageSize(int pageSize) const {
    std::unique_ptr<PageCipher> copy(new PageCipher(format_, pageSize));
    copy->salt_ = salt_;
    State& to = *copy->state_;
    to.cipher = EVP_CIPHER_CTX_new();
    to.encrypter = EVP_CIPHER_CTX_new();
    if (!to.cipher || !to.encrypter || EVP_CIPHER_CTX_copy(to.cipher, state_->cipher) != 1 ||
        EVP_CIPHER_CTX_copy(to.encrypter, state_->encrypter) != 1) {
        throw CryptoFailure("AES-256-CBC context could not be copied");
    }
    if (state_->mac) {
        to.mac = EVP_MAC_CTX_dup(state_->mac);
        if (!to.mac) throw CryptoFailure("HMAC context could not be copied");
    }
    return copy;
}

void PageCipher::authenticate(std::uint32_t pageNumber, const unsigned char* data, int size,
                              unsigned char* mac, std::size_t& length) {
    const unsigned char number[4] = {
        static_cast<unsigned char>(pageNumber), static_cast<unsigned char>(pageNumber >> 8),
        static_cast<unsigned char>(pageNumber >> 16), static_cast<unsigned char>(pageNumber >> 24)};
    if (EVP_MAC_init(state_->mac, nullptr, 0, nullptr) != 1 ||
        EVP_MAC_update(state_->mac, data, std::size_t(size)) != 1 ||
        EVP_MAC_update(state_->mac, number, sizeof number) != 1 ||
        EVP_MAC_final(state_->mac, mac, &length, EVP_MAX_MD_SIZE) != 1) {
        throw CryptoFailure("HMAC failed");
    }
}

bool PageCipher::decrypt(std::uint32_t pageNumber, const unsigned char* in, unsigned char* out) {
    const int offset = pageNumber == 1 ? kSaltSize : 0;
    const int size = pageSize_ - offset - format_.reserve;
    const unsigned char* data = in + offset;
    const unsigned char* iv = data + size;
    if (format_.hmac) {
        unsigned char computed[EVP_MAX_MD_SIZE];
        std::size_t length = 0;
        authenticate(pageNumber, data, size + kIvSize, computed, length);
        if (int(length) != format_.hmacSize || CRYPTO_memcmp(computed, iv + kIvSize, length) != 0) {
            return false;
        }
    }
    int written = 0;
    int last = 0;
    if (EVP_DecryptInit_ex2(state_->cipher, nullptr, nullptr, iv, nullptr) != 1 ||
        EVP_DecryptUpdate(state_->cipher, out + offset, &written, data, size) != 1 ||
        EVP_DecryptFinal_ex(state_->cipher, out + offset + written, &last) != 1) {
        return false;
    }
    std::memcpy(out + offset + size, iv, std::size_t(format_.reserve));
    if (pageNumber == 1) std::memcpy(out, format::kHeaderMagic, format::kMagicSize);
    return true;
}

void PageCipher::encrypt(std::uint32_t pageNumber, const unsigned char* in, unsigned char* out,
                         const unsigned char* random) {
    const int offset = pageNumber == 1 ? kSaltSize : 0;
    const int size = pageSize_ - offset - format_.reserve;
    unsigned char* data = out + offset;
    unsigned char* iv = data + size;
    // As SQLCipher writes a page: the whole reserve random, its start the IV,
    // the HMAC after it.
    if (random) {
        std::memcpy(iv, random, std::size_t(format_.reserve));
    } else if (RAND_bytes(iv, format_.reserve) != 1) {
        throw CryptoFailure("no random bytes for an IV");
    }
    int written = 0;
    int last = 0;
    if (EVP_EncryptInit_ex2(state_->encrypter, nullptr, nullptr, iv, nullptr) != 1 ||
        EVP_EncryptUpdate(state_->encrypter, data, &written, in + offset, size) != 1 ||
        EVP_EncryptFinal_ex(state_->encrypter, data + written, &last) != 1 ||
        written + last != size) {
        throw CryptoFailure("AES-256-CBC failed");
    }
    if (format_.hmac) {
        unsigned char mac[EVP_MAX_MD_SIZE];
        std::size_t length = 0;
        authenticate(pageNumber, data, size + kIvSize, mac, length);
        if (int(length) != format_.hmacSize) throw CryptoFailure("HMAC of an unexpected size");
        std::memcpy(iv + kIvSize, mac, length);
    }
    if (pageNumber == 1) std::memcpy(out, salt_.data(), salt_.size());
}

}  // namespace platform::engine

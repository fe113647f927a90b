#pragma once

#include <QByteArrayView>
#include <array>
#include <cstdint>
#include <memory>

#include "platform/engine/crypto/CipherFormat.h"

namespace platform::engine {

// Decrypts and authenticates pages of one SQLCipher file, and encrypts pages
// for it: the key is derived once from the password and the file's salt, and
// every page is judged on its own, so one bad page never hides the next.
// Crypto library failures throw CryptoFailure.
class PageCipher {
  public:
    PageCipher(const CipherFormat& format, QByteArrayView password, QByteArrayView salt);
    ~PageCipher();
    PageCipher(const PageCipher&) = delete;
    PageCipher& operator=(const PageCipher&) = delete;

    const CipherFormat& format() const { return format_; }
    // The same keys for pages of another size (a file need not use its
    // format's default): nothing is derived again.
    std::unique_ptr<PageCipher> withPageSize(int pageSize) const;
    // A second cipher with the same keys, for another thread.
    std::unique_ptr<PageCipher> twin() const { return withPageSize(pageSize_); }
    int pageSize() const { return pageSize_; }

    // Decrypts one page (pageSize() bytes) into `out`: false when it fails
    // authentication (out is then undefined). Page 1 comes out with the plain
    // SQLite header's magic in place of the salt.
    bool decrypt(std::uint32_t pageNumber, const unsigned char* in, unsigned char* out);
    // The inverse: encrypts one plain page into `out` as SQLCipher writes it,
    // with a fresh random IV and its HMAC in the reserve, and page 1 starting
    // with the salt. Decrypting it gives back the page's content.
    // `random` may bring the reserve's random bytes (format().reserve of
    // them), drawn for many pages at once.
    void encrypt(std::uint32_t pageNumber, const unsigned char* in, unsigned char* out,
                 const unsigned char* random = nullptr);

  private:
    explicit PageCipher(const CipherFormat& format, int pageSize);
    // The page's HMAC over its encrypted bytes and IV (`size` of them) and its number.
    void authenticate(std::uint32_t pageNumber, const unsigned char* data, int size,
                      unsigned char* mac, std::size_t& length);
    struct State;
    const CipherFormat& format_;
    int pageSize_;
    std::array<unsigned char, kSaltSize> salt_{};
    std::unique_ptr<State> state_;
};

}  // namespace platform::engine

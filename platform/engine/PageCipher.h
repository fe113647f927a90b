#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <memory>

namespace platform::engine {

// The settings of one SQLCipher file format (its major version), as the
// library's cipher_compatibility pragma sets them.
struct CipherFormat {
    int version;
    int pageSize;
    int kdfIterations;
    const char* digest;  // for PBKDF2 and the page HMAC
    bool hmac;           // format 1 has none: its pages cannot be authenticated
    int hmacSize;
    int reserve;  // bytes at the end of each page: IV, HMAC, padding
};

// Formats in the order a source is tried: the product's own first.
const CipherFormat* cipherFormats(std::size_t& count);
const CipherFormat& cipherFormat(int version);

inline constexpr int kSaltSize = 16;

// Decrypts and authenticates pages of one SQLCipher file: the key is derived
// once from the password and the file's salt, and every page is judged on
// its own, so one bad page never hides the next.
class PageCipher {
  public:
    PageCipher(const CipherFormat& format, QByteArrayView password, QByteArrayView salt);
    ~PageCipher();
    PageCipher(const PageCipher&) = delete;
    PageCipher& operator=(const PageCipher&) = delete;

    const CipherFormat& format() const { return format_; }
    // A second cipher with the same keys, for another thread: the keys are
    // copied, never derived again.
    std::unique_ptr<PageCipher> twin() const;
    // Decrypts one page (pageSize bytes) into `out`: false when it fails
    // authentication (out is then undefined). Page 1 comes out with the plain
    // SQLite header in place of the salt.
    bool decrypt(std::uint32_t pageNumber, const unsigned char* in, unsigned char* out);

  private:
    explicit PageCipher(const CipherFormat& format);
    struct State;
    const CipherFormat& format_;
    std::unique_ptr<State> state_;
};

}  // namespace platform::engine

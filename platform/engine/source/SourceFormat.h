#pragma once

#include <QByteArrayView>
#include <QString>
#include <cstdint>
#include <memory>

#include "platform/engine/crypto/PageCipher.h"

namespace platform::engine {

// How a source's pages are to be read: plaintext, or decrypted by a cipher
// keyed for it.
struct SourceFormat {
    std::unique_ptr<PageCipher> cipher;  // null for plaintext
    int pageSize = 0;
};

// Tells the file's format from its first pages and derives its key. Raises
// 3049 for no database (or a page 1 damaged while later pages open under the
// key) and 3031 for a key that opens nothing.
SourceFormat identifySource(int fd, std::int64_t size, QByteArrayView password,
                            const QString& nativeSource);

}  // namespace platform::engine

#include "platform/engine/crypto/CipherFormat.h"

namespace platform::engine {

namespace {
constexpr CipherFormat kFormats[] = {
    {3, 1024, 64000, Digest::Sha1, true, 20, 48},
    {4, 4096, 256000, Digest::Sha512, true, 64, 80},
    {2, 1024, 4000, Digest::Sha1, true, 20, 48},
    {1, 1024, 4000, Digest::Sha1, false, 0, 16},
};
}  // namespace

std::span<const CipherFormat> cipherFormats() {
    return kFormats;
}

}  // namespace platform::engine

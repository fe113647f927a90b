#include "platform/engine/crypto/CryptoAlgorithms.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/params.h>

#include <memory>
#include <mutex>

namespace platform::engine {

CryptoFailure::CryptoFailure(const std::string& what)
    : std::runtime_error([&] {
          char detail[256] = "";
          if (const unsigned long code = ERR_get_error())
              ERR_error_string_n(code, detail, sizeof detail);
          ERR_clear_error();
          return detail[0] ? what + " (" + detail + ")" : what;
      }()) {}

namespace {

CryptoAlgorithms* fetchAlgorithms() {
    // What a failed fetch got stays unfreed; it happens at most once per call.
    auto a = std::make_unique<CryptoAlgorithms>();
    a->cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    static constexpr std::array<const char*, kDigestCount> names{"SHA1", "SHA256", "SHA512"};
    for (int i = 0; i < kDigestCount; ++i) a->digests[i] = EVP_MD_fetch(nullptr, names[i], nullptr);
    a->hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    bool ok = a->cipher && a->hmac && a->digests[0] && a->digests[1] && a->digests[2];
    for (int i = 0; ok && i < kDigestCount; ++i) {
        a->hmacPrototypes[i] = EVP_MAC_CTX_new(a->hmac);
        char* name = const_cast<char*>(EVP_MD_get0_name(a->digests[i]));
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, name, 0), OSSL_PARAM_END};
        ok = a->hmacPrototypes[i] && EVP_MAC_CTX_set_params(a->hmacPrototypes[i], params) == 1;
        if (ok) a->digestSizes[i] = EVP_MD_get_size(a->digests[i]);
    }
    if (!ok) throw CryptoFailure("OpenSSL lacks AES-256-CBC, HMAC or a SHA digest");
    a->cipherName = OBJ_nid2sn(EVP_CIPHER_get_nid(a->cipher));
    a->keySize = EVP_CIPHER_get_key_length(a->cipher);
    a->ivSize = EVP_CIPHER_get_iv_length(a->cipher);
    a->blockSize = EVP_CIPHER_get_block_size(a->cipher);
    return a.release();
}

}  // namespace

const CryptoAlgorithms& cryptoAlgorithms() {
    // A failed fetch is tried again on the next call.
    static std::mutex fetching;
    static CryptoAlgorithms* fetched = nullptr;
    std::lock_guard lock(fetching);
    if (!fetched) fetched = fetchAlgorithms();
    return *fetched;
}

}  // namespace platform::engine

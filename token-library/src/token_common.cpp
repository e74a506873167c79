// Cipher, digest and buffer handling shared by the token decoder and encoder.
#include "token_common.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace nubrel {

namespace {

struct MdCtxDeleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

struct CipherTexts {
    const char *converting;
    const char *running;
    const char *setup_failed;  // takes the error code
};

// Indexed by suite, then by direction (0 decrypt, 1 encrypt).
constexpr CipherTexts kCipherTexts[4][2] = {
    {{nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr}},
    {{"Converting AES-256 key into the architecture dependent format...\n", "Decrypting the payload via AES-256...\n",
      "Cannot set the decryption key for AES-256 - unhandled error %i\n"},
     {"Converting AES-256 key into the architecture dependent format...\n", "Encrypting the payload via AES-256...\n",
      "Cannot set the encryption key for AES-256 - unhandled error %i\n"}},
    {{"Converting AES-128 key into the architecture dependent format...\n", "Decrypting the payload via AES-128...\n",
      "Cannot set the decryption key for AES-128 - unhandled error %i\n"},
     {"Converting AES-128 key into the architecture dependent format...\n", "Encrypting the payload via AES-128...\n",
      "Cannot set the encryption key for AES-128 - unhandled error %i\n"}},
    {{"Converting DES keys into the architecture dependent format...\n", "Decrypting the payload via 3DES-168...\n",
      "Cannot set the decryption key for 3DES-168 - unhandled error %i\n"},
     {"Converting DES keys into the architecture dependent format...\n", "Encrypting the payload via 3DES-168...\n",
      "Cannot set the encryption key for 3DES-168 - unhandled error %i\n"}},
};

// Algorithms are fetched once per process: the shortcuts such as
// EVP_aes_256_cbc() look the implementation up by name on every use.
const EVP_CIPHER *suite_cipher(int32_t suite) {
    static EVP_CIPHER *const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    static EVP_CIPHER *const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    static EVP_CIPHER *const des3 = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
    switch (suite) {
    case 1: return aes256;
    case 2: return aes128;
    case 3: return des3;
    default: return nullptr;
    }
}

const EVP_MD *sha1_algorithm() {
    static EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return md;
}

// Cipher and MAC contexts are kept per thread and re-initialised for each
// token; creating them allocates and sets up provider state every time. Each
// remembers the key it was last keyed with: a token under the same key (the
// common case: one password per server) only sets its IV, or restarts the
// MAC from the keyed state, instead of expanding the key again.
struct KeyedCipher {
    EVP_CIPHER_CTX *ctx = nullptr;
    int32_t suite = 0;
    bool keyed = false;
    unsigned char key[kMaxKeyLength];
};

struct ThreadContexts {
    KeyedCipher cipher[2];  // decryption, encryption
    EVP_MAC_CTX *mac = nullptr;
    int32_t mac_key_length = -1;
    unsigned char mac_key[kMaxKeyLength];

    ThreadContexts() = default;
    ThreadContexts(const ThreadContexts &) = delete;
    ThreadContexts &operator=(const ThreadContexts &) = delete;
    ~ThreadContexts() {
        for (KeyedCipher &keyed : cipher) {
            EVP_CIPHER_CTX_free(keyed.ctx);
            OPENSSL_cleanse(keyed.key, sizeof keyed.key);
        }
        EVP_MAC_CTX_free(mac);
        OPENSSL_cleanse(mac_key, sizeof mac_key);
    }
};

thread_local ThreadContexts t_contexts;

// An HMAC context with SHA-1 chosen; each token only sets the key.
EVP_MAC_CTX *thread_hmac_context() {
    if (t_contexts.mac != nullptr) return t_contexts.mac;
    static EVP_MAC *const hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (hmac == nullptr) return nullptr;
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(hmac);
    char digest_name[] = "SHA1";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                                 OSSL_PARAM_construct_end()};
    if (ctx == nullptr || EVP_MAC_CTX_set_params(ctx, params) != 1) {
        EVP_MAC_CTX_free(ctx);
        return nullptr;
    }
    t_contexts.mac = ctx;
    return ctx;
}

// Starts the thread's MAC for the key; false after a failure.
bool start_hmac(EVP_MAC_CTX *ctx, const unsigned char *key, int32_t key_length) {
    ThreadContexts &contexts = t_contexts;
    if (key_length >= 0 && key_length <= kMaxKeyLength && key_length == contexts.mac_key_length &&
        CRYPTO_memcmp(key, contexts.mac_key, static_cast<size_t>(key_length)) == 0)
        return EVP_MAC_init(ctx, nullptr, 0, nullptr) == 1;
    contexts.mac_key_length = -1;
    if (EVP_MAC_init(ctx, key, static_cast<size_t>(key_length), nullptr) != 1) return false;
    if (key_length >= 0 && key_length <= kMaxKeyLength) {
        std::memcpy(contexts.mac_key, key, static_cast<size_t>(key_length));
        contexts.mac_key_length = key_length;
    }
    return true;
}

// The thread's context of the direction, set up for the suite, key and IV,
// without padding (the payload is padded already); null after a failure.
EVP_CIPHER_CTX *keyed_cipher_context(const EVP_CIPHER *cipher, int32_t suite, bool encrypt, const unsigned char *key,
                                     const unsigned char *iv) {
    KeyedCipher &keyed = t_contexts.cipher[encrypt ? 1 : 0];
    if (keyed.ctx == nullptr && (keyed.ctx = EVP_CIPHER_CTX_new()) == nullptr) return nullptr;
    const size_t key_length = static_cast<size_t>(EVP_CIPHER_get_key_length(cipher));
    if (key_length > sizeof keyed.key) return nullptr;
    if (keyed.keyed && keyed.suite == suite && CRYPTO_memcmp(keyed.key, key, key_length) == 0)
        return EVP_CipherInit_ex(keyed.ctx, nullptr, nullptr, nullptr, iv, encrypt ? 1 : 0) == 1 ? keyed.ctx : nullptr;
    keyed.keyed = false;
    if (EVP_CipherInit_ex(keyed.ctx, cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(keyed.ctx, 0) != 1)
        return nullptr;
    std::memcpy(keyed.key, key, key_length);
    keyed.suite = suite;
    keyed.keyed = true;
    return keyed.ctx;
}

}  // namespace

void OwnedBuffer::reset() noexcept {
    if (data == nullptr) return;
    if (release_message != nullptr) write_log(__FILE_NAME__, __LINE__, LogClass::detail, "%s", release_message);
    std::free(data);
    data = nullptr;
}

void KeyBuffer::reset() noexcept {
    if (data == nullptr) return;
    if (release_message != nullptr) write_log(__FILE_NAME__, __LINE__, LogClass::detail, "%s", release_message);
    if (capacity > 0) OPENSSL_cleanse(data, static_cast<size_t>(capacity));
    if (owned) std::free(data);
    data = nullptr;
    length = capacity = 0;
    owned = false;
}

int KeyBuffer::use_password_key(nubrel_instance *handle, int32_t suite) noexcept {
    reset();
    if (password_based_key(handle, suite, derived, &length) != 0) return -1;
    data = derived;
    capacity = kMaxKeyLength;
    return 0;
}

void KeyBuffer::adopt(unsigned char *key, int32_t key_length) noexcept {
    reset();
    data = key;
    length = capacity = key_length;
    owned = key != nullptr;
}

int run_cipher(int32_t suite, bool encrypt, const unsigned char *key, const unsigned char *iv, unsigned char *data,
               int32_t length) noexcept {
    const EVP_CIPHER *cipher = suite_cipher(suite);
    if (cipher == nullptr) {
        NBR_LOG(error, "Cipher suite %i is unhandled\n", suite);
        return -1;
    }
    const CipherTexts &texts = kCipherTexts[suite][encrypt ? 1 : 0];
    write_log(__FILE_NAME__, __LINE__, LogClass::detail, "%s", texts.converting);
    if (suite == NUBREL_SUITE_3DES) check_des_keys(key);
    EVP_CIPHER_CTX *ctx = keyed_cipher_context(cipher, suite, encrypt, key, iv);
    if (ctx == nullptr) {
        write_log(__FILE_NAME__, __LINE__, LogClass::error, texts.setup_failed, static_cast<int>(ERR_get_error()));
        return -1;
    }
    write_log(__FILE_NAME__, __LINE__, LogClass::progress, "%s", texts.running);
    int produced = 0;
    int finished = 0;
    if (EVP_CipherUpdate(ctx, data, &produced, data, length) != 1 ||
        EVP_CipherFinal_ex(ctx, data + produced, &finished) != 1 || produced + finished != length) {
        NBR_LOG(error, "Cannot %s the payload - cipher operation has failed\n", encrypt ? "encrypt" : "decrypt");
        return -1;
    }
    return 0;
}

int compute_digest(int32_t suite, const unsigned char *key, int32_t key_length, uint8_t version,
                   const unsigned char *iv, int32_t iv_length, const char *payload, size_t payload_length,
                   unsigned char digest[kDigestLength]) noexcept {
    const unsigned char header[2] = {version, static_cast<unsigned char>(suite)};
    const auto *text = reinterpret_cast<const unsigned char *>(payload);
    if (suite == NUBREL_SUITE_NULL) {
        NBR_LOG(progress, "Calculating a standard SHA-1 hash of the uncompressed payload...\n");
        std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
        unsigned int length = 0;
        if (!ctx || EVP_DigestInit_ex(ctx.get(), sha1_algorithm(), nullptr) != 1 ||
            EVP_DigestUpdate(ctx.get(), header, sizeof header) != 1 ||
            (payload_length > 0 && EVP_DigestUpdate(ctx.get(), text, payload_length) != 1) ||
            EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length != kDigestLength) {
            NBR_LOG(error, "Cannot calculate a SHA-1 hash of the payload\n");
            return -1;
        }
        return 0;
    }
    NBR_LOG(progress, "Calculating an HMAC-SHA-1 MAC digest...\n");
    EVP_MAC_CTX *ctx = thread_hmac_context();
    size_t length = 0;
    if (ctx == nullptr || !start_hmac(ctx, key, key_length) ||
        EVP_MAC_update(ctx, header, sizeof header) != 1 ||
        (iv_length > 0 && EVP_MAC_update(ctx, iv, static_cast<size_t>(iv_length)) != 1) ||
        (payload_length > 0 && EVP_MAC_update(ctx, text, payload_length) != 1) ||
        EVP_MAC_final(ctx, digest, &length, kDigestLength) != 1 || length != kDigestLength) {
        NBR_LOG(error, "Cannot calculate an HMAC-SHA-1 MAC digest\n");
        return -1;
    }
    return 0;
}

int check_version(uint8_t version) noexcept {
    NBR_LOG(progress, "Verifying the token's version...\n");
    if (version > kHighestVersion) {
        NBR_LOG(error, "Token's version %i exceeds version %i of specification, supported by this implementation\n",
                version, kHighestVersion);
        return -1;
    }
    NBR_LOG(detail, "NBR version: %i\n", version);
    return 0;
}

}  // namespace nubrel

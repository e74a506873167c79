// Cipher suites, key derivation and fitting, padding, random IVs, password obfuscation.
#include "internal.h"
#include "obfuscation_key.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr std::array<nubrel::SuiteInfo, 4> kSuites{{
    {0, "null (test case)", 0, 0, 0},
    {1, "AES, key size 256 bits, CBC mode, PKCS5 padding", 32, 16, 16},
    {2, "AES, key size 128 bits, CBC mode, PKCS5 padding", 16, 16, 16},
    {3, "Triple DES, key size 168 bits, CBC mode, PKCS5 padding", 24, 8, 8},
}};

constexpr int32_t kTripleDesSuite = 3;
constexpr size_t kDesKeySize = 8;

using DesKey = std::array<unsigned char, kDesKeySize>;

// IVs come from a per-thread reserve of generator output, refilled a kilobyte
// at a time: each draw from OpenSSL's generator takes its lock and asks the
// kernel for the process id, which costs more than the IV itself. A fork
// empties every reserve, so that parent and child never hand out the same
// bytes.
std::atomic<unsigned> g_fork_generation{0};

void note_fork() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

struct RandomReserve {
    std::array<unsigned char, 1024> bytes{};
    size_t used = bytes.size();
    unsigned generation = 0;

    RandomReserve() = default;
    RandomReserve(const RandomReserve &) = delete;
    RandomReserve &operator=(const RandomReserve &) = delete;
    ~RandomReserve() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

thread_local RandomReserve t_reserve;

bool draw_random(unsigned char *buffer, size_t length) {
    static const bool fork_watched = pthread_atfork(nullptr, nullptr, note_fork) == 0;
    RandomReserve &reserve = t_reserve;
    if (!fork_watched || length > reserve.bytes.size() / 4) return RAND_bytes(buffer, static_cast<int>(length)) == 1;
    const unsigned generation = g_fork_generation.load(std::memory_order_relaxed);
    if (reserve.generation != generation || reserve.bytes.size() - reserve.used < length) {
        if (RAND_bytes(reserve.bytes.data(), static_cast<int>(reserve.bytes.size())) != 1) return false;
        reserve.used = 0;
        reserve.generation = generation;
    }
    unsigned char *taken = reserve.bytes.data() + reserve.used;
    std::memcpy(buffer, taken, length);
    OPENSSL_cleanse(taken, length);
    reserve.used += length;
    return true;
}

// The four weak and twelve semi-weak DES keys (FIPS 74), parity bits set.
constexpr std::array<DesKey, 16> kWeakDesKeys{{
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},
    {0xfe, 0xfe, 0xfe, 0xfe, 0xfe, 0xfe, 0xfe, 0xfe},
    {0x1f, 0x1f, 0x1f, 0x1f, 0x0e, 0x0e, 0x0e, 0x0e},
    {0xe0, 0xe0, 0xe0, 0xe0, 0xf1, 0xf1, 0xf1, 0xf1},
    {0x01, 0xfe, 0x01, 0xfe, 0x01, 0xfe, 0x01, 0xfe},
    {0xfe, 0x01, 0xfe, 0x01, 0xfe, 0x01, 0xfe, 0x01},
    {0x1f, 0xe0, 0x1f, 0xe0, 0x0e, 0xf1, 0x0e, 0xf1},
    {0xe0, 0x1f, 0xe0, 0x1f, 0xf1, 0x0e, 0xf1, 0x0e},
    {0x01, 0xe0, 0x01, 0xe0, 0x01, 0xf1, 0x01, 0xf1},
    {0xe0, 0x01, 0xe0, 0x01, 0xf1, 0x01, 0xf1, 0x01},
    {0x1f, 0xfe, 0x1f, 0xfe, 0x0e, 0xfe, 0x0e, 0xfe},
    {0xfe, 0x1f, 0xfe, 0x1f, 0xfe, 0x0e, 0xfe, 0x0e},
    {0x01, 0x1f, 0x01, 0x1f, 0x01, 0x0e, 0x01, 0x0e},
    {0x1f, 0x01, 0x1f, 0x01, 0x0e, 0x01, 0x0e, 0x01},
    {0xe0, 0xfe, 0xe0, 0xfe, 0xf1, 0xfe, 0xf1, 0xfe},
    {0xfe, 0xe0, 0xfe, 0xe0, 0xfe, 0xf1, 0xfe, 0xf1},
}};

bool has_odd_parity(const unsigned char *key) noexcept {
    for (size_t i = 0; i < kDesKeySize; ++i)
        if (__builtin_popcount(key[i]) % 2 == 0) return false;
    return true;
}

bool is_weak_des_key(const unsigned char *key) noexcept {
    for (const auto &weak : kWeakDesKeys)
        if (std::memcmp(weak.data(), key, kDesKeySize) == 0) return true;
    return false;
}

// Block size for PKCS#5 padding, 0 for suites that are not padded.
int32_t block_size_of(int32_t suite) noexcept {
    const auto *info = nubrel::find_suite(suite);
    return info != nullptr ? info->block_size : 0;
}

}  // namespace

namespace nubrel {

const SuiteInfo *find_suite(int32_t suite) noexcept {
    for (const auto &info : kSuites)
        if (info.id == suite) return &info;
    return nullptr;
}

int check_suite(int32_t suite) noexcept {
    const auto *info = find_suite(suite);
    if (info == nullptr) {
        NBR_LOG(error, "Cipher suite %i is unhandled\n", suite);
        return -1;
    }
    NBR_LOG(detail, "Cipher suite: %s\n", info->name);
    return 0;
}

int check_iv_length(int32_t suite, int32_t iv_length) noexcept {
    const auto *info = find_suite(suite);
    if (info == nullptr) {
        NBR_LOG(error, "Could not find IV length for the cipher suite %i\n", suite);
        return -1;
    }
    if (iv_length != info->iv_length) {
        NBR_LOG(error, "IV length %i differs from %i, required for the cipher suite\n", iv_length, info->iv_length);
        return -1;
    }
    return 0;
}

int fit_key(int32_t suite, int32_t *key_length) noexcept {
    const auto *info = find_suite(suite);
    if (info == nullptr || info->key_length == 0) {
        NBR_LOG(error, "Cannot align key - unhandled cipher suite\n");
        return -1;
    }
    if (key_length == nullptr) return -1;
    const int32_t required = info->key_length;
    if (*key_length == required) {
        NBR_LOG(detail, "Source key length %i matches the cipher block size\n", *key_length);
        return 0;
    }
    if (*key_length < required) {
        NBR_LOG(error, "Source key length %i is shorter than cipher block size %i - invalidating key as being weak\n",
                *key_length, required);
        return -1;
    }
    NBR_LOG(warning, "Source key length %i exceeds cipher block size %i - truncating...\n", *key_length, required);
    *key_length = required;
    return 0;
}

int pad_buffer(int32_t suite, int32_t *length, unsigned char **buffer, int32_t capacity) noexcept {
    if (buffer == nullptr || *buffer == nullptr || length == nullptr || *length <= 0) {
        NBR_LOG(error, "Cannot padd buffer - incorrect input data\n");
        return -1;
    }
    const int32_t block = block_size_of(suite);
    if (block == 0) {
        NBR_LOG(error, "Cannot padd buffer - unhandled cipher suite\n");
        return -1;
    }
    // The padded length must still fit the 32-bit length.
    if (*length > INT32_MAX - block) {
        NBR_LOG(error, "Cannot padd buffer - incorrect input data\n");
        return -1;
    }
    const int32_t padded = block * (*length / block + 1);
    unsigned char *data = *buffer;
    if (capacity < padded) {
        NBR_LOG(detail, "Reallocating buffer from size %i to %i for padding...\n", *length, padded);
        auto *grown = static_cast<unsigned char *>(std::realloc(data, static_cast<size_t>(padded)));
        if (grown == nullptr) {
            NBR_LOG(error, "Cannot realocate buffer for padding - out of memory\n");
            return -1;
        }
        data = grown;
    } else {
        NBR_LOG(detail, "No need to reallocate buffer for padding - its capacity is sufficient\n");
    }
    const int32_t added = padded - *length;
    NBR_LOG(detail, "Padding buffer by %i bytes...\n", added);
    std::memset(data + *length, added, static_cast<size_t>(added));
    *buffer = data;
    *length = padded;
    return 0;
}

int unpad_buffer(int32_t suite, const unsigned char *buffer, int32_t *length) noexcept {
    if (buffer == nullptr || length == nullptr || *length < 1) {
        NBR_LOG(error, "Cannot unpadd - incorrect input data\n");
        return -1;
    }
    const int32_t block = block_size_of(suite);
    if (block == 0) {
        NBR_LOG(error, "Cannot unpadd - unhandled cipher suite\n");
        return -1;
    }
    if (*length % block != 0) {
        NBR_LOG(error, "Cannot unpadd - buffer size is not multiple of CBC block size\n");
        return -1;
    }
    const int32_t count = buffer[*length - 1];
    if (count == 0) {
        NBR_LOG(error, "Cannot unpadd - number of padding characters is zero\n");
        return -1;
    }
    if (count > block) {
        NBR_LOG(error,
                "Cannot unpadd - number of padding characters %i exceeds CBC block size %i (incorrect decryption "
                "key?)\n",
                count, block);
        return -1;
    }
    if (count > *length) {
        NBR_LOG(error, "Cannot unpadd - number of padding characters %i exceeds buffer size %i\n", count, *length);
        return -1;
    }
    for (int32_t i = *length - count; i < *length; ++i) {
        if (buffer[i] != count) {
            NBR_LOG(error, "Cannot unpadd - incorrect padding character %02x\n", buffer[i]);
            return -1;
        }
    }
    if (count == 1)
        NBR_LOG(detail, "Removed 1 padding character\n");
    else
        NBR_LOG(detail, "Removed %i padding characters\n", count);
    *length -= count;
    return 0;
}

int check_and_seed_random() noexcept {
    // Once seeded, OpenSSL's generator reseeds itself from the system; asking
    // again before every IV costs more than drawing the IV.
    static std::atomic<bool> seeded{false};
    if (seeded.load(std::memory_order_relaxed)) {
        NBR_LOG(detail, "OpenSSL PRNG is seeded with enough data\n");
        return 0;
    }
    int status = RAND_status();
    if (status == 1) {
        seeded.store(true, std::memory_order_relaxed);
        NBR_LOG(detail, "OpenSSL PRNG is seeded with enough data\n");
        return 0;
    }
    if (status != 0) {
        NBR_LOG(error, "Cannot check whether OpenSSL PRNG is seeded with enough data - unhandled status %i\n", status);
        return -1;
    }
    NBR_LOG(warning, "OpenSSL PRNG is not seeded with enough data - shall seed...\n");
    const auto pid = static_cast<uint32_t>(getpid());
    const auto now = static_cast<uint32_t>(std::time(nullptr));
    RAND_seed(&pid, sizeof pid);
    RAND_seed(&now, sizeof now);
    std::array<unsigned char, 1024> noise{};
    std::srand(pid + now);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<unsigned char>(static_cast<unsigned>(std::rand()) >> (8 * (i % 4)));
    RAND_seed(noise.data(), static_cast<int>(noise.size()));
    OPENSSL_cleanse(noise.data(), noise.size());
    status = RAND_status();
    if (status != 1) {
        NBR_LOG(error, "OpenSSL PRNG has been seeded with not enough data\n");
        return -1;
    }
    NBR_LOG(detail, "OpenSSL PRNG has been seeded with enough data\n");
    return 0;
}

void check_des_keys(const unsigned char *key24) noexcept {
    if (key24 == nullptr) return;
    for (int i = 0; i < 3; ++i) {
        const unsigned char *key = key24 + kDesKeySize * static_cast<size_t>(i);
        // Parity first, as a checked key set-up would report it.
        if (!has_odd_parity(key))
            NBR_LOG(warning, "DES key %i is not of odd parity\n", i);
        else if (is_weak_des_key(key))
            NBR_LOG(warning, "DES key %i is weak\n", i);
    }
}

int deobfuscate_password(nubrel_instance *handle) noexcept {
    if (handle == nullptr) {
        NBR_LOG(error, "Cannot decrypt the password - the NBR API instance handle is null\n");
        return -1;
    }
    if (handle->password == nullptr) {
        NBR_LOG(error, "Cannot decrypt the password - the encrypted password is not defined\n");
        return -1;
    }
    if (handle->password_length % static_cast<int32_t>(obfuscation::kBlockSize) != 0) {
        NBR_LOG(error, "Cannot decrypt the password - the encrypted password's size is not a multiple of DES block "
                       "size\n");
        return -1;
    }
    // The password changes here: keys derived from the stored form are stale.
    forget_keys(handle);
    NBR_LOG(progress, "Decrypting the password via 3DES-168...\n");
    NBR_LOG(detail, "Converting DES keys into the architecture dependent format...\n");
    check_des_keys(obfuscation::kKey.data());

    const auto iv = obfuscation::iv();
    obfuscation::CipherContext context(EVP_CIPHER_CTX_new());
    int written = 0;
    int last = 0;
    // Padding stays off in EVP: it is removed below with the library's own
    // rules, so that a wrong key or damaged text is reported the same way
    // as for tokens.
    if (!context ||
        EVP_DecryptInit_ex(context.get(), EVP_des_ede3_cbc(), nullptr, obfuscation::kKey.data(), iv.data()) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
        EVP_DecryptUpdate(context.get(), handle->password, &written, handle->password, handle->password_length) !=
            1 ||
        EVP_DecryptFinal_ex(context.get(), handle->password + written, &last) != 1) {
        NBR_LOG(error, "Cannot decrypt the password - 3DES decryption has failed\n");
        return -1;
    }

    int32_t length = handle->password_length;
    if (unpad_buffer(kTripleDesSuite, handle->password, &length) != 0) return -1;
    handle->password_length = length;
    NBR_LOG(detail, "Succeeded to decrypt the password\n");
    return 0;
}

}  // namespace nubrel

extern "C" {

NUBREL_API int32_t is_valid_cipher_suite(int32_t suite) { return nubrel::find_suite(suite) != nullptr ? 1 : 0; }

NUBREL_API const char *nubrel_get_cipher_suite_name(int32_t suite) {
    const auto *info = nubrel::find_suite(suite);
    return info != nullptr ? info->name : nullptr;
}

NUBREL_API int32_t generate_password_based_key(const unsigned char *password, int32_t password_length, int32_t suite,
                                               const unsigned char *salt, int32_t salt_length, int32_t iterations,
                                               unsigned char **key, int32_t *key_length) {
    if (key == nullptr) {
        NBR_LOG(error, "Cannot generate a password based key - output key storage is NULL\n");
        return -1;
    }
    *key = nullptr;
    if (key_length == nullptr) {
        NBR_LOG(error, "Cannot generate a password based key - output keylen storage is NULL\n");
        return -1;
    }
    *key_length = 0;
    if (password == nullptr) {
        NBR_LOG(error, "Cannot generate a password based key - password is NULL\n");
        return -1;
    }
    // A length of zero or below would make OpenSSL read the password as a
    // huge or NUL-terminated buffer; it is as good as no password.
    if (password_length <= 0 || password[0] == 0) {
        NBR_LOG(error, "Cannot generate a password based key - password is empty\n");
        return -1;
    }
    if (iterations <= 0) {
        NBR_LOG(error, "Cannot generate a password based key - iterations count \"%i\" is not valid\n", iterations);
        return -1;
    }
    if (salt == nullptr) {
        NBR_LOG(error, "Cannot generate a password based key - salt is NULL\n");
        return -1;
    }
    if (salt_length < 0) {
        NBR_LOG(error, "Cannot generate a password based key - salt length %i is not valid\n", salt_length);
        return -1;
    }
    if (suite == NUBREL_SUITE_NULL) {
        NBR_LOG(error, "Cannot generate a password based key for the NULL cipher suite\n");
        return -1;
    }
    const auto *info = nubrel::find_suite(suite);
    if (info == nullptr) {
        NBR_LOG(error, "Cannot generate a password based key - unhandled cipher suite %i\n", suite);
        return -1;
    }
    const int32_t length = info->key_length;
    NBR_LOG(detail, "Allocating buffer for a password based key...\n");
    auto *buffer = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(length)));
    if (buffer == nullptr) {
        NBR_LOG(error, "Cannot allocate buffer for a password based key - out of memory\n");
        return -1;
    }
    NBR_LOG(detail, "Generating a PBKDF2 password based key of length %i...\n", length);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(password), password_length, salt, salt_length, iterations,
                          EVP_sha1(), length, buffer) != 1) {
        NBR_LOG(error, "Cannot generate a password based decryption key - operation has failed\n");
        NBR_LOG(detail, "Releasing buffer, dynamically allocated for the key\n");
        OPENSSL_cleanse(buffer, static_cast<size_t>(length));
        std::free(buffer);
        return -1;
    }
    *key = buffer;
    *key_length = length;
    return 0;
}

NUBREL_API int32_t generate_random_ivec(unsigned char *buffer, int32_t length) {
    NBR_LOG(detail, "Generating a random IV initialization vector...\n");
    if (buffer == nullptr) {
        NBR_LOG(error, "Cannot generate cryptographically strong pseudo-random IV buffer - buffer is NULL\n");
        return -1;
    }
    if (length <= 0) {
        NBR_LOG(error, "Cannot generate cryptographically strong pseudo-random IV buffer - length of buffer is NULL\n");
        return -1;
    }
    if (nubrel::check_and_seed_random() != 0) return -1;
    if (!draw_random(buffer, static_cast<size_t>(length))) {
        NBR_LOG(error, "Cannot generate cryptographically strong pseudo-random IV buffer\n");
        return -1;
    }
    NBR_DUMP("Randomly generated IV:", buffer, static_cast<size_t>(length));
    return 0;
}

}  // extern "C"

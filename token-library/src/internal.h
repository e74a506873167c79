// Internal declarations of libnubrel; nothing here is exported.
#pragma once

#include "nubrel.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace nubrel {
struct KeyCache;
}

struct nubrel_instance {
    nubrel_instance *self;          // equals the record's address while valid
    int32_t compression_level;
    int32_t cipher_suite;
    keymanager_callback keymanager;
    int32_t password_length;
    int32_t obfuscate_password;
    unsigned char *password;        // owned, raw bytes
    const unsigned char *salt;      // not owned
    int32_t salt_length;
    int32_t iterations;
    nubrel::KeyCache *key_cache;    // password-derived keys, per suite
};

namespace nubrel {

// ---- logging (logging.cpp) ----------------------------------------------

// In order of verbosity: a class is written when the verbose level is at
// least its value.
enum class LogClass : uint32_t { error, warning, progress, detail, dump };

extern std::atomic<uint32_t> g_verbose_level;

// Checked inline before any line is formatted or its arguments computed.
inline bool log_enabled(LogClass cls) noexcept {
    return g_verbose_level.load(std::memory_order_relaxed) >= static_cast<uint32_t>(cls);
}
void write_log(const char *file, int line, LogClass cls, const char *format, ...) noexcept
    __attribute__((format(printf, 4, 5)));
void write_hex_dump(const char *file, int line, const char *label,
                    const unsigned char *bytes, size_t count) noexcept;
void write_raw_dump(const char *file, int line, const char *text) noexcept;

// Checks a handle; on failure logs the generic line (for an invalid handle)
// and the operation's own message.
bool valid_handle(const nubrel_instance *handle, const char *null_message,
                  const char *invalid_message) noexcept;

// ---- cipher suites, keys, padding (ciphers.cpp) ------------------------

struct SuiteInfo {
    int32_t id;
    const char *name;
    int32_t key_length;  // 0 for the null suite
    int32_t iv_length;
    int32_t block_size;  // 0 for the null suite
};

const SuiteInfo *find_suite(int32_t suite) noexcept;
// "Cipher suite: %s" or "Cipher suite %i is unhandled"; 0/-1.
int check_suite(int32_t suite) noexcept;
// IV length of a token against its suite; 0/-1.
int check_iv_length(int32_t suite, int32_t iv_length) noexcept;
// Fits a key length to the suite (may shorten it); 0/-1.
int fit_key(int32_t suite, int32_t *key_length) noexcept;
// PKCS#5 padding; may reallocate *buffer (malloc family) when capacity is short.
int pad_buffer(int32_t suite, int32_t *length, unsigned char **buffer, int32_t capacity) noexcept;
// PKCS#5 unpadding; shortens *length.
int unpad_buffer(int32_t suite, const unsigned char *buffer, int32_t *length) noexcept;
// Checks, and seeds if needed, the OpenSSL random generator; 0/-1.
int check_and_seed_random() noexcept;
// Logs warnings for weak or non-odd-parity DES keys among the three 8-byte keys.
void check_des_keys(const unsigned char *key24) noexcept;
// Removes the Triple-DES obfuscation from the instance's password in place; 0/-1.
int deobfuscate_password(nubrel_instance *handle) noexcept;

// ---- password-derived keys, cached per instance (key_cache.cpp) -----------

inline constexpr int32_t kMaxKeyLength = 32;

KeyCache *create_key_cache() noexcept;
// Zeroes and releases every cached key.
void destroy_key_cache(KeyCache *cache) noexcept;
// Zeroes the cached keys; called whenever the password, salt or iterations change.
void forget_keys(nubrel_instance *handle) noexcept;
// The suite's key derived from the instance's password, salt and iterations,
// copied into key (room for kMaxKeyLength bytes); derived on first use only.
int password_based_key(nubrel_instance *handle, int32_t suite, unsigned char *key, int32_t *key_length) noexcept;

// ---- agent configuration file (agent_file.cpp) ---------------------------

// Sets the obfuscate-password flag from "true"/"false"; 0/-1.
int set_obfuscation_flag(nubrel_instance *handle, const char *value) noexcept;

}  // namespace nubrel

#define NBR_LOG(cls, ...)                                                                      \
    do {                                                                                       \
        if (::nubrel::log_enabled(::nubrel::LogClass::cls))                                    \
            ::nubrel::write_log(__FILE_NAME__, __LINE__, ::nubrel::LogClass::cls, __VA_ARGS__); \
    } while (0)
#define NBR_DUMP(label, bytes, count)                                                      \
    do {                                                                                   \
        if (::nubrel::log_enabled(::nubrel::LogClass::dump))                               \
            ::nubrel::write_hex_dump(__FILE_NAME__, __LINE__, label, bytes, count);        \
    } while (0)
#define NBR_RAW_DUMP(text)                                                                 \
    do {                                                                                   \
        if (::nubrel::log_enabled(::nubrel::LogClass::dump))                               \
            ::nubrel::write_raw_dump(__FILE_NAME__, __LINE__, text);                       \
    } while (0)

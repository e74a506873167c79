// Password-derived keys, computed once per instance and suite. PBKDF2 with
// the default 1000 iterations costs far more than the rest of a token
// operation, and its inputs stay fixed once the instance is configured.
#include "internal.h"

#include <openssl/crypto.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace nubrel {

struct KeyCache {
    struct Entry {
        bool valid = false;
        int32_t length = 0;
        unsigned char key[kMaxKeyLength] = {};
        // The salt is the caller's and not copied by the instance: a key is
        // only reused while the salt still holds the bytes it was derived with.
        int32_t salt_length = 0;
        unsigned char *salt = nullptr;
    };
    std::mutex mutex;
    std::array<Entry, 4> entries;  // indexed by suite
};

namespace {

void clear_entry(KeyCache::Entry &entry) noexcept {
    OPENSSL_cleanse(entry.key, sizeof entry.key);
    std::free(entry.salt);
    entry = KeyCache::Entry{};
}

bool same_salt(const KeyCache::Entry &entry, const nubrel_instance *handle) noexcept {
    return entry.salt_length == handle->salt_length && handle->salt != nullptr &&
           std::memcmp(entry.salt, handle->salt, static_cast<size_t>(entry.salt_length)) == 0;
}

}  // namespace

KeyCache *create_key_cache() noexcept { return new (std::nothrow) KeyCache; }

void destroy_key_cache(KeyCache *cache) noexcept {
    if (cache == nullptr) return;
    for (auto &entry : cache->entries) clear_entry(entry);
    delete cache;
}

void forget_keys(nubrel_instance *handle) noexcept {
    if (handle == nullptr || handle->key_cache == nullptr) return;
    std::lock_guard lock(handle->key_cache->mutex);
    for (auto &entry : handle->key_cache->entries) clear_entry(entry);
}

int password_based_key(nubrel_instance *handle, int32_t suite, unsigned char *key, int32_t *key_length) noexcept {
    *key_length = 0;
    KeyCache *cache = handle->key_cache;
    if (cache == nullptr || suite < 1 || suite > 3) {
        NBR_LOG(error, "Cannot generate a password based key - unhandled cipher suite %i\n", suite);
        return -1;
    }
    std::lock_guard lock(cache->mutex);
    KeyCache::Entry &entry = cache->entries[static_cast<size_t>(suite)];
    if (entry.valid && same_salt(entry, handle)) {
        NBR_LOG(detail, "Using the password based key of length %i derived earlier for this instance\n", entry.length);
    } else {
        clear_entry(entry);
        unsigned char *derived = nullptr;
        int32_t derived_length = 0;
        if (generate_password_based_key(handle->password, handle->password_length, suite, handle->salt,
                                        handle->salt_length, handle->iterations, &derived,
                                        &derived_length) != 0)
            return -1;
        const bool fits = derived_length > 0 && derived_length <= kMaxKeyLength;
        if (fits) {
            std::memcpy(entry.key, derived, static_cast<size_t>(derived_length));
            entry.salt = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(handle->salt_length)));
        }
        OPENSSL_cleanse(derived, static_cast<size_t>(derived_length));
        std::free(derived);
        if (!fits || entry.salt == nullptr) {
            clear_entry(entry);
            NBR_LOG(error, "Cannot allocate buffer for a password based key - out of memory\n");
            return -1;
        }
        std::memcpy(entry.salt, handle->salt, static_cast<size_t>(handle->salt_length));
        entry.salt_length = handle->salt_length;
        entry.length = derived_length;
        entry.valid = true;
    }
    std::memcpy(key, entry.key, static_cast<size_t>(entry.length));
    *key_length = entry.length;
    return 0;
}

}  // namespace nubrel

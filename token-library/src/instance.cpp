// The library instance: creation, release, settings and library start-up.
#include "internal.h"

#include <openssl/crypto.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kLibraryVersion = NUBREL_LIBRARY_VERSION;
// The zlib version the library is written against; also handed to zlib's
// stream initialisation.
constexpr const char *kZlibBuiltVersion = "1.2.5";

int leading_integer(const char *text) { return std::atoi(text); }

// The shared body of the two password setters: decode the base64 text and,
// for an obfuscated one, remove the obfuscation; only a complete result
// replaces the password held, so a failed call changes nothing.
int store_password(nubrel_instance *handle, const char *password_b64, bool obfuscated, const char *null_msg,
                   const char *invalid_msg) {
    if (password_b64 == nullptr) {
        NBR_LOG(error, "Cannot set password for password-based keys generation - password is NULL\n");
        return -1;
    }
    if (*password_b64 == '\0') {
        NBR_LOG(error, "Cannot set password for password-based keys generation - password is empty\n");
        return -1;
    }
    if (!nubrel::valid_handle(handle, null_msg, invalid_msg)) return -1;
    NBR_LOG(progress, "Deobfuscating password for the password-based keys generation...\n");
    // The candidate lives in a scratch instance until it is complete.
    nubrel_instance candidate{};
    candidate.self = &candidate;
    const size_t text_length = std::strlen(password_b64);
    if (text_length > INT32_MAX || base64_decode(password_b64, static_cast<int32_t>(text_length),
                                                 &candidate.password, &candidate.password_length) != 0) {
        NBR_LOG(error, "Cannot deobfuscate password for the password-based keys generation\n");
        return -1;
    }
    if (obfuscated && nubrel::deobfuscate_password(&candidate) != 0) {
        OPENSSL_cleanse(candidate.password, static_cast<size_t>(candidate.password_length));
        std::free(candidate.password);
        return -1;
    }
    if (handle->password != nullptr) {
        NBR_LOG(warning, "Releasing the previously set password for password-based keys generation...\n");
        OPENSSL_cleanse(handle->password, static_cast<size_t>(handle->password_length));
        std::free(handle->password);
    }
    handle->password = candidate.password;
    handle->password_length = candidate.password_length;
    nubrel::forget_keys(handle);
    NBR_LOG(detail, "Succeeded to set password for the password-based keys generation\n");
    return 0;
}

constexpr const char *kPasswordNull = "Cannot set password for password-based keys generation - handle is null\n";
constexpr const char *kPasswordInvalid =
    "Cannot set password for password-based keys generation - handle is not valid\n";

}  // namespace

extern "C" {

NUBREL_API int32_t nubrel_initialize(void) {
    NBR_LOG(detail, "Version string of the Nubrel library: %s\n", kLibraryVersion);
    if (const char *runtime = zlibVersion(); runtime != nullptr) {
        if (leading_integer(runtime) < leading_integer(kZlibBuiltVersion)) {
            NBR_LOG(error, "Incompatible zlib version - a required major version number exceeds the available one\n");
            return -1;
        }
        NBR_LOG(detail, "Version string of ZLib library: %s\n", runtime);
    }
    NBR_LOG(detail, "OpenSSL version information: %s %s\n", OpenSSL_version(OPENSSL_VERSION),
            OpenSSL_version(OPENSSL_PLATFORM));
    (void)nubrel::check_and_seed_random();
    return 0;
}

NUBREL_API const char *get_nubrel_library_version(void) { return kLibraryVersion; }

NUBREL_API nubrel_instance *nubrel_create_instance(void) {
    NBR_LOG(progress, "Creating an NBR API instance...\n");
    auto *handle = static_cast<nubrel_instance *>(std::calloc(1, sizeof(nubrel_instance)));
    if (handle == nullptr) {
        NBR_LOG(error, "Cannot create an NBR API instance - out of memory\n");
        return nullptr;
    }
    handle->key_cache = nubrel::create_key_cache();
    if (handle->key_cache == nullptr) {
        std::free(handle);
        NBR_LOG(error, "Cannot create an NBR API instance - out of memory\n");
        return nullptr;
    }
    handle->self = handle;
    handle->compression_level = 9;
    handle->cipher_suite = NUBREL_DEFAULT_CIPHER_SUITE;
    handle->salt = reinterpret_cast<const unsigned char *>(NUBREL_DEFAULT_SALT);
    handle->salt_length = NUBREL_DEFAULT_SALT_LENGTH;
    handle->iterations = NUBREL_DEFAULT_ITERATIONS;
    NBR_LOG(detail, "Succeeded to create an NBR API instance\n");
    return handle;
}

NUBREL_API int32_t nubrel_release_instance(nubrel_instance *handle) {
    if (!nubrel::valid_handle(handle, "Cannot release an NBR API instance - handle is null\n",
                              "Cannot release an NBR API instance - handle is not valid\n"))
        return -1;
    if (handle->password != nullptr) {
        NBR_LOG(progress, "Releasing buffer, dynamically allocated for the obfuscated password...\n");
        OPENSSL_cleanse(handle->password, static_cast<size_t>(handle->password_length));
        std::free(handle->password);
        handle->password = nullptr;
    }
    nubrel::destroy_key_cache(handle->key_cache);
    handle->key_cache = nullptr;
    handle->self = nullptr;
    NBR_LOG(progress, "Releasing an NBR API instance...\n");
    std::free(handle);
    return 0;
}

NUBREL_API int32_t set_nubrel_zlib_compression_level(nubrel_instance *handle, int32_t level) {
    if (!nubrel::valid_handle(handle, "Cannot set compression level for the NBR API instance - handle is null\n",
                              "Cannot set compression level for the NBR API instance - handle is not valid\n"))
        return -1;
    if (level < -1 || level > 9) {
        NBR_LOG(error, "Cannot set compression level for the NBR API instance - level %i is not valid\n", level);
        return -1;
    }
    NBR_LOG(detail, "Changed compression level for the NBR API instance from %i to %i\n",
            handle->compression_level, level);
    handle->compression_level = level;
    return 0;
}

NUBREL_API int32_t get_nubrel_zlib_compression_level(nubrel_instance *handle, int32_t *level) {
    if (!nubrel::valid_handle(handle, "Cannot get compression level of the NBR API instance - handle is null\n",
                              "Cannot get compression level of the NBR API instance - handle is not valid\n"))
        return -1;
    if (handle->compression_level < -1 || handle->compression_level > 9)
        NBR_LOG(warning, "Compression level %i of the NBR API instance is not valid\n", handle->compression_level);
    if (level != nullptr) *level = handle->compression_level;
    return 0;
}

NUBREL_API int32_t set_nubrel_cipher_suite(nubrel_instance *handle, int32_t suite) {
    if (!nubrel::valid_handle(handle, "Cannot set cipher suite for the NBR API instance - handle is null\n",
                              "Cannot set cipher suite for the NBR API instance - handle is not valid\n"))
        return -1;
    if (!is_valid_cipher_suite(suite)) {
        NBR_LOG(error, "Cannot set cipher suite for the NBR API instance - suite %i is not valid\n", suite);
        return -1;
    }
    const int32_t old = handle->cipher_suite;
    if (is_valid_cipher_suite(old))
        NBR_LOG(detail, "Changed cipher suite for the NBR API instance from \"%s\" to \"%s\"\n",
                nubrel_get_cipher_suite_name(old), nubrel_get_cipher_suite_name(suite));
    else
        NBR_LOG(detail, "Changed cipher suite for the NBR API instance to %s\n", nubrel_get_cipher_suite_name(suite));
    handle->cipher_suite = suite;
    return 0;
}

NUBREL_API int32_t set_nubrel_cipher_suite_str(nubrel_instance *handle, const char *suite) {
    if (suite == nullptr) {
        NBR_LOG(error, "Cannot set cipher suite for the NBR API instance - suite ID string is null\n");
        return -1;
    }
    if (*suite == '\0') {
        NBR_LOG(error, "Cannot set cipher suite for the NBR API instance - suite ID string is empty\n");
        return -1;
    }
    // Read as a decimal number and truncated toward zero; no number reads as 0.
    const double number = std::strtod(suite, nullptr);
    int32_t id = -1;  // out of range values can never name a suite
    if (number > -2147483648.0 && number < 2147483648.0) id = static_cast<int32_t>(number);
    return set_nubrel_cipher_suite(handle, id);
}

NUBREL_API int32_t get_nubrel_cipher_suite(nubrel_instance *handle, int32_t *suite) {
    if (!nubrel::valid_handle(handle, "Cannot get cipher suite of the NBR API instance - handle is null\n",
                              "Cannot get cipher suite of the NBR API instance - handle is not valid\n"))
        return -1;
    if (!is_valid_cipher_suite(handle->cipher_suite))
        NBR_LOG(warning, "Cipher suite %i of the NBR API instance is not valid\n", handle->cipher_suite);
    if (suite != nullptr) *suite = handle->cipher_suite;
    return 0;
}

NUBREL_API int32_t set_nubrel_debug_mode(nubrel_instance *handle) {
    if (!nubrel::valid_handle(handle, "Cannot set compression level for the NBR API instance - handle is null\n",
                              "Cannot set compression level for the NBR API instance - handle is not valid\n"))
        return -1;
    if (set_nubrel_cipher_suite(handle, NUBREL_SUITE_NULL) != 0) return -1;
    NBR_LOG(detail, "Changed compression level for the NBR API instance from %i to %i\n",
            handle->compression_level, 0);
    handle->compression_level = 0;
    return 0;
}

NUBREL_API int32_t set_nubrel_iterations_number(nubrel_instance *handle, int32_t iterations) {
    if (!nubrel::valid_handle(handle, "Cannot set iterations number for the NBR API instance - handle is null\n",
                              "Cannot set iterations number for the NBR API instance - handle is not valid\n"))
        return -1;
    if (iterations < 2) {
        NBR_LOG(error,
                "Cannot set iterations number for the NBR API instance - number of iterations %i is incorrect "
                "(should be 2 or above)\n",
                iterations);
        return -1;
    }
    NBR_LOG(detail, "Changed iterations number for the NBR API instance from %i to %i\n", handle->iterations,
            iterations);
    handle->iterations = iterations;
    nubrel::forget_keys(handle);
    return 0;
}

NUBREL_API int32_t get_nubrel_iterations_number(nubrel_instance *handle, int32_t *iterations) {
    if (!nubrel::valid_handle(handle, "Cannot get iterations number for the NBR API instance - handle is null\n",
                              "Cannot get iterations number for the NBR API instance - handle is not valid\n"))
        return -1;
    NBR_LOG(detail, "Iterations number for the NBR API instance: %i\n", handle->iterations);
    if (iterations != nullptr) *iterations = handle->iterations;
    return 0;
}

NUBREL_API int32_t set_nubrel_salt(nubrel_instance *handle, const unsigned char *salt, int32_t salt_length) {
    if (!nubrel::valid_handle(handle, "Cannot set salt for the NBR API instance - handle is null\n",
                              "Cannot set salt for the NBR API instance - handle is not valid\n"))
        return -1;
    handle->salt = salt;
    handle->salt_length = salt_length;
    nubrel::forget_keys(handle);
    return 0;
}

NUBREL_API int32_t set_nubrel_password(nubrel_instance *handle, const char *password_b64) {
    return store_password(handle, password_b64, false, kPasswordNull, kPasswordInvalid);
}

NUBREL_API int32_t set_nubrel_obfuscated_password(nubrel_instance *handle, const char *password_b64) {
    return store_password(handle, password_b64, true, kPasswordNull, kPasswordInvalid);
}

NUBREL_API int32_t set_keymanager(nubrel_instance *handle, keymanager_callback callback) {
    if (!nubrel::valid_handle(handle, "Cannot set keymanager function for the NBR API instance - handle is null\n",
                              "Cannot set keymanager function for the NBR API instance - handle is not valid\n"))
        return -1;
    NBR_LOG(detail, "Setting up a keymanger function for the NBR API instance...\n");
    handle->keymanager = callback;
    return 0;
}

NUBREL_API int32_t is_keymanager_available(nubrel_instance *handle) {
    if (!nubrel::valid_handle(
            handle, "Cannot check whether KeyManager is available for the NBR API instance - handle is null\n",
            "Cannot check whether KeyManager is available for the NBR API instance - handle is not valid\n"))
        return 0;
    return handle->keymanager != nullptr ? 1 : 0;
}

NUBREL_API int32_t is_password_based_generation_available(nubrel_instance *handle) {
    if (!nubrel::valid_handle(handle,
                              "Cannot check whether password-based keys generation is available for the NBR API "
                              "instance - handle is null\n",
                              "Cannot check whether password-based keys generation is available for the NBR API "
                              "instance - handle is not valid\n"))
        return 0;
    int32_t available = 1;
    if (handle->password == nullptr) {
        NBR_LOG(detail, "Password-based generation is not available - password is NULL\n");
        available = 0;
    }
    if (handle->password_length <= 0) {
        NBR_LOG(warning, "Password-based generation is not available - password is empty\n");
        available = 0;
    }
    if (handle->salt == nullptr) {
        NBR_LOG(error, "Password-based generation is not available - salt is NULL\n");
        available = 0;
    }
    if (handle->salt_length <= 0) {
        NBR_LOG(warning, "Password-based generation is not available - salt is empty\n");
        available = 0;
    }
    if (handle->iterations < 2) {
        NBR_LOG(warning,
                "Password-based generation is not available for the NBR API instance - iterations count is less "
                "than 2\n");
        available = 0;
    }
    return available;
}

// ---- memory helpers ---------------------------------------------------------

NUBREL_API void *nubrel_malloc(size_t size) { return std::malloc(size); }

NUBREL_API void *nubrel_calloc(size_t count, size_t size) { return std::calloc(count, size); }

NUBREL_API void nubrel_free(void *pointer) {
    if (pointer == nullptr) return;
    NBR_LOG(detail, "Releasing the dynamically allocated buffer...\n");
    std::free(pointer);
}

NUBREL_API char *nubrel_strdup(const char *text) {
    if (text == nullptr) {
        NBR_LOG(error, "Cannot duplicate the required string - string is NULL\n");
        return nullptr;
    }
    return strdup(text);
}

NUBREL_API char *nubrel_strndup(const char *text, size_t n) {
    if (text == nullptr) {
        NBR_LOG(error, "Cannot duplicate the required part of string - string is NULL\n");
        return nullptr;
    }
    return strndup(text, n);
}

}  // extern "C"

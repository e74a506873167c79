// Cipher suites, key derivation and fitting, padding, random IVs, password obfuscation.
// (Placeholder bodies; the full implementation replaces them.)
#include "internal.h"

#include <array>

namespace {

constexpr std::array<nubrel::SuiteInfo, 4> kSuites{{
    {0, "null (test case)", 0, 0, 0},
    {1, "AES, key size 256 bits, CBC mode, PKCS5 padding", 32, 16, 16},
    {2, "AES, key size 128 bits, CBC mode, PKCS5 padding", 16, 16, 16},
    {3, "Triple DES, key size 168 bits, CBC mode, PKCS5 padding", 24, 8, 8},
}};

}  // namespace

namespace nubrel {

const SuiteInfo *find_suite(int32_t suite) noexcept {
    for (const auto &info : kSuites)
        if (info.id == suite) return &info;
    return nullptr;
}

int check_and_seed_random() noexcept { return 0; }
int deobfuscate_password(nubrel_instance *) noexcept { return -1; }

}  // namespace nubrel

extern "C" {

NUBREL_API int32_t is_valid_cipher_suite(int32_t suite) { return nubrel::find_suite(suite) != nullptr ? 1 : 0; }

NUBREL_API const char *nubrel_get_cipher_suite_name(int32_t suite) {
    const auto *info = nubrel::find_suite(suite);
    return info != nullptr ? info->name : nullptr;
}

}  // extern "C"

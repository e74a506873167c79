// The fixed Triple-DES key and IV that hide the password in the agent
// configuration file, shared by the library (which removes the obfuscation)
// and the command-line tool (which produces it). Changing any byte here
// makes every obfuscated password already written unreadable.
//
// Header only and internal: constants with internal linkage and inline
// helpers, so nothing here leaves the shared library.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace nubrel::obfuscation {

constexpr size_t kBlockSize = 8;

// Three DES keys, each of odd parity, none weak or semi-weak, all distinct.
constexpr std::array<unsigned char, 24> kKey{
    0x3e, 0x37, 0x97, 0x6d, 0x2a, 0x31, 0xae, 0x67,  // key 0
    0x67, 0x20, 0xdf, 0x20, 0x5b, 0xb0, 0x6d, 0x7c,  // key 1
    0xe9, 0xf4, 0x54, 0x7f, 0xb5, 0x61, 0xf4, 0x5e,  // key 2
};

// The IV is kept as two words and assembled when needed, most significant
// byte first, so that it does not stand in the binary as one byte string.
constexpr uint32_t kIvHigh = 0x755c94b6;
constexpr uint32_t kIvLow = 0x51165cf5;

inline std::array<unsigned char, kBlockSize> iv() noexcept {
    std::array<unsigned char, kBlockSize> bytes{};
    for (size_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(kIvHigh >> (24 - 8 * i));
        bytes[4 + i] = static_cast<unsigned char>(kIvLow >> (24 - 8 * i));
    }
    return bytes;
}

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX *context) const noexcept { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

// Obfuscates a password: PKCS#5 padding to 8-byte blocks, then Triple-DES EDE
// in CBC mode under the fixed key and IV. Returns the encrypted bytes (the
// configuration file holds their standard base64 text); empty on failure,
// which cannot be confused with a result since even an empty password gives
// one whole block.
inline std::vector<unsigned char> obfuscate(std::string_view password) {
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context) return {};
    const auto vector = iv();
    // EVP's block padding is PKCS#5 for 8-byte blocks.
    if (EVP_EncryptInit_ex(context.get(), EVP_des_ede3_cbc(), nullptr, kKey.data(), vector.data()) != 1 ||
        password.size() > static_cast<size_t>(INT32_MAX) - kBlockSize)
        return {};
    std::vector<unsigned char> encrypted(password.size() + kBlockSize);
    int written = 0;
    int last = 0;
    if (EVP_EncryptUpdate(context.get(), encrypted.data(), &written,
                          reinterpret_cast<const unsigned char *>(password.data()),
                          static_cast<int>(password.size())) != 1 ||
        EVP_EncryptFinal_ex(context.get(), encrypted.data() + written, &last) != 1)
        return {};
    encrypted.resize(static_cast<size_t>(written + last));
    return encrypted;
}

}  // namespace nubrel::obfuscation

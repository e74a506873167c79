#include "config/revocation_values.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <stdexcept>

namespace qv {

namespace {

struct ProviderModule {
    std::string_view provider;
    std::string_view module;
};

// The providers that Debian's apache2-bin ships.
constexpr ProviderModule kProviderModules[] = {
    {"shmcb", "socache_shmcb"},
    {"redis", "socache_redis"},
    {"memcache", "socache_memcache"},
    {"dbm", "socache_dbm"},
};

// Keeps identifiers of this use apart from any other digest of the password.
constexpr std::string_view kKeyLabel = "mod_qv session revocation 1";

std::array<unsigned char, EVP_MAX_MD_SIZE> hmac_sha256(const void *key, size_t key_length, std::string_view data,
                                                       unsigned &length) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    if (HMAC(EVP_sha256(), key, static_cast<int>(key_length), reinterpret_cast<const unsigned char *>(data.data()),
             data.size(), digest.data(), &length) == nullptr)
        throw std::runtime_error("HMAC-SHA-256 failed");
    return digest;
}

}  // namespace

std::optional<StoreAddress> parse_store_address(std::string_view text) {
    const size_t colon = text.find(':');
    StoreAddress address{text.substr(0, colon),
                         colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1)};
    if (address.provider.empty()) return std::nullopt;
    return address;
}

std::string_view store_provider_module(std::string_view provider) {
    for (const ProviderModule &entry : kProviderModules)
        if (entry.provider == provider) return entry.module;
    return {};
}

int64_t store_entry_expiry(std::string_view provider, int64_t now, int64_t renew_until) {
    if (provider == "memcache") return std::min(renew_until, now + kLongestMemcacheLifetime);
    return renew_until;
}

RevocationKey derive_revocation_key(std::string_view key_material) {
    unsigned length = 0;
    const auto digest = hmac_sha256(key_material.data(), key_material.size(), kKeyLabel, length);
    RevocationKey key{};
    std::copy_n(digest.begin(), key.size(), key.begin());
    return key;
}

std::string session_identifier(const RevocationKey &key, std::string_view subject, int64_t renew_until) {
    // A payload value holds no line feed, so it separates the two unambiguously.
    const std::string data = std::string(subject) + "\n" + std::to_string(renew_until);
    unsigned length = 0;
    const auto digest = hmac_sha256(key.data(), key.size(), data, length);
    constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (size_t i = 0; i < 16; ++i) {
        id += kHex[digest[i] >> 4];
        id += kHex[digest[i] & 0xf];
    }
    return id;
}

}  // namespace qv

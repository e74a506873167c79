// The Apache-free parts of session revocation: the store's address as the
// directive writes it, the lifetime of a store entry, and the identifier of
// a session under a key derived from the agent's password.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// "provider" or "provider:argument", as QuorvelRevocationStore takes it
// ("shmcb:/run/qv(512000)", "redis:127.0.0.1:6379"). Empty when the
// provider's name is empty.
struct StoreAddress {
    std::string_view provider;
    std::string_view argument;  // empty when there is none
};
std::optional<StoreAddress> parse_store_address(std::string_view text);

// The module of Debian's Apache that registers the provider
// ("socache_redis"), or empty for a name no module of Apache's has.
std::string_view store_provider_module(std::string_view provider);

// memcached reads an entry lifetime above 30 days as a point in time.
inline constexpr int64_t kLongestMemcacheLifetime = 30 * 24 * 3600;

// The time (seconds) at which the store may forget a revoked session that
// can be renewed until `renew_until`: then, or 30 days from now for memcache.
int64_t store_entry_expiry(std::string_view provider, int64_t now, int64_t renew_until);

// Secret material for session identifiers, derived from key material (the
// agent file's password text); distinct from the token keys derived from the
// same password.
using RevocationKey = std::array<unsigned char, 32>;
RevocationKey derive_revocation_key(std::string_view key_material);

// What every token of one session shares for its whole life: the subject and
// the time until which it can be renewed. The identifier is a keyed digest of
// both, as 32 hexadecimal digits, so that the store learns neither.
std::string session_identifier(const RevocationKey &key, std::string_view subject, int64_t renew_until);

}  // namespace qv

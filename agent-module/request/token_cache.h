// A cache of the token work that repeats. A browser sends the same cookie
// with every asset of a page, several at once and within the same second:
// the tokens it carries were decoded before, and the tokens the agent would
// issue for them were encoded before. The cache keeps both sides:
//
//   decoded: the exact token text -> what decoding gave (version, suite,
//            payload) and which password opened it;
//   encoded: the exact renewed payload -> the token that encodes it.
//
// Entries belong to a library instance (virtual hosts may read different
// agent files) and are compared by their whole text, never by a hash alone.
// Only tokens that decoded are kept. The cache is bounded in entries and in
// bytes and drops the least recently used entry first. It is safe for many
// threads: entries are spread over shards, each with its own lock, so that
// threads serving different sessions do not wait for each other.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qv {

// What the requests of one session that repeat within one second, under one
// configuration, share: the renewed payload and the cookie issued for it.
// Made once and never changed; entries hold it by shared pointer.
struct Renewal {
    const void *config = nullptr;  // the record it was made under
    int64_t second = 0;
    std::string payload;           // after renewal
    std::string token;             // the cookie issued; empty when none was
    int subsequent = 0;            // the update flag was there before
    // What exposing the renewed payload under that configuration gives:
    // "NAME\0VALUE\0" pairs, merged, in payload order (request/exposure.h).
    std::string exposed;
    int exposed_items = 0;
};

// The session times a payload holds, read once.
struct PayloadTimes {
    int64_t not_before = 0;
    int64_t renew_until = 0;
    int64_t not_on_or_after = 0;
};

struct DecodedToken {
    uint8_t version = 0;
    uint8_t cipher_suite = 0;
    std::string payload;
    // 0: the current password opened it; 1: the previous one.
    int password = 0;
    PayloadTimes times;
    std::optional<std::string> subject;
};

// A hit on the decoded side: the decoding, shared (kept decodings never
// change), and the renewal made for the token within its second, if any.
struct CachedDecoding {
    std::shared_ptr<const DecodedToken> token;
    std::shared_ptr<const Renewal> renewal;
    explicit operator bool() const { return token != nullptr; }
    const DecodedToken *operator->() const { return token.get(); }
};

struct TokenCacheLimits {
    size_t entries = 0;  // 0: nothing is kept
    size_t bytes = 0;
};

struct TokenCacheStatistics {
    uint64_t lookups = 0;
    uint64_t hits = 0;
    uint64_t entries = 0;
    uint64_t bytes = 0;
    uint64_t evictions = 0;
};

class TokenCache {
public:
    explicit TokenCache(TokenCacheLimits limits);
    TokenCache(const TokenCache &) = delete;
    TokenCache &operator=(const TokenCache &) = delete;

    // Whether the text was offered for this side of the cache before, lately;
    // it is remembered when it was not. Keep only what was: a token that
    // comes once (when every request brings a new one, all of them) then
    // costs no entry, no eviction and none of their memory traffic, and a
    // token that comes back is kept from its second time.
    bool offered_before_decoded(const void *instance, std::string_view token);
    bool offered_before_encoded(const void *instance, std::string_view payload);

    // What decoding this token text gave under the instance; empty when it is not kept.
    CachedDecoding decoded(const void *instance, std::string_view token);
    void keep_decoded(const void *instance, std::string_view token, const DecodedToken &decoded);
    // Records the renewal made for a kept token (nothing when it is not kept).
    void remember_renewal(const void *instance, std::string_view token, std::shared_ptr<const Renewal> renewal);

    // The token that encodes this payload under the instance, if it is kept.
    std::optional<std::string> encoded(const void *instance, std::string_view payload);
    void keep_encoded(const void *instance, std::string_view payload, std::string_view token);

    TokenCacheStatistics statistics() const;

    // What one entry is counted as, besides its texts: the map and list nodes.
    static constexpr size_t kEntryOverhead = 128;

private:
    enum class Kind : uint8_t { decoded, encoded };
    struct Key {
        Key(Kind kind, const void *instance, std::string_view text);
        Key(Kind kind, const void *instance, std::string_view text, size_t hash)
            : kind(kind), instance(instance), text(text), hash(hash) {}
        Kind kind;
        const void *instance;
        std::string_view text;  // points into the entry's own copy
        size_t hash;            // tokens are long: hashed once, for the shard and the index
        bool operator==(const Key &other) const {
            return kind == other.kind && instance == other.instance && text == other.text;
        }
    };
    struct KeyHash {
        size_t operator()(const Key &key) const noexcept { return key.hash; }
    };
    struct Entry {
        std::string text;
        std::shared_ptr<const DecodedToken> decoded;  // Kind::decoded
        std::shared_ptr<const Renewal> renewal;       // Kind::decoded, once one is made
        std::string token;     // Kind::encoded
        size_t bytes = 0;
        size_t hash = 0;  // of its key
        Key key() const;
        Kind kind;
        const void *instance;
    };
    // Hashes of texts offered lately, one per slot: a collision only lets a
    // text in early.
    static constexpr size_t kOfferSlots = 512;
    struct Shard {
        std::array<std::atomic<uint64_t>, kOfferSlots> offered{};
        mutable std::mutex lock;
        std::list<Entry> entries;  // most recently used first
        std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> index;
        size_t bytes = 0;
        uint64_t lookups = 0;
        uint64_t hits = 0;
        uint64_t evictions = 0;
    };
    static constexpr size_t kShards = 16;

    Shard &shard_of(const Key &key);
    bool offered_before(const Key &key);
    // The entry, moved to the front, or null; counts the lookup.
    Entry *find(Shard &shard, const Key &key);
    void insert(Shard &shard, Entry entry);
    // Inserts the entry under the key, which it copies the text of.
    void store(const Key &key, Entry entry);

    TokenCacheLimits shard_limits_;
    std::array<Shard, kShards> shards_;
};

}  // namespace qv

#include "request/token_cache.h"

#include <functional>

namespace qv {

TokenCache::Key::Key(Kind kind, const void *instance, std::string_view text)
    : kind(kind), instance(instance), text(text) {
    const size_t of_text = std::hash<std::string_view>()(text);
    const size_t of_instance = std::hash<const void *>()(instance);
    hash = of_text ^ (of_instance + 0x9e3779b97f4a7c15ull + (of_text << 6) + (of_text >> 2)) ^ static_cast<size_t>(kind);
}

TokenCache::Key TokenCache::Entry::key() const { return {kind, instance, text, hash}; }

TokenCache::TokenCache(TokenCacheLimits limits)
    : shard_limits_{(limits.entries + kShards - 1) / kShards, limits.bytes / kShards} {}

TokenCache::Shard &TokenCache::shard_of(const Key &key) { return shards_[key.hash % kShards]; }

bool TokenCache::offered_before(const Key &key) {
    Shard &shard = shard_of(key);
    // The shard took the low bits of the hash; the slot takes others.
    std::atomic<uint64_t> &slot = shard.offered[(key.hash / kShards) % kOfferSlots];
    const uint64_t mark = static_cast<uint64_t>(key.hash) | 1;
    if (slot.load(std::memory_order_relaxed) == mark) return true;
    slot.store(mark, std::memory_order_relaxed);
    return false;
}

bool TokenCache::offered_before_decoded(const void *instance, std::string_view token) {
    return offered_before(Key{Kind::decoded, instance, token});
}

bool TokenCache::offered_before_encoded(const void *instance, std::string_view payload) {
    return offered_before(Key{Kind::encoded, instance, payload});
}

TokenCache::Entry *TokenCache::find(Shard &shard, const Key &key) {
    ++shard.lookups;
    const auto at = shard.index.find(key);
    if (at == shard.index.end()) return nullptr;
    ++shard.hits;
    shard.entries.splice(shard.entries.begin(), shard.entries, at->second);
    return &*at->second;
}

void TokenCache::insert(Shard &shard, Entry entry) {
    // A renewal is counted as room for one (its payload, its token, what it
    // exposes): it is made and dropped as requests come.
    const size_t payload = entry.decoded != nullptr ? entry.decoded->payload.size() : 0;
    entry.bytes = entry.text.size() + 2 * entry.token.size() + kEntryOverhead +
                  (entry.kind == Kind::decoded
                       ? payload + (payload + entry.text.size() + payload) + sizeof(DecodedToken) + sizeof(Renewal)
                       : 0);
    if (shard_limits_.entries == 0 || entry.bytes > shard_limits_.bytes) return;
    if (const auto at = shard.index.find(entry.key()); at != shard.index.end()) {
        // The index hashes its key, a view into the entry, to unlink it:
        // the entry goes after its index node.
        const auto old = at->second;
        shard.bytes -= old->bytes;
        shard.index.erase(at);
        shard.entries.erase(old);
    }
    while (!shard.entries.empty() &&
           (shard.entries.size() >= shard_limits_.entries || shard.bytes + entry.bytes > shard_limits_.bytes)) {
        const Entry &oldest = shard.entries.back();
        shard.index.erase(oldest.key());
        shard.bytes -= oldest.bytes;
        shard.entries.pop_back();
        ++shard.evictions;
    }
    shard.bytes += entry.bytes;
    shard.entries.push_front(std::move(entry));
    // The key views the text of the entry in its place in the list.
    shard.index.emplace(shard.entries.front().key(), shard.entries.begin());
}

CachedDecoding TokenCache::decoded(const void *instance, std::string_view token) {
    const Key key{Kind::decoded, instance, token};
    Shard &shard = shard_of(key);
    const std::lock_guard<std::mutex> guard(shard.lock);
    if (const Entry *entry = find(shard, key)) return {entry->decoded, entry->renewal};
    return {};
}

void TokenCache::store(const Key &key, Entry entry) {
    entry.kind = key.kind;
    entry.instance = key.instance;
    entry.hash = key.hash;
    entry.text = std::string(key.text);
    Shard &shard = shard_of(key);
    const std::lock_guard<std::mutex> guard(shard.lock);
    insert(shard, std::move(entry));
}

void TokenCache::keep_decoded(const void *instance, std::string_view token, const DecodedToken &decoded) {
    Entry entry;
    entry.decoded = std::make_shared<const DecodedToken>(decoded);
    store(Key{Kind::decoded, instance, token}, std::move(entry));
}

void TokenCache::remember_renewal(const void *instance, std::string_view token, std::shared_ptr<const Renewal> renewal) {
    const Key key{Kind::decoded, instance, token};
    Shard &shard = shard_of(key);
    const std::lock_guard<std::mutex> guard(shard.lock);
    if (const auto at = shard.index.find(key); at != shard.index.end()) at->second->renewal = std::move(renewal);
}

std::optional<std::string> TokenCache::encoded(const void *instance, std::string_view payload) {
    const Key key{Kind::encoded, instance, payload};
    Shard &shard = shard_of(key);
    const std::lock_guard<std::mutex> guard(shard.lock);
    if (const Entry *entry = find(shard, key)) return entry->token;
    return std::nullopt;
}

void TokenCache::keep_encoded(const void *instance, std::string_view payload, std::string_view token) {
    Entry entry;
    entry.token = std::string(token);
    store(Key{Kind::encoded, instance, payload}, std::move(entry));
}

TokenCacheStatistics TokenCache::statistics() const {
    TokenCacheStatistics total;
    for (const Shard &shard : shards_) {
        const std::lock_guard<std::mutex> guard(shard.lock);
        total.lookups += shard.lookups;
        total.hits += shard.hits;
        total.entries += shard.entries.size();
        total.bytes += shard.bytes;
        total.evictions += shard.evictions;
    }
    return total;
}

}  // namespace qv

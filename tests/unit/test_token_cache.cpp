// The cache of decoded and encoded tokens: whole texts as keys, one instance's
// entries never another's, bounded in entries and bytes, least recently used
// first out, and safe under many threads.
#include "request/token_cache.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kInstance = 0;
const int kOtherInstance = 1;
const void *const instance = &kInstance;
const void *const other_instance = &kOtherInstance;

qv::DecodedToken decoded(const std::string &payload, int password = 0) {
    qv::DecodedToken token;
    token.version = 1;
    token.cipher_suite = 2;
    token.payload = payload;
    token.password = password;
    token.times = {10, 30, 20};
    token.subject = "jdoe";
    return token;
}

TEST(TokenCache, EntriesAreFoundByTheirWholeTextAndInstance) {
    qv::TokenCache cache({64, 1 << 20});
    const std::string token(800, 'A');
    cache.keep_decoded(instance, token, decoded("subject=jdoe\n", 1));
    const auto hit = cache.decoded(instance, token);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->payload, "subject=jdoe\n");
    EXPECT_EQ(hit->version, 1);
    EXPECT_EQ(hit->cipher_suite, 2);
    EXPECT_EQ(hit->password, 1);
    EXPECT_EQ(hit->times.renew_until, 30);
    EXPECT_EQ(hit->subject, "jdoe");
    EXPECT_EQ(hit.renewal, nullptr);
    // One character off, another instance, or the other side of the cache: no entry.
    std::string near = token;
    near[400] = 'B';
    EXPECT_FALSE(cache.decoded(instance, near));
    EXPECT_FALSE(cache.decoded(other_instance, token));
    EXPECT_FALSE(cache.encoded(instance, token));

    cache.keep_encoded(instance, "subject=jdoe\n", "TOKEN1");
    EXPECT_EQ(cache.encoded(instance, "subject=jdoe\n"), "TOKEN1");
    EXPECT_FALSE(cache.encoded(instance, "subject=jdoe"));
    // Keeping a text again replaces its entry.
    cache.keep_encoded(instance, "subject=jdoe\n", "TOKEN2");
    EXPECT_EQ(cache.encoded(instance, "subject=jdoe\n"), "TOKEN2");

    const qv::TokenCacheStatistics figures = cache.statistics();
    EXPECT_EQ(figures.entries, 2u);
    EXPECT_EQ(figures.lookups, 7u);
    EXPECT_EQ(figures.hits, 3u);

    // A kept token carries the renewal made for it; one not kept gets none.
    auto renewal = std::make_shared<qv::Renewal>();
    renewal->second = 42;
    renewal->token = "RENEWED";
    cache.remember_renewal(instance, token, renewal);
    cache.remember_renewal(instance, near, renewal);
    EXPECT_EQ(cache.decoded(instance, token).renewal, renewal);
    EXPECT_FALSE(cache.decoded(instance, near));
    EXPECT_FALSE(cache.decoded(other_instance, token));
}

TEST(TokenCache, ATextIsOfferedBeforeOnlyFromItsSecondTime) {
    qv::TokenCache cache({64, 1 << 20});
    const std::string token(800, 'A');
    std::string near = token;
    near[400] = 'B';
    EXPECT_FALSE(cache.offered_before_decoded(instance, token));
    EXPECT_TRUE(cache.offered_before_decoded(instance, token));
    // Each side, instance and text is offered on its own.
    EXPECT_FALSE(cache.offered_before_encoded(instance, token));
    EXPECT_FALSE(cache.offered_before_decoded(other_instance, token));
    EXPECT_FALSE(cache.offered_before_decoded(instance, near));
    EXPECT_TRUE(cache.offered_before_decoded(instance, token));
    EXPECT_TRUE(cache.offered_before_encoded(instance, token));
}

TEST(TokenCache, BoundedInEntriesAndBytesLeastRecentlyUsedFirstOut) {
    // Tokens that fall into one shard are what the bounds apply to; many
    // keys spread over all shards show the total bound.
    qv::TokenCache by_entries({160, 1 << 30});
    for (int i = 0; i < 2000; ++i) by_entries.keep_decoded(instance, "token-" + std::to_string(i), decoded("p"));
    EXPECT_LE(by_entries.statistics().entries, 160u);
    EXPECT_GT(by_entries.statistics().evictions, 1800u);
    EXPECT_TRUE(by_entries.decoded(instance, "token-1999"));
    EXPECT_FALSE(by_entries.decoded(instance, "token-0"));

    const size_t limit = 64 * 1024;
    qv::TokenCache by_bytes({1 << 20, limit});
    const std::string payload(600, 'p');
    for (int i = 0; i < 1000; ++i) by_bytes.keep_decoded(instance, std::string(800, 'a') + std::to_string(i), decoded(payload));
    EXPECT_LE(by_bytes.statistics().bytes, limit);
    EXPECT_GT(by_bytes.statistics().entries, 10u);
    // An entry larger than a shard's share is never kept.
    qv::TokenCache tiny({16, 1024});
    tiny.keep_decoded(instance, "t", decoded(std::string(4096, 'x')));
    EXPECT_EQ(tiny.statistics().entries, 0u);
    // With no entries allowed nothing is kept.
    qv::TokenCache off({0, 1 << 20});
    off.keep_encoded(instance, "p", "t");
    EXPECT_FALSE(off.encoded(instance, "p"));

    // A recently used entry outlives older ones: fill one shard of a small cache.
    qv::TokenCache lru({16, 1 << 20});  // one entry per shard
    lru.keep_decoded(instance, "first", decoded("1"));
    ASSERT_TRUE(lru.decoded(instance, "first"));
    for (int i = 0; i < 500; ++i) lru.keep_decoded(instance, "later-" + std::to_string(i), decoded("x"));
    EXPECT_LE(lru.statistics().entries, 16u);
}

TEST(TokenCache, ManyThreadsKeepAndFindTheirOwnEntries) {
    qv::TokenCache cache({4096, 4 << 20});
    std::vector<std::thread> threads;
    std::vector<int> wrong(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3000; ++i) {
                const std::string token = "t" + std::to_string(t) + "-" + std::to_string(i % 300);
                const std::string payload = "subject=user" + std::to_string(t) + "\n";
                if (const auto hit = cache.decoded(instance, token); hit && hit->payload != payload) ++wrong[t];
                cache.keep_decoded(instance, token, decoded(payload));
                cache.keep_encoded(instance, payload, token);
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(wrong[t], 0) << t;
    EXPECT_LE(cache.statistics().entries, 4096u);
}

}  // namespace

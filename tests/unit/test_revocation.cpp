// Revocation without Apache: the store address, entry lifetimes, session
// identifiers, and what a process remembers of the store's answers.
#include "config/config_values.h"
#include "config/revocation_memo.h"
#include "config/revocation_values.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using qv::RevocationMemo;
constexpr int64_t kSecond = qv::kMicroseconds;

TEST(RevocationStoreAddress, ProviderAndArgumentSplitAtTheFirstColon) {
    const struct {
        const char *text;
        bool valid;
        const char *provider;
        const char *argument;
    } cases[] = {
        {"shmcb:/run/qv/revoked(512000)", true, "shmcb", "/run/qv/revoked(512000)"},
        {"redis:127.0.0.1:6379", true, "redis", "127.0.0.1:6379"},
        {"memcache:a:11211,b:11211", true, "memcache", "a:11211,b:11211"},
        {"shmcb", true, "shmcb", ""},
        {":127.0.0.1:6379", false, "", ""},
        {"", false, "", ""},
    };
    for (const auto &c : cases) {
        const auto address = qv::parse_store_address(c.text);
        ASSERT_EQ(address.has_value(), c.valid) << c.text;
        if (!address) continue;
        EXPECT_EQ(address->provider, c.provider) << c.text;
        EXPECT_EQ(address->argument, c.argument) << c.text;
    }
    EXPECT_EQ(qv::store_provider_module("redis"), "socache_redis");
    EXPECT_EQ(qv::store_provider_module("memcache"), "socache_memcache");
    EXPECT_EQ(qv::store_provider_module("nosuch"), "");
}

TEST(RevocationStoreAddress, OnOffFlags) {
    EXPECT_EQ(qv::parse_on_off("On"), true);
    EXPECT_EQ(qv::parse_on_off("off"), false);
    EXPECT_EQ(qv::parse_on_off("yes"), true);
    EXPECT_EQ(qv::parse_on_off("1"), std::nullopt);
}

TEST(RevocationEntryExpiry, OnlyMemcacheIsCappedAtThirtyDays) {
    const int64_t now = 1'700'000'000;
    const int64_t far = now + 90 * 24 * 3600;
    EXPECT_EQ(qv::store_entry_expiry("memcache", now, far), now + 30 * 24 * 3600);
    EXPECT_EQ(qv::store_entry_expiry("memcache", now, now + 3600), now + 3600);
    EXPECT_EQ(qv::store_entry_expiry("redis", now, far), far);
    EXPECT_EQ(qv::store_entry_expiry("shmcb", now, far), far);
}

TEST(SessionIdentifier, OneSessionOneIdentifierUnderEachKey) {
    const qv::RevocationKey key = qv::derive_revocation_key("Y29ycmVjdCBob3JzZQ==");
    const std::string id = qv::session_identifier(key, "jdoe", 1'700'000'000);
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    // Whatever else the tokens of one session differ in, these two stay.
    EXPECT_EQ(qv::session_identifier(qv::derive_revocation_key("Y29ycmVjdCBob3JzZQ=="), "jdoe", 1'700'000'000), id);
    const std::set<std::string> others = {
        qv::session_identifier(key, "jdoe", 1'700'000'001),
        qv::session_identifier(key, "jdoe2", 1'700'000'000),
        // The separator keeps "jdoe\n1" + "7..." apart from "jdoe" + "17...".
        qv::session_identifier(key, "jdoe\n1", 700'000'000),
        qv::session_identifier(qv::derive_revocation_key("b3RoZXIgcGFzc3dvcmQ="), "jdoe", 1'700'000'000),
    };
    EXPECT_EQ(others.size(), 4u);
    EXPECT_EQ(others.count(id), 0u);
}

TEST(RevocationMemo, AnswersLastTheirTimeAndARevocationIsNeverForgottenEarly) {
    RevocationMemo memo;
    const int64_t now = 1000 * kSecond;
    EXPECT_EQ(memo.recall("a", now), RevocationMemo::Recall::ask_store);
    memo.remember_not_revoked("a", now, now + 5 * kSecond);
    EXPECT_EQ(memo.recall("a", now + 4 * kSecond), RevocationMemo::Recall::not_revoked);
    // Past its time one caller asks; the others trust the answer a moment longer, then ask too.
    const int64_t expired = now + 5 * kSecond;
    EXPECT_EQ(memo.recall("a", expired), RevocationMemo::Recall::ask_store);
    EXPECT_EQ(memo.recall("a", expired + RevocationMemo::kAskingGrace - 1), RevocationMemo::Recall::not_revoked);
    EXPECT_EQ(memo.recall("a", expired + RevocationMemo::kAskingGrace), RevocationMemo::Recall::ask_store);
    memo.remember_not_revoked("a", expired, expired + 5 * kSecond);
    EXPECT_EQ(memo.recall("a", expired + 1), RevocationMemo::Recall::not_revoked);
    // When the store cannot answer, nobody goes on with the old answer.
    EXPECT_EQ(memo.recall("a", expired + 5 * kSecond), RevocationMemo::Recall::ask_store);
    memo.forget("a");
    EXPECT_EQ(memo.recall("a", expired + 5 * kSecond + 1), RevocationMemo::Recall::ask_store);

    // A logout in this process is known at once, and an older "no" cannot undo it.
    memo.remember_not_revoked("b", now, now + 5 * kSecond);
    memo.remember_revoked("b", now, now + 3600 * kSecond);
    memo.remember_not_revoked("b", now, now + 5 * kSecond);
    EXPECT_EQ(memo.recall("b", now + 60 * kSecond), RevocationMemo::Recall::revoked);
    EXPECT_EQ(memo.recall("b", now + 3600 * kSecond), RevocationMemo::Recall::ask_store);
}

TEST(RevocationMemo, AFullMemoGivesUpSavingsBeforeRevocations) {
    RevocationMemo memo;
    const int64_t now = 1000 * kSecond;
    memo.remember_revoked("revoked", now, now + 3600 * kSecond);
    for (size_t i = 0; i < RevocationMemo::kCapacity + 10; ++i)
        memo.remember_not_revoked("s" + std::to_string(i), now, now + 5 * kSecond);
    EXPECT_EQ(memo.recall("revoked", now), RevocationMemo::Recall::revoked);
    EXPECT_EQ(memo.recall("s" + std::to_string(RevocationMemo::kCapacity + 9), now),
              RevocationMemo::Recall::not_revoked);
}

TEST(RevocationMemo, AFailedStoreRestsThenOneCallerProbesIt) {
    RevocationMemo memo;
    const int64_t now = 1000 * kSecond;
    EXPECT_EQ(memo.contact(now), RevocationMemo::Contact::ask);
    memo.store_failed(now);
    EXPECT_EQ(memo.contact(now + RevocationMemo::kRestAfterFailure - 1), RevocationMemo::Contact::rest);
    const int64_t later = now + RevocationMemo::kRestAfterFailure;
    EXPECT_EQ(memo.contact(later), RevocationMemo::Contact::probe);
    // Requests that arrive while the probe is out do not wait on the store.
    EXPECT_EQ(memo.contact(later), RevocationMemo::Contact::rest);
    memo.store_answered();
    EXPECT_EQ(memo.contact(later), RevocationMemo::Contact::ask);

    EXPECT_TRUE(memo.failure_line_due(now));
    EXPECT_FALSE(memo.failure_line_due(now + RevocationMemo::kFailureLogInterval - 1));
    EXPECT_TRUE(memo.failure_line_due(now + RevocationMemo::kFailureLogInterval));
}

TEST(RevocationMemo, PendingRevocationsAreTakenOnceAndBounded) {
    RevocationMemo memo;
    for (size_t i = 0; i < RevocationMemo::kPendingCapacity + 1; ++i) memo.add_pending(std::to_string(i), 99);
    const auto pending = memo.take_pending();
    ASSERT_EQ(pending.size(), RevocationMemo::kPendingCapacity);
    EXPECT_EQ(pending.front().id, "1");
    EXPECT_TRUE(memo.take_pending().empty());
}

TEST(RevocationMemo, TheWatchedRevocationIsLetGoAtItsExpiry) {
    RevocationMemo memo;
    EXPECT_TRUE(memo.watched(0).id.empty());
    memo.watch("a", 10 * kSecond);
    EXPECT_EQ(memo.watched(9 * kSecond).id, "a");
    EXPECT_TRUE(memo.watched(10 * kSecond).id.empty());
}

}  // namespace

// What the revocation check adds to a protected request whose session this
// process has checked within the interval: the session's identifier (a keyed
// digest of subject and renew-until) and a look-up in the process's memo,
// next to the token's decoding, which every protected request pays anyway.
#include "config/revocation_memo.h"
#include "config/revocation_values.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const qv::RevocationKey kKey = qv::derive_revocation_key("c2VjcmV0IHBhc3N3b3JkIG9mIHRoZSBiZW5jaA==");
constexpr int64_t kRenewUntil = 1'800'000'000;

void BM_SessionIdentifier(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(qv::session_identifier(kKey, "joe.smith@example.com", kRenewUntil));
}
BENCHMARK(BM_SessionIdentifier);

// A memo as full as a busy process keeps it, answering for a session it knows.
void BM_RememberedAnswer(benchmark::State &state) {
    qv::RevocationMemo memo;
    const int64_t now = 1'000'000 * qv::kMicroseconds;
    for (int i = 0; i < 10000; ++i)
        memo.remember_not_revoked(qv::session_identifier(kKey, "user" + std::to_string(i), kRenewUntil), now,
                                  now + 5 * qv::kMicroseconds);
    const std::string id = qv::session_identifier(kKey, "user42", kRenewUntil);
    for (auto _ : state) benchmark::DoNotOptimize(memo.recall(id, now));
}
BENCHMARK(BM_RememberedAnswer);

}  // namespace

BENCHMARK_MAIN();

// What one process remembers about the revocation store, so that a protected
// request seldom has to ask it: answers per session identifier, whether the
// store has just failed, and the revocations it could not take yet. Times are
// microseconds (apr_time_t). Safe for the threads of one process.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace qv {

inline constexpr int64_t kMicroseconds = 1000000;

class RevocationMemo {
public:
    // After a failure the store is left alone this long.
    static constexpr int64_t kRestAfterFailure = 5 * kMicroseconds;
    // The agent's own line about an unreachable store, at most this often.
    static constexpr int64_t kFailureLogInterval = 60 * kMicroseconds;
    // Answers kept per process; beyond that, expired ones go first.
    static constexpr size_t kCapacity = 20000;
    static constexpr size_t kPendingCapacity = 1000;
    // Once a "not revoked" answer has expired, one caller asks the store while
    // the others go on trusting it this much longer, instead of all asking.
    static constexpr int64_t kAskingGrace = kMicroseconds;

    enum class Recall { revoked, not_revoked, ask_store };
    Recall recall(const std::string &id, int64_t now);
    void remember_not_revoked(const std::string &id, int64_t now, int64_t until);
    void remember_revoked(const std::string &id, int64_t now, int64_t until);
    // The store could not answer: no caller goes on trusting the old answer.
    void forget(const std::string &id);

    // The store's health, for the next contact: rest (do not ask), probe
    // (ask whether it is back first) or ask.
    enum class Contact { ask, probe, rest };
    Contact contact(int64_t now);
    void store_failed(int64_t now);
    void store_answered();
    // True when the failure line is due (and counts it as written).
    bool failure_line_due(int64_t now);

    struct Pending {
        std::string id;
        int64_t expiry;
    };
    // Revocations that the store has not taken yet; the oldest are dropped beyond capacity.
    void add_pending(const std::string &id, int64_t expiry);
    std::vector<Pending> take_pending();

    // The oldest revocation this process wrote that should still be in the
    // store: one that is gone before its expiry shows that the store drops
    // entries. Empty when there is none that has not expired.
    struct Watched {
        std::string id;
        int64_t expiry = 0;
    };
    Watched watched(int64_t now);
    void watch(const std::string &id, int64_t expiry);
    bool drop_line_due(int64_t now);

private:
    struct Answer {
        bool revoked;
        int64_t until;
        bool asking = false;  // a caller is asking the store for a fresh answer
    };
    void make_room(int64_t now);

    std::mutex mutex_;
    std::unordered_map<std::string, Answer> answers_;
    std::vector<Pending> pending_;
    bool failed_ = false;
    int64_t resting_until_ = 0;
    int64_t failure_line_at_ = INT64_MIN;
    int64_t drop_line_at_ = INT64_MIN;
    Watched watched_;
};

}  // namespace qv

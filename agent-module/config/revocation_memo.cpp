#include "config/revocation_memo.h"

#include <iterator>

namespace qv {

namespace {

bool due(int64_t &last, int64_t now, int64_t interval) {
    if (last != INT64_MIN && now - last < interval) return false;
    last = now;
    return true;
}

}  // namespace

RevocationMemo::Recall RevocationMemo::recall(const std::string &id, int64_t now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = answers_.find(id);
    if (found == answers_.end()) return Recall::ask_store;
    Answer &answer = found->second;
    if (now < answer.until) return answer.revoked ? Recall::revoked : Recall::not_revoked;
    if (answer.revoked) {
        answers_.erase(found);
        return Recall::ask_store;
    }
    if (answer.asking && now < answer.until + kAskingGrace) return Recall::not_revoked;
    answer.asking = true;
    return Recall::ask_store;
}

void RevocationMemo::remember_not_revoked(const std::string &id, int64_t now, int64_t until) {
    const std::lock_guard<std::mutex> lock(mutex_);
    // A revocation this process knows of is never overwritten by an older "no".
    if (const auto found = answers_.find(id); found != answers_.end() && found->second.revoked) return;
    make_room(now);
    answers_[id] = {false, until, false};
}

void RevocationMemo::remember_revoked(const std::string &id, int64_t now, int64_t until) {
    const std::lock_guard<std::mutex> lock(mutex_);
    make_room(now);
    answers_[id] = {true, until, false};
}

void RevocationMemo::forget(const std::string &id) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const auto found = answers_.find(id); found != answers_.end() && !found->second.revoked) answers_.erase(found);
}

void RevocationMemo::make_room(int64_t now) {
    if (answers_.size() < kCapacity) return;
    for (auto at = answers_.begin(); at != answers_.end();)
        at = at->second.until <= now ? answers_.erase(at) : std::next(at);
    if (answers_.size() < kCapacity) return;
    // Still full of live answers: the "not revoked" ones are only a saving.
    for (auto at = answers_.begin(); at != answers_.end();)
        at = !at->second.revoked ? answers_.erase(at) : std::next(at);
    if (answers_.size() >= kCapacity) answers_.erase(answers_.begin());
}

RevocationMemo::Contact RevocationMemo::contact(int64_t now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_) return Contact::ask;
    if (now < resting_until_) return Contact::rest;
    // One thread probes; the others rest until it has an answer.
    resting_until_ = now + kRestAfterFailure;
    return Contact::probe;
}

void RevocationMemo::store_failed(int64_t now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    resting_until_ = now + kRestAfterFailure;
}

void RevocationMemo::store_answered() {
    const std::lock_guard<std::mutex> lock(mutex_);
    failed_ = false;
    resting_until_ = 0;
}

bool RevocationMemo::failure_line_due(int64_t now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return due(failure_line_at_, now, kFailureLogInterval);
}

void RevocationMemo::add_pending(const std::string &id, int64_t expiry) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.size() >= kPendingCapacity) pending_.erase(pending_.begin());
    pending_.push_back({id, expiry});
}

std::vector<RevocationMemo::Pending> RevocationMemo::take_pending() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Pending> taken;
    taken.swap(pending_);
    return taken;
}

RevocationMemo::Watched RevocationMemo::watched(int64_t now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (watched_.expiry <= now) watched_ = {};
    return watched_;
}

void RevocationMemo::watch(const std::string &id, int64_t expiry) {
    const std::lock_guard<std::mutex> lock(mutex_);
    watched_ = {id, expiry};
}

bool RevocationMemo::drop_line_due(int64_t now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return due(drop_line_at_, now, kFailureLogInterval);
}

}  // namespace qv

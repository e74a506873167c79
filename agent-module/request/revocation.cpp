#include "request/revocation.h"

#include "config/module_log.h"
#include "config/revocation_store.h"
#include "config/revocation_values.h"
#include "config/server_config.h"
#include "request/session.h"
#include "request/token_search.h"

#include <nubrel.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char *kRenewUntil = "renew-until";
// Written after a failure to learn whether the store is back: a look-up cannot
// tell, since the network providers answer "not found" while they hold their
// server for dead.
const std::string kProbeId = "probe";
constexpr int64_t kProbeLifetime = 60;
// A revocation watched for being dropped is let go this long before its expiry.
constexpr int64_t kWatchMargin = 2 * qv::kMicroseconds;

// What stays the same for a session's whole life.
struct SessionLife {
    std::string subject;
    int64_t renew_until;  // seconds
};

std::optional<SessionLife> life_of(const Session &session) {
    // What validation or the token cache read already.
    if (session.times_known && session.subject_known)
        return SessionLife{session.subject != nullptr ? session.subject : "", session.times.renew_until};
    const char *payload = session.data.payload;
    int64_t renew_until = 0;
    if (payload == nullptr || nubrel_get_payload_time(payload, kRenewUntil, &renew_until) != 0) return std::nullopt;
    char *subject = nubrel_get_payload_value(payload, "subject");
    SessionLife life{subject != nullptr ? subject : "", renew_until};
    nubrel_free(subject);
    return life;
}

// The session's identifier under every configured key.
std::vector<std::string> identifiers(const agent_server_config *config, const SessionLife &life) {
    std::vector<std::string> ids;
    const apr_array_header_t *keys = config->revocation_keys;
    for (int i = 0; keys != nullptr && i < keys->nelts; ++i)
        ids.push_back(qv::session_identifier(APR_ARRAY_IDX(keys, i, qv::RevocationKey), life.subject,
                                             life.renew_until));
    return ids;
}

// A session's requests come in bursts and each asks for the same keyed
// digests: each thread remembers those of the last few sessions it served,
// per set of keys (the keys of one configuration generation).
struct RememberedIdentifiers {
    const void *keys = nullptr;
    int generation = -1;
    SessionLife life;
    std::vector<std::string> ids;
};
constexpr size_t kRememberedSessions = 8;
thread_local std::array<RememberedIdentifiers, kRememberedSessions> t_identifiers;
thread_local size_t t_next_identifier = 0;

std::vector<std::string> session_identifiers(const agent_server_config *config, const SessionLife &life) {
    const int generation = ap_state_query(AP_SQ_CONFIG_GEN);
    for (const RememberedIdentifiers &kept : t_identifiers)
        if (kept.keys == config->revocation_keys && kept.generation == generation &&
            kept.life.renew_until == life.renew_until && kept.life.subject == life.subject)
            return kept.ids;
    std::vector<std::string> ids = identifiers(config, life);
    RememberedIdentifiers &slot = t_identifiers[t_next_identifier++ % kRememberedSessions];
    slot = {config->revocation_keys, generation, life, ids};
    return ids;
}

int64_t seconds(apr_time_t time) { return static_cast<int64_t>(apr_time_sec(time)); }

// Writes the revocations that waited for the store; false when it fails again.
bool write_pending(RevocationStore *store, request_rec *r, apr_time_t now) {
    qv::RevocationMemo &memo = store_memo(store);
    std::vector<qv::RevocationMemo::Pending> pending = memo.take_pending();
    for (size_t i = 0; i < pending.size(); ++i) {
        if (store_record(store, r, pending[i].id, pending[i].expiry)) continue;
        for (size_t j = i; j < pending.size(); ++j) memo.add_pending(pending[j].id, pending[j].expiry);
        memo.store_failed(now);
        return false;
    }
    return true;
}

// Whether the store may be asked now: not while it rests after a failure,
// and after the rest only once a probe has reached it.
bool store_reachable(const agent_server_config *config, RevocationStore *store, request_rec *r, apr_time_t now) {
    qv::RevocationMemo &memo = store_memo(store);
    switch (memo.contact(now)) {
    case qv::RevocationMemo::Contact::ask: return true;
    case qv::RevocationMemo::Contact::rest: return false;
    case qv::RevocationMemo::Contact::probe: break;
    }
    if (!store_record(store, r, kProbeId, seconds(now) + kProbeLifetime)) {
        memo.store_failed(now);
        return false;
    }
    memo.store_answered();
    log_warning(config, "The revocation store %s can be reached again", config->revocation_store_address);
    return write_pending(store, r, now);
}

Outcome store_unreachable(const agent_server_config *config, request_rec *r, apr_time_t now) {
    const bool required = config->revocation_required != 0;
    if (store_memo(config->revocation_store).failure_line_due(now))
        log_error(config,
                  required ? "The revocation store %s cannot be reached - protected requests are refused with 503 "
                             "(QuorvelRevocationRequired on)"
                           : "The revocation store %s cannot be reached - sessions are accepted without knowing "
                             "whether they have been signed out",
                  config->revocation_store_address);
    if (!required) return Outcome::go_on();
    apr_table_setn(r->err_headers_out, "Retry-After", "5");
    return Outcome::answered(HTTP_SERVICE_UNAVAILABLE);
}

Outcome signed_out(const agent_server_config *config, const SessionLife &life) {
    log_basic(config, "The session of \"%s\" has been signed out - invalidating session...", life.subject.c_str());
    return Outcome::login(1);
}

bool decode_for_sign_out(const agent_server_config *config, request_rec *r, Session &session) {
    const auto suite = qv::declared_cipher_suite(session.token);
    if (!suite || *suite != config->cipher_suite) return false;
    return nubrel_decode(config->library_instance, session.token, &session.data, r,
                         const_cast<agent_server_config *>(config), nullptr) == 0;
}

// A revocation this process wrote that is gone before its expiry shows that
// the store drops entries to make room.
void watch_for_drops(const agent_server_config *config, RevocationStore *store, request_rec *r, apr_time_t now,
                     const std::string &id, int64_t expiry) {
    qv::RevocationMemo &memo = store_memo(store);
    const qv::RevocationMemo::Watched watched = memo.watched(now);
    if (!watched.id.empty()) {
        if (store_lookup(store, r, watched.id) != StoreAnswer::not_found) return;
        if (memo.drop_line_due(now))
            log_warning(config,
                        "The revocation store %s has dropped a signed-out session before it ended: it is too small "
                        "for the sessions' lifetime (give shmcb a larger size)",
                        config->revocation_store_address);
    }
    memo.watch(id, apr_time_from_sec(expiry) - kWatchMargin);
}

}  // namespace

Outcome refuse_signed_out_session(const agent_server_config *config, request_rec *r, const Session &session) {
    RevocationStore *store = config->revocation_store;
    if (store == nullptr) return Outcome::go_on();
    const auto life = life_of(session);
    if (!life) return Outcome::go_on();
    qv::RevocationMemo &memo = store_memo(store);
    const apr_time_t now = apr_time_now();
    std::vector<std::string> unknown;
    for (std::string &id : session_identifiers(config, *life)) {
        switch (memo.recall(id, now)) {
        case qv::RevocationMemo::Recall::revoked: return signed_out(config, *life);
        case qv::RevocationMemo::Recall::not_revoked: break;
        case qv::RevocationMemo::Recall::ask_store: unknown.push_back(std::move(id)); break;
        }
    }
    if (unknown.empty()) return Outcome::go_on();
    const auto unreachable = [&] {
        for (const std::string &id : unknown) memo.forget(id);
        return store_unreachable(config, r, now);
    };
    if (!store_reachable(config, store, r, now)) return unreachable();
    for (const std::string &id : unknown) {
        switch (store_lookup(store, r, id)) {
        case StoreAnswer::found:
            memo.remember_revoked(id, now, apr_time_from_sec(life->renew_until));
            return signed_out(config, *life);
        case StoreAnswer::not_found:
            memo.remember_not_revoked(id, now, now + apr_time_from_sec(config->revocation_check_interval));
            break;
        case StoreAnswer::failed:
            memo.store_failed(now);
            return unreachable();
        }
    }
    log_detailed(config, "The session has not been signed out");
    return Outcome::go_on();
}

void record_sign_out(const agent_server_config *config, request_rec *r, Session &session) {
    RevocationStore *store = config->revocation_store;
    if (store == nullptr || session.token == nullptr) return;
    if (session.data.payload == nullptr && !decode_for_sign_out(config, r, session)) {
        log_detailed(config, "The logout's token does not decode - there is no session to record as signed out");
        return;
    }
    const auto life = life_of(session);
    const apr_time_t now = apr_time_now();
    if (!life || life->renew_until <= seconds(now)) {
        log_detailed(config, "The session has ended already - nothing to record as signed out");
        return;
    }
    const std::vector<std::string> ids = identifiers(config, *life);
    if (ids.empty()) return;
    qv::RevocationMemo &memo = store_memo(store);
    for (const std::string &id : ids) memo.remember_revoked(id, now, apr_time_from_sec(life->renew_until));

    const int64_t expiry = qv::store_entry_expiry(store_provider(store), seconds(now), life->renew_until);
    if (expiry < life->renew_until)
        log_basic(config, "memcache keeps an entry at most 30 days: the store forgets this sign-out %li sec before "
                          "the session would have ended",
                  static_cast<long>(life->renew_until - expiry));
    bool written = store_reachable(config, store, r, now);
    if (written) {
        watch_for_drops(config, store, r, now, ids.front(), expiry);
        for (const std::string &id : ids) written = written && store_record(store, r, id, expiry);
        if (!written) memo.store_failed(now);
    }
    if (!written) {
        for (const std::string &id : ids) memo.add_pending(id, expiry);
        log_error(config,
                  "The revocation store %s cannot take the signed-out session of \"%s\" now - this process refuses "
                  "it, and the store is given it when it answers again",
                  config->revocation_store_address, life->subject.c_str());
        return;
    }
    log_basic(config, "The session of \"%s\" has been recorded as signed out, until it would have ended in %li sec",
              life->subject.c_str(), static_cast<long>(life->renew_until - seconds(now)));
}

// The session of a request: its one owner, whether it may be used now, and
// its renewal.
#pragma once

#include "config/apache.h"
#include "request/token_cache.h"
#include "request/token_discovery.h"
#include "response/outcome.h"

#include <nubrel.h>

#include <memory>

struct agent_server_config;

// The token a request carries, where it came from, and what decoding gave.
// Every step of the decision takes it by reference; only this record frees
// the decoded data, on every way out.
struct Session {
    const char *token = nullptr;  // request-pool text
    int source = TOKEN_SOURCE_NONE;
    nubrel_tokendata data{};
    // 1 when the update flag was present: the attributes were exposed once before.
    int subsequent = 0;
    // 0: the current password opened the token; 1: the previous one.
    int password = 0;
    // The decoded data came from the token cache, or went into it: the
    // session's token is kept, and what its requests repeat is worth keeping.
    bool from_cache = false;
    bool kept = false;
    // What the payload says, read once per token: from the token cache when
    // the token is kept, else as validation reads it.
    bool times_known = false;
    qv::PayloadTimes times;
    const char *subject = nullptr;  // request pool; null when the payload has none
    bool subject_known = false;
    // The renewal an earlier request of the session made within a second.
    std::shared_ptr<const qv::Renewal> renewal;
    // The renewal this request's payload is the result of (taken or made),
    // whose exposed values serve this request too.
    std::shared_ptr<const qv::Renewal> renewed_with;

    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() { nubrel_free_tokendata(&data); }
};

// Go on when the session is valid now; otherwise the answer: the error page
// for a missing payload or an unreadable time, or a session not valid yet;
// the login page (cookie erased) once its overall or inactivity limit is
// reached.
Outcome validate_session(const agent_server_config *config, Session &session);

// Moves the inactivity limit forward, resets the creation time of tokens
// from the query string or a posted form, marks cookie sessions with the
// update flag, and sets the re-encoded token as the session cookie. Work that
// repeats is not done again: a renewed payload equal to the one the token
// carries re-issues the token itself, and one encoded before takes its token
// from the cache. With a renewal interval, a cookie whose inactivity limit
// would move by less is not issued again. Go on, or the error page when the
// payload cannot be updated.
Outcome renew_session(const agent_server_config *config, request_rec *r, Session &session);

// Writes the update flag into the payload. 0, or -1 on failure (logged).
int set_update_flag(const agent_server_config *config, nubrel_tokendata *tokendata);

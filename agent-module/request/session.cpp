// Session validation and renewal: the times a token carries, checked against
// now, and the renewed token sent back as the session cookie.
#include "request/session.h"

#include "config/module_log.h"
#include "config/server_config.h"
#include "request/cached_tokens.h"
#include "request/exposure.h"
#include "response/cookies.h"

#include <string_view>

#include <cstdint>
#include <cstring>

namespace {

constexpr const char *kNotBefore = "not-before";
constexpr const char *kNotOnOrAfter = "not-on-or-after";
constexpr const char *kRenewUntil = "renew-until";
constexpr const char *kUpdateFlag = "is.subsequent.request";
constexpr const char *kRuntimeError = "Runtime error.";

int64_t now_seconds() { return static_cast<int64_t>(apr_time_sec(apr_time_now())); }

// Log lines show time differences as 32-bit counts.
long low32(int64_t value) { return static_cast<long>(static_cast<int32_t>(value)); }

void refresh_length(nubrel_tokendata *tokendata) {
    tokendata->payload_length =
        tokendata->payload != nullptr ? static_cast<uint32_t>(std::strlen(tokendata->payload)) : 0;
}

Outcome invalid(const char *description) { return Outcome::error(1, kRuntimeError, description); }

}  // namespace

Outcome validate_session(const agent_server_config *config, Session &session) {
    const nubrel_tokendata *tokendata = &session.data;
    if (tokendata->payload == nullptr || tokendata->payload_length == 0) {
        log_error(config, "The nubrel does not contain a payload - invalidating session...");
        return invalid("The session token is not valid.");
    }
    if (tokendata->cipher_suite != config->cipher_suite) {
        log_error(config, "Token's cipher suite %i does not match a configured suite ID %i - invalidating session...",
                  static_cast<int>(tokendata->cipher_suite), config->cipher_suite);
        return Outcome::error(1, "Configuration error.", "The session token is not valid.");
    }

    // Times read once, when the token was first decoded, are known already.
    const bool known = session.times_known;
    qv::PayloadTimes &times = session.times;
    if (!known && nubrel_get_payload_time(tokendata->payload, kNotBefore, &times.not_before) != 0)
        return invalid("Cannot get the session creation time - session is not valid.");
    const int64_t not_before = times.not_before;
    const int64_t now = now_seconds();
    const int64_t tolerance = config->notbefore_tolerance;
    if (not_before <= now) {
        log_basic(config, "Session creation time is valid: %li sec ago", low32(now - not_before));
    } else if (not_before > now + tolerance) {
        log_error(config,
                  "Session creation time exceeds current time with a configured not before tolerance period (%i sec) "
                  "for %li sec - invalidating session...",
                  config->notbefore_tolerance, low32(not_before - tolerance - now));
        return Outcome::error(0, kRuntimeError,
                              "Session is not yet valid. Session creation time exceeds current time by more than the "
                              "configured \"not-before tolerance\" period.");
    } else {
        log_detailed(config,
                     "Session creation time exceeds current time for %li sec, though fits the configured "
                     "\"not-before\" tolerance period of %i sec",
                     low32(not_before - now), config->notbefore_tolerance);
    }

    if (!known && nubrel_get_payload_time(tokendata->payload, kRenewUntil, &times.renew_until) != 0)
        return invalid("Cannot get the session expiration time - session is not valid.");
    const int64_t renew_until = times.renew_until;
    if (now >= renew_until) {
        log_basic(config, "Nubrel lifetime has exceeded %li sec ago, and cannot be renewed", low32(now - renew_until));
        return Outcome::login(1);
    }
    log_basic(config, "Nubrel overall session limit has not expired - time until expiration is %li sec",
              low32(renew_until - now));

    if (!known && nubrel_get_payload_time(tokendata->payload, kNotOnOrAfter, &times.not_on_or_after) != 0)
        return invalid("Cannot get the session inactivity limit - session is not valid.");
    session.times_known = true;
    const int64_t not_on_or_after = times.not_on_or_after;
    if (now >= not_on_or_after) {
        log_basic(config, "Nubrel inactivity limit had expired %li sec ago - invalidating session...",
                  low32(now - not_on_or_after));
        return Outcome::login(1);
    }
    log_basic(config, "Nubrel inactivity limit has not expired - time until expiration is %li sec",
              low32(not_on_or_after - now));
    log_basic(config, "Quorvel session is valid");
    return Outcome::go_on();
}

int set_update_flag(const agent_server_config *config, nubrel_tokendata *tokendata) {
    if (tokendata == nullptr) {
        log_error(config, "Cannot add the update flag into the payload to avoid repeat of operations, occurring once - "
                          "tokendata is null");
        return -1;
    }
    log_basic(config, "Setting the update flag into the payload to avoid repeat of operations, occurring once...");
    if (nubrel_set_payload_value(&tokendata->payload, kUpdateFlag, "TRUE") != 0) {
        log_error(config, "Cannot set the update flag into the payload to avoid repeat of operations, occurring "
                          "once...");
        return -1;
    }
    refresh_length(tokendata);
    return 0;
}

namespace {

// The renewal itself; what it issued (the token, or null when the renewal
// interval spared the cookie) comes back in `issued`.
Outcome renew_payload(const agent_server_config *config, request_rec *r, Session &session, int64_t now,
                      const char *&issued) {
    nubrel_tokendata *tokendata = &session.data;
    const int token_source = session.source;
    issued = nullptr;
    // What came in, to tell afterwards whether renewal changed anything.
    const std::string_view incoming(apr_pstrmemdup(r->pool, tokendata->payload, tokendata->payload_length),
                                    tokendata->payload_length);
    log_basic(config, "Updating the inactivity limit in the payload as per the configured token's lifetime...");
    const int64_t limit = now + config->token_lifetime;
    if (nubrel_set_payload_time(&tokendata->payload, kNotOnOrAfter, limit) != 0)
        return invalid("Cannot update the inactivity limit for the session.");
    refresh_length(tokendata);

    if (token_source == TOKEN_SOURCE_QUERY || token_source == TOKEN_SOURCE_POST) {
        if (token_source == TOKEN_SOURCE_QUERY)
            log_detailed(config,
                         "Shall not set the update flag into the payload, for identification whether the request for "
                         "resource is the first or subsequent one, due to impending redirection to the user browser "
                         "for cleanup of session token from the request URL's attributes");
        else
            log_detailed(config,
                         "Shall not set the update flag into the payload, for identification whether the request for "
                         "resource is the first or subsequent one, due to impending redirection to the user browser "
                         "for changing the POST method to GET");
        log_basic(config,
                  "Updating the \"not-before\" session creation time in the payload as per the configured "
                  "\"not-before\" tolerance interval (%li sec)...",
                  static_cast<long>(config->notbefore_tolerance));
        if (nubrel_set_payload_time(&tokendata->payload, kNotBefore, now_seconds() - config->notbefore_tolerance) != 0)
            return invalid("Cannot update the session creation time.");
        refresh_length(tokendata);
    } else if (nubrel_get_payload_true_or_false(tokendata->payload, kUpdateFlag, nullptr) == 0) {
        log_basic(config, "The subsequent request for resource within the session - the update flag is present");
        session.subsequent = 1;
        if (config->renewal_interval > 0 && limit - session.times.not_on_or_after < config->renewal_interval) {
            log_detailed(config,
                         "The inactivity limit would move by %li sec, less than the renewal interval of %i sec - the "
                         "session cookie is not issued again",
                         low32(limit - session.times.not_on_or_after), config->renewal_interval);
            return Outcome::go_on();
        }
    } else {
        log_basic(config, "The first request for resource within the session - the update flag is absent");
        set_update_flag(config, tokendata);
    }

    const std::string_view renewed(tokendata->payload, tokendata->payload_length);
    if (renewed == incoming && session.password == 0) {
        // Within the second the token was made in, renewal changes nothing.
        log_detailed(config, "The renewed payload is the one the token carries - the token is issued again");
        issued = session.token;
    } else if ((issued = cached_encoding(config, r, renewed)) == nullptr) {
        if (char *encoded = nubrel_encode(config->library_instance, tokendata, r,
                                          const_cast<agent_server_config *>(config), nullptr);
            encoded != nullptr) {
            keep_encoding(config, session, *tokendata, encoded);
            issued = apr_pstrdup(r->pool, encoded);
            nubrel_free(encoded);
        } else {
            log_warning(config, "Cannot encode the updated payload");
        }
    }
    return Outcome::go_on();
}

// Replaces the session's payload with a renewal made before.
bool take_renewal(Session &session, const qv::Renewal &renewal) {
    char *payload = static_cast<char *>(nubrel_malloc(renewal.payload.size() + 1));
    if (payload == nullptr) return false;
    std::memcpy(payload, renewal.payload.c_str(), renewal.payload.size() + 1);
    nubrel_free(session.data.payload);
    session.data.payload = payload;
    session.data.payload_length = static_cast<uint32_t>(renewal.payload.size());
    session.subsequent = renewal.subsequent;
    return true;
}

}  // namespace

Outcome renew_session(const agent_server_config *config, request_rec *r, Session &session) {
    const int64_t now = now_seconds();
    // A session's requests within one second renew it alike: the first one's
    // renewal serves the others (the cookie sessions of a page's assets).
    const bool repeatable = session.source == TOKEN_SOURCE_COOKIE && session.password == 0;
    const qv::Renewal *earlier = session.renewal.get();
    const char *issued = nullptr;
    if (repeatable && earlier != nullptr && earlier->config == config && earlier->second == now &&
        take_renewal(session, *earlier)) {
        log_detailed(config, "The session has been renewed within this second before - the renewal comes from the "
                             "token cache");
        session.renewed_with = session.renewal;
        if (!earlier->token.empty()) issued = apr_pstrmemdup(r->pool, earlier->token.data(), earlier->token.size());
    } else {
        if (const Outcome outcome = renew_payload(config, r, session, now, issued); !outcome.goes_on())
            return outcome;
        // Only a kept token holds a renewal for the requests after this one.
        if (repeatable && (session.from_cache || session.kept)) {
            auto made = std::make_shared<qv::Renewal>();
            made->config = config;
            made->second = now;
            made->payload.assign(session.data.payload, session.data.payload_length);
            if (issued != nullptr) made->token = issued;
            made->subsequent = session.subsequent;
            ExposedValues exposed = collect_exposed_values(session.data.payload, config);
            made->exposed = std::move(exposed.pairs);
            made->exposed_items = exposed.items;
            session.renewed_with = made;
            remember_renewal(config, session, std::move(made));
        }
    }
    if (issued != nullptr) {
        log_detailed(config, "Exposing the updated session token, with a new inactivity limit, into the cookie "
                             "header...");
        set_session_cookie(config, r, issued);
    }
    return Outcome::go_on();
}

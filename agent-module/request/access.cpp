// The agent's decision for every request. It runs as an access checker, so
// that no handler (a proxy, a cache, an application server's connector)
// serves a protected URL before the agent has decided, and it runs again for
// every sub-request and internal redirect.
#include "request/access.h"

#include "config/config_values.h"
#include "config/module_log.h"
#include "config/server_config.h"
#include "request/admission.h"
#include "request/cached_tokens.h"
#include "request/exposure.h"
#include "request/logout.h"
#include "request/revocation.h"
#include "request/session.h"
#include "request/token_discovery.h"
#include "request/token_search.h"
#include "response/cookies.h"
#include "response/outcome.h"
#include "response/pages.h"
#include "response/redirects.h"

#include <nubrel.h>

#include <string_view>
#include <strings.h>

namespace {

constexpr const char *kRuntimeError = "Runtime error.";
constexpr const char *kAttributeList = "qv_attribute_list";
// Payload keys that every session carries; without a prefix a client could send them as headers.
constexpr const char *kDefaultAttributeNames[] = {"authnContext", "not-before", "not-on-or-after", "renew-until"};

// Request notes of the decision: the session granted to the request, and the
// start page the handler is to send.
constexpr const char *kGrantedSessionNote = "qv-granted-session";
constexpr const char *kStartPageNote = "qv-start-page";

constexpr const char *kAuthType = kAgentAuthType;

// What a request granted by the agent carries, for the requests Apache
// derives from it: they get the same user and attributes without a second
// decoding, renewal or cookie.
struct GrantedSession {
    const request_rec *request;
    const char *user;
    const char *payload;  // what was exposed, or null when nothing was
    const char *attributes;  // the session's payload, for Require qv-attribute
};

struct StartPage {
    apr_table_t *session_headers;  // may be null
};

// Notes hold addresses in place of strings.
template <typename T>
const T *noted(const request_rec *r, const char *key) {
    return reinterpret_cast<const T *>(apr_table_get(r->notes, key));
}

template <typename T>
void note(request_rec *r, const char *key, const T &value) {
    auto *copy = static_cast<T *>(apr_palloc(r->pool, sizeof(T)));
    *copy = value;
    apr_table_setn(r->notes, key, reinterpret_cast<const char *>(copy));
}

// The grant of the request this one was derived from, nearest first.
const GrantedSession *earlier_grant(const request_rec *r) {
    for (const request_rec *from : {r->prev, r->main}) {
        if (from == nullptr) continue;
        if (const auto *grant = noted<GrantedSession>(from, kGrantedSessionNote)) return grant;
        if (const GrantedSession *grant = earlier_grant(from)) return grant;
    }
    return nullptr;
}

// Frees a string the library handed out.
struct LibraryString {
    char *text = nullptr;
    explicit LibraryString(char *t) : text(t) {}
    LibraryString(const LibraryString &) = delete;
    LibraryString &operator=(const LibraryString &) = delete;
    ~LibraryString() { nubrel_free(text); }
};

const char *status_name(int status) {
    switch (status) {
    case HTTP_MOVED_TEMPORARILY: return "HTTP_MOVED_TEMPORARILY";
    case HTTP_SEE_OTHER: return "HTTP_SEE_OTHER";
    case HTTP_INTERNAL_SERVER_ERROR: return "HTTP_INTERNAL_SERVER_ERROR";
    case DONE: return "DONE";
    case DECLINED: return "DECLINED";
    default: return nullptr;
    }
}

struct RequestKind {
    int is_logout = 0;
    const char *resume = nullptr;
    int is_start_page = 0;
};

// Everything one decision works on.
struct Decision {
    request_rec *r;
    const agent_server_config *config;
    RequestKind kind;
    Session session;
    // The attribute headers for the start page (start-page requests only).
    apr_table_t *session_headers = nullptr;
};

// ---- the protected path, step by step ---------------------------------------

Outcome find_token(Decision &d) {
    d.session.token = find_session_token(d.r, d.config, &d.session.source);
    if (d.session.token != nullptr) return Outcome::go_on();
    log_basic(d.config, "Session token is not provided - shall redirect for login");
    return Outcome::login(0);
}

// The suite is in the token's first characters: a token of another suite
// (the unkeyed null suite above all, which anyone can make) is refused before
// anything is inflated or digested, and names no user.
Outcome refuse_other_cipher_suite(Decision &d) {
    const auto suite = qv::declared_cipher_suite(d.session.token);
    if (suite && *suite == d.config->cipher_suite) return Outcome::go_on();
    log_error(d.config, "Token's cipher suite %i does not match a configured suite ID %i - invalidating session...",
              suite.value_or(-1), d.config->cipher_suite);
    log_detailed(d.config, "The token has been refused without decoding it");
    return Outcome::error(1, "Configuration error.", "The session token is not valid.");
}

// While the federation server rolls its password over, the tokens it issued
// under the previous one stay good: one more decoding, never more, for a
// token the current password cannot decode. Renewal encodes under the
// current password.
bool decode_under_previous_password(Decision &d) {
    if (d.config->previous_library_instance == nullptr) return false;
    nubrel_free_tokendata(&d.session.data);
    if (nubrel_decode(d.config->previous_library_instance, d.session.token, &d.session.data, d.r,
                      const_cast<agent_server_config *>(d.config), nullptr) != 0)
        return false;
    log_basic(d.config, "A token of the previous password has been accepted - the renewed token is encoded under the "
                        "current password");
    d.session.password = 1;
    return true;
}

// A token decoded before in this process is taken from the token cache;
// the checks that follow (times, and the rest) run on every request alike.
Outcome decode_token(Decision &d) {
    if (take_cached_decoding(d.config, d.r, d.session)) return Outcome::go_on();
    const int decoded = nubrel_decode(d.config->library_instance, d.session.token, &d.session.data, d.r,
                                      const_cast<agent_server_config *>(d.config), nullptr);
    // -2: the token is not one of the current password's.
    if (decoded == 0 || (decoded == -2 && decode_under_previous_password(d))) return Outcome::go_on();
    log_error(d.config, "Cannot decode the nubrel - invalidating session...");
    return Outcome::error(1, kRuntimeError, "The session token is not valid.");
}

// The user is known before validation, so the access log names it also for
// expired sessions; it comes only from a token that decoded under the
// configured suite.
Outcome identify_user(Decision &d) {
    Session &session = d.session;
    if (!session.subject_known) {
        if (char *subject = nubrel_get_payload_value(session.data.payload, "subject"); subject != nullptr) {
            session.subject = apr_pstrdup(d.r->pool, subject);
            nubrel_free(subject);
        }
        session.subject_known = true;
    }
    if (session.subject != nullptr) {
        log_basic(d.config, "Exposing the remote user name for possible logging in access_log: %s", session.subject);
        d.r->user = const_cast<char *>(session.subject);
    } else {
        log_warning(d.config, "User name is not supplied in the session attributes");
    }
    return Outcome::go_on();
}

// Removes request headers named like the session's attributes. Only needed
// without a prefix: with one, every prefixed header the client sent is gone
// since the request was read.
Outcome clear_spoofed_headers(Decision &d) {
    const agent_server_config *config = d.config;
    if (config->attribute_prefix != nullptr && config->attribute_prefix[0] != '\0') {
        log_detailed(config, "AuthN prefix is configured for the HTTP headers cleanup - no need to use the session "
                             "attribute \"qv_attribute_list\" instead");
        return Outcome::go_on();
    }
    log_detailed(config, "AuthN prefix is not configured for the HTTP headers cleanup - need to use the session "
                         "attribute \"qv_attribute_list\" instead");
    const LibraryString list(nubrel_get_payload_value(d.session.data.payload, kAttributeList));
    if (list.text == nullptr) {
        log_error(config, "The session attribute \"%s\" is not provided as an alternative to the non-configured authN "
                          "prefix",
                  kAttributeList);
        return Outcome::error(1, "Configuration error.",
                              "AuthnPrefix is not set, and session attribute qv_attribute_list is not set in the "
                              "token. Session is not valid.");
    }
    log_basic(config,
              "Cleaning out the default application variables from HTTP headers to deny spoof attacks: %s, %s, %s, %s",
              kDefaultAttributeNames[0], kDefaultAttributeNames[1], kDefaultAttributeNames[2],
              kDefaultAttributeNames[3]);
    for (const char *name : kDefaultAttributeNames)
        remove_headers(config, d.r->headers_in, name, remove_named_header);

    log_basic(config, "Cleaning out the expected application variables from HTTP headers to deny spoof attacks: %s",
              list.text);
    bool names_subject = false;
    for (const std::string_view item : qv::split_comma_list(list.text)) {
        const char *name = apr_pstrmemdup(d.r->pool, item.data(), item.size());
        remove_headers(config, d.r->headers_in, name, remove_named_header);
        if (item.size() == 7 && strncasecmp(item.data(), "subject", 7) == 0) names_subject = true;
    }
    if (!names_subject) log_warning(config, "The session attribute \"%s\" does not contain \"subject\"", kAttributeList);
    return Outcome::go_on();
}

// A token decoded now is kept once its times are read, whatever they say.
Outcome check_session_times(Decision &d) {
    const Outcome outcome = validate_session(d.config, d.session);
    if (!d.session.from_cache) d.session.kept = keep_decoding(d.config, d.session);
    return outcome;
}

// On a logout URL the session ends here (validated first, so an expired one
// goes to the login page).
Outcome end_session_on_logout(Decision &d) {
    if (!d.kind.is_logout) return Outcome::go_on();
    log_basic(d.config, "The session logout has been requested");
    record_sign_out(d.config, d.r, d.session);
    return handle_logout(d.config, d.r, d.session, d.kind.resume);
}

// After the logout URLs, so that a single-logout round trip completes with
// the session it has already signed out.
Outcome refuse_signed_out(Decision &d) { return refuse_signed_out_session(d.config, d.r, d.session); }

// A sub-request's headers never reach the browser: nothing to renew.
Outcome renew(Decision &d) {
    if (d.r->main != nullptr) {
        log_detailed(d.config, "The session is not renewed for a sub-request");
        return Outcome::go_on();
    }
    return renew_session(d.config, d.r, d.session);
}

// A token that came in the address or in a posted form leaves the browser's
// address bar and history: the browser repeats the request with the cookie.
Outcome clean_up_address(Decision &d) {
    const agent_server_config *config = d.config;
    if (d.session.source == TOKEN_SOURCE_QUERY) {
        const char *url = build_url_without_token(config, d.r, 1, config->application_scheme,
                                                  config->application_host, config->application_port);
        if (url == nullptr) return Outcome::go_on();
        log_basic(config,
                  "Enforcing the update of the original request URL in the user browser to not contain the session "
                  "token, by redirection: %s",
                  url);
        return Outcome::redirect(HTTP_MOVED_TEMPORARILY, url);
    }
    if (d.session.source == TOKEN_SOURCE_POST) {
        log_basic(config, "Enforcing redirection of the POST request, containing the session token, with change of "
                          "POST method to GET...");
        const char *url = build_url_without_token(config, d.r, 1, config->application_scheme,
                                                  config->application_host, config->application_port);
        if (url == nullptr) {
            log_warning(config, "Cannot enforce redirection of the POST request, containing the session token - out "
                                "of APR request pool");
            return Outcome::error(1, kRuntimeError,
                                  "Cannot enforce redirection of the POST request, containing the session token - "
                                  "out of APR request pool.");
        }
        log_debug(config, "Redirecting request to the target URL:");
        log_debug_text(config, url);
        return Outcome::redirect(HTTP_SEE_OTHER, url);
    }
    return Outcome::go_on();
}

apr_table_t *start_page_table(Decision &d) {
    if (d.kind.is_start_page && d.session_headers == nullptr) d.session_headers = apr_table_make(d.r->pool, 10);
    return d.session_headers;
}

Outcome expose(Decision &d) {
    const agent_server_config *config = d.config;
    if (config->send_attributes_once == 0)
        log_detailed(config, "Exposing session information is enabled for all requests");
    else if (d.session.subsequent == 0)
        log_detailed(config,
                     "Exposing session information is enabled for the first request and this is the first request");
    else
        log_detailed(config, "Exposing session information is enabled for the first request and this is the "
                             "subsequent request");

    const char *exposed = nullptr;
    if (config->send_attributes_once == 0 || d.session.subsequent == 0) {
        exposed = apr_pstrdup(d.r->pool, d.session.data.payload);
        // No request this one derives from was granted (it would have been
        // granted again instead): nothing of the session is in the tables, and
        // with a prefix no client header of these names is left either.
        const bool prefixed = config->attribute_prefix != nullptr && config->attribute_prefix[0] != '\0';
        const Exposure how = prefixed ? Exposure::first : Exposure::replacing;
        // Requests of the session within the second expose what the first one collected.
        if (const qv::Renewal *renewal = d.session.renewed_with.get(); renewal != nullptr)
            expose_values(renewal->exposed, renewal->exposed_items, d.r, config, start_page_table(d), how);
        else
            expose_session_attributes(exposed, d.r, config, start_page_table(d), how);
    }
    // The Require rules read the attributes even when nothing is exposed.
    const char *attributes = exposed != nullptr ? exposed : apr_pstrdup(d.r->pool, d.session.data.payload);
    note(d.r, kGrantedSessionNote, GrantedSession{d.r, d.r->user, exposed, attributes});
    return Outcome::grant();
}

using Step = Outcome (*)(Decision &);

constexpr Step kProtectedPath[] = {
    find_token,     refuse_other_cipher_suite, decode_token, identify_user,    clear_spoofed_headers,
    check_session_times, end_session_on_logout, refuse_signed_out, renew,        clean_up_address, expose,
};

// ---- completion ------------------------------------------------------------

// The start page's rows of a header table (none for a null or empty one);
// false after logging when they cannot be built.
bool header_rows(request_rec *r, const agent_server_config *config, apr_table_t *headers, char **rows) {
    if (headers == nullptr || apr_is_empty_table(headers)) return true;
    header_row_context context{config, r, rows};
    return apr_table_do(append_header_row, &context, headers, nullptr) != 0;
}

int complete(Decision &d) {
    if (d.kind.is_start_page) {
        log_basic(d.config, "The start page will be sent by the Apache Agent's handler...");
        note(d.r, kStartPageNote, StartPage{d.session_headers});
        return DECLINED;
    }
    log_basic(d.config, "Granting access to the requested resource...");
    log_basic(d.config, "Returning DECLINED to let Apache take its default actions for the modified request...");
    return DECLINED;
}

int finish(Decision &d, const Outcome &outcome) {
    return outcome.kind == Outcome::Kind::grant ? complete(d) : answer(d.r, d.config, outcome);
}

int decide_protected(Decision &d) {
    for (const Step step : kProtectedPath)
        if (const Outcome outcome = step(d); !outcome.goes_on()) return finish(d, outcome);
    return complete(d);
}

// A request derived from one the agent granted (an internal redirect, a
// sub-request) gets that session's user and attributes again.
int grant_again(Decision &d, const GrantedSession &grant) {
    log_basic(d.config, "The session has been granted to the request that this one derives from - exposing it again "
                        "without renewal...");
    d.r->user = const_cast<char *>(grant.user);
    if (grant.payload != nullptr) expose_session_attributes(grant.payload, d.r, d.config, start_page_table(d));
    note(d.r, kGrantedSessionNote, GrantedSession{d.r, grant.user, grant.payload, grant.attributes});
    return complete(d);
}

int decide_unprotected(Decision &d) {
    if (!d.kind.is_logout) return complete(d);
    d.session.token = find_session_token(d.r, d.config, &d.session.source);
    if (d.session.token == nullptr) {
        log_basic(d.config, "Session token is not provided - no need to cancel session...");
        return complete(d);
    }
    record_sign_out(d.config, d.r, d.session);
    return finish(d, handle_logout(d.config, d.r, d.session, d.kind.resume));
}

int decide(request_rec *r, const agent_server_config *config) {
    if (is_agent_disabled_for_request(r)) {
        log_detailed(config, "Omitting the Apache Agent's request handler...");
        return DECLINED;
    }
    if (r->uri == nullptr) {
        log_error(config, "Cannot handle the request - the request URI is null");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    if (r->method == nullptr) {
        log_error(config, "Cannot handle the request - the request method is null");
        return HTTP_METHOD_NOT_ALLOWED;
    }
    if (is_ssl_on_plain_port(r)) {
        log_warning(config, "Cannot handle the request - the remote side is looking for SSL on a non-SSL enabled port");
        return HTTP_METHOD_NOT_ALLOWED;
    }
    log_inbound_request(config, r);

    Decision d{r, config, {}, {}, nullptr};
    d.kind.is_logout = is_logout_url(r, config);
    if (d.kind.is_logout) {
        log_basic(config, "The request URL is a logout URL");
        log_basic(config, "Checking whether the session logout implies the session resume...");
        d.kind.resume = find_query_parameter(r, config, "resume");
        log_basic(config, d.kind.resume != nullptr ? "The logout implies a session resume"
                                                   : "The logout does not imply a session resume");
    }
    log_basic(config, "Checking whether the request implies to fill out and return the start page...");
    d.kind.is_start_page = is_start_page_request(config, r);
    log_basic(config, d.kind.is_start_page ? "The request implies to fill out and return the start page"
                                           : "The request does not imply to fill out and return the start page");

    if (!is_protected_uri(config, r) && !is_quorvel_auth_type(r)) return decide_unprotected(d);
    mark_response_private(r);
    if (!d.kind.is_logout)
        if (const GrantedSession *grant = earlier_grant(r); grant != nullptr) return grant_again(d, *grant);
    return decide_protected(d);
}

}  // namespace

int agent_check_access(request_rec *r) {
    if (r == nullptr || r->server == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    const agent_server_config *config = server_config_of(r->server);
    if (config == nullptr || !config->active) return DECLINED;
    int status = HTTP_INTERNAL_SERVER_ERROR;
    try {
        status = decide(r, config);
    } catch (...) {
        // Nothing may leave towards Apache as an exception; refuse rather than serve.
        log_error(config, "Cannot handle the request - out of memory");
    }
    if (const char *name = status_name(status); name != nullptr)
        log_basic(config, "Returning HTTP code %i (%s)...", status, name);
    else
        log_basic(config, "Returning HTTP code %i...", status);
    return status;
}

bool is_quorvel_auth_type(request_rec *r) {
    const char *type = ap_auth_type(r);
    return type != nullptr && strcasecmp(type, kAuthType) == 0;
}

const char *granted_attributes(const request_rec *r) {
    const auto *grant = noted<GrantedSession>(r, kGrantedSessionNote);
    return grant != nullptr ? grant->attributes : nullptr;
}

int agent_check_user(request_rec *r) {
    const agent_server_config *config = server_config_of(r->server);
    if (config == nullptr || !config->active || r->user == nullptr) return DECLINED;
    if (noted<GrantedSession>(r, kGrantedSessionNote) == nullptr) return DECLINED;
    if (const char *type = ap_auth_type(r); type != nullptr && strcasecmp(type, kAuthType) != 0) return DECLINED;
    log_detailed(config, "The user \"%s\" has been authenticated by the session", r->user);
    return OK;
}

int agent_handler(request_rec *r) {
    const agent_server_config *config = server_config_of(r->server);
    if (config == nullptr || !config->active) return DECLINED;
    // DirectoryIndex merges a granted look-up into the request it answers,
    // notes and all, but not the user or the request headers.
    if (const auto *grant = noted<GrantedSession>(r, kGrantedSessionNote);
        grant != nullptr && grant->request != r && r->user == nullptr) {
        r->user = const_cast<char *>(grant->user);
        if (grant->payload != nullptr) expose_session_attributes(grant->payload, r, config, nullptr);
    }
    const auto *start_page = noted<StartPage>(r, kStartPageNote);
    if (start_page == nullptr) return DECLINED;
    char *request_rows = nullptr;
    if (!header_rows(r, config, r->headers_in, &request_rows))
        return respond_with_error(r, config, 0, kRuntimeError,
                                  "Cannot build the buffer with the request headers for insertion into the start page "
                                  "template.");
    char *session_rows = nullptr;
    if (!header_rows(r, config, start_page->session_headers, &session_rows))
        return respond_with_error(r, config, 0, kRuntimeError,
                                  "Cannot build the buffer with the session-specific request headers for insertion "
                                  "into the start page template.");
    const char *page = render_start_page(r, config, request_rows, session_rows);
    if (page == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    // The page shows the request's cookies.
    apr_table_setn(r->err_headers_out, "Cache-Control", "no-store");
    return send_html_response(r, config, HTTP_OK, page);
}

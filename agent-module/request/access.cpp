// The request handler: the agent's decision for every request.
#include "request/access.h"

#include "request/admission.h"
#include "config/config_values.h"
#include "request/exposure.h"
#include "hooks.h"
#include "request/logout.h"
#include "config/module_log.h"
#include "response/pages.h"
#include "response/redirects.h"
#include "config/server_config.h"
#include "request/session.h"
#include "request/token_discovery.h"

#include <nubrel.h>

#include <string_view>
#include <strings.h>

namespace {

constexpr const char *kRuntimeError = "Runtime error.";
constexpr const char *kAttributeList = "qv_attribute_list";
// Payload keys that every session carries; without a prefix a client could send them as headers.
constexpr const char *kDefaultAttributeNames[] = {"authnContext", "not-before", "not-on-or-after", "renew-until"};

// Releases the decoded token on every way out of the handler.
struct TokenDataGuard {
    nubrel_tokendata data{};
    TokenDataGuard() = default;
    TokenDataGuard(const TokenDataGuard &) = delete;
    TokenDataGuard &operator=(const TokenDataGuard &) = delete;
    ~TokenDataGuard() { release(); }
    void release() { nubrel_free_tokendata(&data); }
};

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

// Removes request headers named like the session's attributes. Only needed
// without a prefix: with one, the fixups hook has removed every prefixed header.
// False when there is no prefix and the token names no attributes.
bool remove_spoofed_attribute_headers(request_rec *r, const agent_server_config *config, const char *payload) {
    if (config->attribute_prefix != nullptr && config->attribute_prefix[0] != '\0') {
        log_detailed(config, "AuthN prefix is configured for the HTTP headers cleanup - no need to use the session "
                             "attribute \"qv_attribute_list\" instead");
        return true;
    }
    log_detailed(config, "AuthN prefix is not configured for the HTTP headers cleanup - need to use the session "
                         "attribute \"qv_attribute_list\" instead");
    const LibraryString list(nubrel_get_payload_value(payload, kAttributeList));
    if (list.text == nullptr) {
        log_error(config, "The session attribute \"%s\" is not provided as an alternative to the non-configured authN "
                          "prefix",
                  kAttributeList);
        return false;
    }
    log_basic(config,
              "Cleaning out the default application variables from HTTP headers to deny spoof attacks: %s, %s, %s, %s",
              kDefaultAttributeNames[0], kDefaultAttributeNames[1], kDefaultAttributeNames[2],
              kDefaultAttributeNames[3]);
    for (const char *name : kDefaultAttributeNames) remove_headers(config, r->headers_in, name, remove_named_header);

    log_basic(config, "Cleaning out the expected application variables from HTTP headers to deny spoof attacks: %s",
              list.text);
    bool names_subject = false;
    for (const std::string_view item : qv::split_comma_list(list.text)) {
        const char *name = apr_pstrmemdup(r->pool, item.data(), item.size());
        remove_headers(config, r->headers_in, name, remove_named_header);
        if (item.size() == 7 && strncasecmp(item.data(), "subject", 7) == 0) names_subject = true;
    }
    if (!names_subject) log_warning(config, "The session attribute \"%s\" does not contain \"subject\"", kAttributeList);
    return true;
}

// The page that lists the request headers and the session's attribute headers.
int answer_start_page(request_rec *r, const agent_server_config *config, apr_table_t *session_headers) {
    char *request_rows = nullptr;
    if (r->headers_in != nullptr && !apr_is_empty_table(r->headers_in)) {
        header_row_context context{config, r, &request_rows};
        if (apr_table_do(append_header_row, &context, r->headers_in, nullptr) == 0)
            return respond_with_error(r, config, 0, kRuntimeError,
                                      "Cannot build the buffer with the request headers for insertion into the start "
                                      "page template.");
    }
    char *session_rows = nullptr;
    if (session_headers != nullptr && !apr_is_empty_table(session_headers)) {
        header_row_context context{config, r, &session_rows};
        if (apr_table_do(append_header_row, &context, session_headers, nullptr) == 0)
            return respond_with_error(r, config, 0, kRuntimeError,
                                      "Cannot build the buffer with the session-specific request headers for insertion "
                                      "into the start page template.");
    }
    const char *page = render_start_page(r, config, request_rows, session_rows);
    if (page == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    return send_html_response(r, config, HTTP_OK, page);
}

int complete(request_rec *r, const agent_server_config *config, const RequestKind &kind,
             apr_table_t *session_headers) {
    if (kind.is_start_page) return answer_start_page(r, config, session_headers);
    log_basic(config, "Granting access to the requested resource...");
    log_basic(config, "Returning DECLINED to let Apache take its default actions for the modified request...");
    return DECLINED;
}

int handle_unprotected(request_rec *r, const agent_server_config *config, const RequestKind &kind) {
    if (!kind.is_logout) return complete(r, config, kind, nullptr);
    int source = TOKEN_SOURCE_NONE;
    const char *token = find_session_token(r, config, &source);
    if (token == nullptr) {
        log_basic(config, "Session token is not provided - no need to cancel session...");
        return complete(r, config, kind, nullptr);
    }
    if (handle_logout(token, config, r, kind.resume, source) == HTTP_MOVED_TEMPORARILY) return HTTP_MOVED_TEMPORARILY;
    return complete(r, config, kind, nullptr);
}

int handle_protected(request_rec *r, const agent_server_config *config, const RequestKind &kind) {
    int source = TOKEN_SOURCE_NONE;
    const char *token = find_session_token(r, config, &source);
    if (token == nullptr) {
        log_basic(config, "Session token is not provided - shall redirect for login");
        return redirect_to_login_page(r, config, 0);
    }

    TokenDataGuard tokendata;
    if (nubrel_decode(config->library_instance, token, &tokendata.data, r, const_cast<agent_server_config *>(config),
                      nullptr) != 0) {
        log_error(config, "Cannot decode the nubrel - invalidating session...");
        tokendata.release();
        return respond_with_error(r, config, 1, kRuntimeError, "The session token is not valid.");
    }

    // The user is known before validation, so the access log names it also for expired sessions.
    if (const LibraryString subject(nubrel_get_payload_value(tokendata.data.payload, "subject"));
        subject.text != nullptr) {
        log_basic(config, "Exposing the remote user name for possible logging in access_log: %s", subject.text);
        r->user = apr_pstrdup(r->pool, subject.text);
    } else {
        log_warning(config, "User name is not supplied in the session attributes");
    }

    if (!remove_spoofed_attribute_headers(r, config, tokendata.data.payload)) {
        tokendata.release();
        return respond_with_error(r, config, 1, "Configuration error.",
                                  "AuthnPrefix is not set, and session attribute qv_attribute_list is not set in the "
                                  "token. Session is not valid.");
    }

    if (const int status = validate_session(config, r, &tokendata.data); status != HTTP_OK) {
        tokendata.release();
        return status;
    }

    if (kind.is_logout) {
        log_basic(config, "The session logout has been requested");
        tokendata.release();
        if (handle_logout(token, config, r, kind.resume, source) == HTTP_MOVED_TEMPORARILY)
            return HTTP_MOVED_TEMPORARILY;
        return complete(r, config, kind, nullptr);
    }

    const renewal_result renewal = renew_session(config, r, &tokendata.data, source);
    if (renewal.finished) return renewal.status;

    if (source == TOKEN_SOURCE_QUERY) {
        const char *url = build_url_without_token(config, r, 1, config->application_scheme, config->application_host,
                                                  config->application_port);
        if (url != nullptr) {
            log_basic(config,
                      "Enforcing the update of the original request URL in the user browser to not contain the "
                      "session token, by redirection: %s",
                      url);
            apr_table_setn(r->headers_out, "Location", url);
            tokendata.release();
            return HTTP_MOVED_TEMPORARILY;
        }
    } else if (source == TOKEN_SOURCE_POST) {
        log_basic(config, "Enforcing redirection of the POST request, containing the session token, with change of "
                          "POST method to GET...");
        const char *url = build_url_without_token(config, r, 1, config->application_scheme, config->application_host,
                                                  config->application_port);
        if (url == nullptr) {
            log_warning(config, "Cannot enforce redirection of the POST request, containing the session token - out "
                                "of APR request pool");
            tokendata.release();
            return respond_with_error(r, config, 1, kRuntimeError,
                                      "Cannot enforce redirection of the POST request, containing the session token - "
                                      "out of APR request pool.");
        }
        log_debug(config, "Redirecting request to the target URL:");
        log_debug_text(config, url);
        apr_table_setn(r->headers_out, "Location", url);
        tokendata.release();
        return HTTP_SEE_OTHER;
    }

    if (config->send_attributes_once == 0)
        log_detailed(config, "Exposing session information is enabled for all requests");
    else if (renewal.subsequent == 0)
        log_detailed(config,
                     "Exposing session information is enabled for the first request and this is the first request");
    else
        log_detailed(config, "Exposing session information is enabled for the first request and this is the "
                             "subsequent request");

    apr_table_t *session_headers = nullptr;
    if (config->send_attributes_once == 0 || renewal.subsequent == 0) {
        if (kind.is_start_page) {
            session_headers = apr_table_make(r->pool, 10);
            if (session_headers == nullptr) {
                tokendata.release();
                return respond_with_error(r, config, 0, kRuntimeError,
                                          "Cannot allocate table to collect the session attributes which will be "
                                          "added to the request headers - out of APR request pool.");
            }
        }
        expose_session_attributes(tokendata.data.payload, r, config, session_headers);
    }
    tokendata.release();
    return complete(r, config, kind, session_headers);
}

int decide(request_rec *r, const agent_server_config *config) {
    if (apr_table_get(r->notes, kDisableModuleHandlersNote) != nullptr) {
        log_detailed(config, "Omitting the Apache Agent's request handler...");
        log_detailed(config,
                     "Unsetting a flag indicating that all Apache Agent's handlers should be disabled for this "
                     "request...");
        apr_table_unset(r->notes, kDisableModuleHandlersNote);
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

    RequestKind kind;
    kind.is_logout = is_logout_url(r, config);
    if (kind.is_logout) {
        log_basic(config, "The request URL is a logout URL");
        log_basic(config, "Checking whether the session logout implies the session resume...");
        kind.resume = find_query_parameter(r, config, "resume");
        log_basic(config, kind.resume != nullptr ? "The logout implies a session resume"
                                                 : "The logout does not imply a session resume");
    }
    log_basic(config, "Checking whether the request implies to fill out and return the start page...");
    kind.is_start_page = is_start_page_request(config, r);
    log_basic(config, kind.is_start_page ? "The request implies to fill out and return the start page"
                                         : "The request does not imply to fill out and return the start page");

    if (!is_protected_uri(config, r)) return handle_unprotected(r, config, kind);
    return handle_protected(r, config, kind);
}

}  // namespace

int is_logout_url(request_rec *r, const agent_server_config *config) {
    if (r == nullptr || config == nullptr || config->compiled_logout_urls == nullptr ||
        config->compiled_logout_urls->nelts <= 0)
        return 0;
    const char *uri = request_match_text(r);
    if (uri == nullptr) return 0;
    const auto *patterns = reinterpret_cast<ap_regex_t *const *>(config->compiled_logout_urls->elts);
    for (int i = 0; i < config->compiled_logout_urls->nelts; ++i) {
        if (patterns[i] == nullptr) {
            log_warning(config, "Array of compiled logout URLs has a NULL entry");
            continue;
        }
        if (ap_regexec(patterns[i], uri, 0, nullptr, 0) == 0) return 1;
    }
    return 0;
}

int agent_handler(request_rec *r) {
    if (r == nullptr || r->server == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    const agent_server_config *config = server_config_of(r->server);
    if (config == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    const int status = decide(r, config);
    if (const char *name = status_name(status); name != nullptr)
        log_basic(config, "Returning HTTP code %i (%s)...", status, name);
    else
        log_basic(config, "Returning HTTP code %i...", status);
    return status;
}

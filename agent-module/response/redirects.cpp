#include "response/redirects.h"

#include "config/module_log.h"
#include "config/server_config.h"
#include "response/cookies.h"
#include "response/login_answer.h"
#include "response/outcome.h"
#include "response/pages.h"
#include "response/request_url.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

bool is_set(const char *text) { return text != nullptr && text[0] != '\0'; }

// The scheme the request arrived with ("http", or "https" under TLS).
// Apache 2.4's scheme hook stands for 2.0's ap_run_http_method here.
const char *request_scheme(request_rec *r) {
    const char *scheme = ap_run_http_scheme(r);
    return scheme != nullptr ? scheme : "";
}

// The host the client asked for, else the local address it reached.
const char *request_own_host(const request_rec *r) {
    if (is_set(r->hostname)) return r->hostname;
    if (r->connection != nullptr && is_set(r->connection->local_ip)) return r->connection->local_ip;
    return "";
}

unsigned local_port(const request_rec *r) {
    if (r->connection == nullptr || r->connection->local_addr == nullptr) return 0;
    return r->connection->local_addr->port;
}

char *pool_copy(request_rec *r, const std::string &text) { return apr_pstrmemdup(r->pool, text.data(), text.size()); }

}  // namespace

char *build_base_url(request_rec *r, const agent_server_config *config, int use_application_overrides,
                     const char *scheme_override, const char *host_override, int port_override) {
    if (r == nullptr) return nullptr;
    const char *scheme = nullptr;
    const char *host = nullptr;
    unsigned port = 0;
    if (use_application_overrides != 1) {
        log_basic(config, "Reconstructing the original request base URL...");
        scheme = request_scheme(r);
        host = request_own_host(r);
        port = local_port(r);
    } else {
        log_basic(config, "Reconstructing the request base URL...");
        const char *own_scheme = request_scheme(r);
        scheme = is_set(scheme_override) ? scheme_override : own_scheme;
        host = is_set(host_override) ? host_override : ap_get_server_name(r);
        if (host == nullptr) host = "";
        port = port_override > 0 ? static_cast<unsigned>(port_override) : ap_get_server_port(r);
        if (config != nullptr && config->verbose_level >= 3) {
            if (is_set(scheme_override) && is_set(own_scheme) && strcasecmp(own_scheme, scheme) != 0)
                log_detailed(config, " Substituting the original HTTP request scheme from \"%s\" to a configured \"%s\"...",
                             own_scheme, scheme);
            if (const char *own_host = request_own_host(r); strcasecmp(own_host, host) != 0)
                log_detailed(config, " Substituting the original HTTP request host from \"%s\" to a configured \"%s\"...",
                             own_host, host);
            if (const unsigned own_port = local_port(r); own_port != port)
                log_detailed(config, " Substituting the original HTTP request port from %i to a configured %i...",
                             static_cast<int>(own_port), static_cast<int>(port));
        }
    }
    if (qv::is_default_port(scheme, port))
        log_detailed(config, " Port %i is a default one for the target \"%s\" scheme, and therefore will be omitted in "
                             "the base URL",
                     static_cast<int>(port), scheme);
    char *url = pool_copy(r, qv::format_base_url(scheme, host, port));
    if (url == nullptr) log_error(config, "Cannot build the request URL with excluded relative path - out of APR request pool");
    return url;
}

char *build_request_url(request_rec *r, const agent_server_config *config, int use_application_overrides,
                        const char *scheme_override, const char *host_override, int port_override) {
    if (r == nullptr) return nullptr;
    const char *uri = r->unparsed_uri != nullptr ? r->unparsed_uri : r->parsed_uri.path;
    const char *base =
        build_base_url(r, config, use_application_overrides, scheme_override, host_override, port_override);
    if (base == nullptr) return nullptr;
    return pool_copy(r, qv::append_request_uri(base, uri != nullptr ? uri : ""));
}

char *build_url_without_token(const agent_server_config *config, request_rec *r, int use_application_overrides,
                              const char *scheme_override, const char *host_override, int port_override) {
    char *url = build_request_url(r, config, use_application_overrides, scheme_override, host_override, port_override);
    if (url == nullptr) {
        log_error(config, "Cannot check presence of session token in the query parameters of the request URL - the "
                          "built URL is null");
        return nullptr;
    }
    // Start-up requires a cookie name; without one there is nothing to remove.
    if (config == nullptr || !is_set(config->cookie_name) || std::strstr(url, config->cookie_name) == nullptr)
        return url;
    std::string text(url);
    const size_t removed = qv::remove_token_parameter(text, config->cookie_name);
    if (removed == 0) return url;
    for (size_t i = 0; i < removed; ++i) log_detailed(config, "Removing query parameter with session token from the URL...");
    // The URL only got shorter: it fits where it was.
    std::memcpy(url, text.c_str(), text.size() + 1);
    return url;
}

const char *login_page_location(request_rec *r, const agent_server_config *config) {
    const char *location = config->login_page_url;
    if (config->login_url_has_target_resource != 0) {
        log_basic(config, "The configured Quorvel login page URL contains a predefined \"TargetResource\" query "
                          "parameter - no need to add it dynamically");
        return location;
    }
    log_basic(config, "The configured Quorvel login page URL does not contain a \"TargetResource\" query parameter "
                      "- it will be added dynamically using a request URL for automatic redirection to the "
                      "requested resource after successful SSO");
    const char *request_url = build_url_without_token(config, r, 1, config->application_scheme,
                                                      config->application_host, config->application_port);
    if (request_url == nullptr) {
        log_warning(config, "Cannot add query parameter to the Quorvel login page URL to identify the requested "
                            "resource - out of APR request pool");
        return location;
    }
    log_detailed(config, "Adding query parameter to the Quorvel login page URL to identify the requested "
                         "resource...");
    log_detailed(config, "Converting the request URL into a URL safe format...");
    char *target = pool_copy(r, qv::login_url_with_target(config->login_page_url, request_url));
    if (target == nullptr) {
        log_error(config, "Cannot encode the request URL into a URL safe format");
        return nullptr;
    }
    log_basic(config, "Redirecting request to the Quorvel login page...");
    log_debug(config, "In case of successful login the user will be redirected to:");
    log_debug_text(config, request_url);
    return target;
}

namespace {

std::optional<std::string_view> request_header(const request_rec *r, const char *name) {
    if (const char *value = apr_table_get(r->headers_in, name); value != nullptr) return value;
    return std::nullopt;
}

// Whether QuorvelUnauthenticatedAction makes this request's answer a 401.
bool answers_with_401(request_rec *r, const agent_server_config *config) {
    if (config->unauthenticated_action == UNAUTHENTICATED_401) return true;
    if (config->unauthenticated_action != UNAUTHENTICATED_AUTO) return false;
    // The answer depends on these headers: a cache must not hand one to the other.
    apr_table_mergen(r->err_headers_out, "Vary", qv::kFetchSignalHeaders.data());
    return qv::is_script_request({request_header(r, "Sec-Fetch-Mode"), request_header(r, "Sec-Fetch-Dest"),
                                  request_header(r, "X-Requested-With"), request_header(r, "Accept")});
}

}  // namespace

int refuse_unauthenticated(request_rec *r, const agent_server_config *config, const char *location) {
    log_basic(config, "Answering HTTP_UNAUTHORIZED with the login page URL instead of redirecting - the request is "
                      "not a browser navigation");
    const char *realm = ap_auth_name(r);
    if (realm == nullptr) realm = ap_get_server_name(r);
    apr_table_setn(r->err_headers_out, "WWW-Authenticate",
                   pool_copy(r, qv::login_challenge(realm != nullptr ? realm : "", location)));
    return refuse_with_answer(r, config, HTTP_UNAUTHORIZED, pool_copy(r, qv::login_json(location)),
                              "application/json");
}

int redirect_to_login_page(request_rec *r, const agent_server_config *config, int erase_cookie) {
    if (r == nullptr || config == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    if (erase_cookie == 1) erase_session_cookie(r, config);

    if (!is_set(config->login_page_url)) {
        log_error(config, "The Quorvel login page URL is not configured - shall redirect request to the error page");
        if (is_set(config->error_page_url)) return redirect_to_error_page(r, config, 1);
        const char *page = render_error_page(r, config, "Configuration error.",
                                             "The Quorvel login page URL is not configured.");
        if (page == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
        erase_session_cookie(r, config);
        return refuse_with_page(r, config, HTTP_INTERNAL_SERVER_ERROR, page);
    }

    const char *location = login_page_location(r, config);
    if (location == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    if (answers_with_401(r, config)) return refuse_unauthenticated(r, config, location);
    apr_table_set(r->headers_out, "Location", location);
    log_basic(config, "Returning HTTP_MOVED_TEMPORARILY to force redirection to the location of login page...");
    return HTTP_MOVED_TEMPORARILY;
}

int is_error_page_request(request_rec *r, const agent_server_config *config) {
    if (r == nullptr || config == nullptr || !is_set(config->error_page_url)) return 0;
    const char *error_page = config->error_page_url;
    const size_t length = std::strlen(error_page);
    const auto starts_with_error_page = [&](const char *text) {
        return text != nullptr && std::strncmp(text, error_page, length) == 0;
    };
    // A path such as "/error.html" is recognised from the request's path alone.
    if (starts_with_error_page(r->parsed_uri.path)) return 1;
    if (starts_with_error_page(build_request_url(r, config, 0, nullptr, nullptr, -1))) return 1;
    if (config->application_scheme != nullptr || config->application_host != nullptr ||
        config->application_port != kDefaultApplicationPort) {
        const char *url = build_request_url(r, config, 1, config->application_scheme, config->application_host,
                                            config->application_port);
        if (starts_with_error_page(url)) return 1;
    }
    return 0;
}

int redirect_to_error_page(request_rec *r, const agent_server_config *config, int erase_cookie) {
    if (r == nullptr || config == nullptr) return HTTP_SERVICE_UNAVAILABLE;
    if (!is_set(config->error_page_url)) {
        log_error(config, "Cannot redirect request to the error page - error page URL is not configured");
        return HTTP_SERVICE_UNAVAILABLE;
    }
    log_basic(config, "Redirecting request to the error page: %s", config->error_page_url);
    log_detailed(config, "Ensuring that the request is not for the configured error page, to avoid recursive "
                         "redirection...");
    if (is_error_page_request(r, config) == 1) {
        log_warning(config, "Recursive redirection to the Quorvel error page - cannot service, returning HTTP code %u "
                            "(access to error page is protected while the session is not valid?)...",
                    static_cast<unsigned>(HTTP_SERVICE_UNAVAILABLE));
        return HTTP_SERVICE_UNAVAILABLE;
    }
    log_detailed(config, "The target error page URL: %s", config->error_page_url);
    // The URL lives in the configuration pool, longer than the request.
    apr_table_setn(r->headers_out, "Location", config->error_page_url);
    if (erase_cookie == 1) erase_session_cookie(r, config);
    return HTTP_MOVED_TEMPORARILY;
}

int respond_with_error(request_rec *r, const agent_server_config *config, int erase_cookie, const char *title,
                       const char *description) {
    if (r == nullptr || config == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    if (is_set(config->error_page_url)) return redirect_to_error_page(r, config, erase_cookie);
    const char *page = render_error_page(r, config, title, description);
    if (page == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    if (erase_cookie == 1) erase_session_cookie(r, config);
    return refuse_with_page(r, config, HTTP_INTERNAL_SERVER_ERROR, page);
}

int answer(request_rec *r, const agent_server_config *config, const Outcome &outcome) {
    switch (outcome.kind) {
    case Outcome::Kind::login: return redirect_to_login_page(r, config, outcome.erase_cookie);
    case Outcome::Kind::error:
        return respond_with_error(r, config, outcome.erase_cookie, outcome.title, outcome.description);
    case Outcome::Kind::redirect:
        apr_table_setn(r->headers_out, "Location", outcome.location);
        return outcome.status;
    case Outcome::Kind::status: return outcome.status;
    case Outcome::Kind::go_on:
    case Outcome::Kind::grant: break;
    }
    return HTTP_INTERNAL_SERVER_ERROR;
}

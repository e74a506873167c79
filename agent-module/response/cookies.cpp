#include "response/cookies.h"

#include "response/cookie_format.h"
#include "config/module_log.h"
#include "config/server_config.h"

namespace {

qv::CookieAttributes cookie_attributes(const agent_server_config *config) {
    qv::CookieAttributes cookie;
    cookie.name = config->cookie_name != nullptr ? config->cookie_name : "";
    if (config->cookie_path != nullptr) cookie.path = config->cookie_path;
    if (config->cookie_domain != nullptr) cookie.domain = config->cookie_domain;
    cookie.secure = config->cookie_is_secure != 0;
    cookie.http_only = config->cookie_http_only != 0;
    if (config->cookie_same_site == SAME_SITE_LAX) cookie.same_site = "Lax";
    if (config->cookie_same_site == SAME_SITE_NONE) cookie.same_site = "None";
    return cookie;
}

// Added, never set: one response may carry an erasing and a storing cookie.
int add_set_cookie(request_rec *r, const std::string &value) {
    char *copy = apr_pstrmemdup(r->pool, value.data(), value.size());
    if (copy == nullptr) return -1;
    apr_table_addn(r->err_headers_out, "Set-Cookie", copy);
    return 0;
}

// Request note of a response that mark_response_private marked.
constexpr const char *kPrivateResponseNote = "qv-private-response";

bool is_private_response(const request_rec *r) { return apr_table_get(r->notes, kPrivateResponseNote) != nullptr; }

// Sets Cache-Control, joined to "private" on a private response.
void set_cache_control(request_rec *r, const char *value) {
    if (is_private_response(r) && value == qv::kDefaultCacheControl.data()) {
        value = qv::kPrivateDefaultCacheControl.data();
    } else if (is_private_response(r)) {
        const std::string joined = qv::private_cache_control(value != nullptr ? value : "");
        value = apr_pstrmemdup(r->pool, joined.data(), joined.size());
    }
    if (value != nullptr) apr_table_setn(r->err_headers_out, "Cache-Control", value);
}

const char *cookie_name_of(const agent_server_config *config) {
    return config->cookie_name != nullptr ? config->cookie_name : "";
}

}  // namespace

int set_session_cookie(const agent_server_config *config, request_rec *r, const char *token) {
    if (config == nullptr || r == nullptr) return -1;
    if (token == nullptr) {
        log_detailed(config, "Cannot set the session cookie - token is null");
        return -1;
    }
    log_basic(config, "Setting \"%s\" cookie...", cookie_name_of(config));
    if (add_set_cookie(r, qv::session_cookie_value(cookie_attributes(config), token)) != 0) {
        log_detailed(config, "Cannot set the session cookie - out of APR request pool");
        return -1;
    }
    add_cache_control(config, r);
    return 0;
}

int erase_session_cookie(request_rec *r, const agent_server_config *config) {
    if (config == nullptr || r == nullptr) return -1;
    log_basic(config, "Erasing \"%s\" cookie...", cookie_name_of(config));
    if (add_set_cookie(r, qv::erasing_cookie_value(cookie_attributes(config))) != 0) {
        log_detailed(config, "Cannot erase the cookie - out of APR request pool");
        return -1;
    }
    add_cache_control(config, r);
    return 0;
}

int add_cache_control(const agent_server_config *config, request_rec *r) {
    if (r == nullptr) return 0;
    const char *value = qv::kDefaultCacheControl.data();
    if (config != nullptr) {
        if (config->browser_cache_control == 0) {
            log_detailed(config, "Configuring of the caching mechanisms is disabled");
            set_cache_control(r, nullptr);
            return 0;
        }
        log_detailed(config, "Configuring of the caching mechanisms for the user browser is enabled");
        if (config->cache_control_value != nullptr) {
            if (config->cache_control_value[0] == '\0') {
                log_detailed(config, "A custom 'Cache-Control' value is configured empty, therefore that output "
                                     "header will be not added by the Apache Agent");
                set_cache_control(r, nullptr);
                return 0;
            }
            log_detailed(config, "A custom 'Cache-Control' value is configured");
            value = config->cache_control_value;
        }
        log_detailed(config, " Exposing the outbound HTTP request header 'Cache-Control: %s'", value);
    }
    // The value is configuration or a constant: no copy needed.
    set_cache_control(r, value);
    return 0;
}

void mark_response_private(request_rec *r) {
    apr_table_setn(r->notes, kPrivateResponseNote, "1");
    apr_table_setn(r->err_headers_out, "Cache-Control", qv::kPrivateCacheControl.data());
}

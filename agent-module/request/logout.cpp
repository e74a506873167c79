// Ending a session on a logout URL: a redirect to the federation server's
// single-logout URL, or an internal cancellation that erases the session
// cookie and may send the browser on to the federation server's base URL.
#include "request/logout.h"

#include "response/cookies.h"
#include "request/resume_url.h"
#include "config/module_log.h"
#include "response/redirects.h"
#include "config/server_config.h"
#include "request/token_discovery.h"

namespace {

bool is_set(const char *value) { return value != nullptr && value[0] != '\0'; }

// A token that came in the address is moved into the cookie first, so that it
// leaves the browser's address bar; the browser then repeats the logout with
// the cookie. The Location, or null when that cannot be done.
const char *token_free_location(const char *token, const agent_server_config *config, request_rec *r) {
    log_basic(config, "Session token is located in the request URL query parameter");
    if (set_session_cookie(config, r, token) != 0) return nullptr;
    const char *url = build_url_without_token(config, r, 1, config->application_scheme, config->application_host,
                                              config->application_port);
    if (url == nullptr) return nullptr;
    log_basic(config,
              "Enforcing the update of the original request URL in the user browser to not contain the session "
              "token, by redirection: %s",
              url);
    return url;
}

}  // namespace

int handle_logout(const char *token, const agent_server_config *config, request_rec *r, const char *resume,
                  int token_source) {
    if (config == nullptr || r == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    const bool has_base_url = is_set(config->base_url);

    if (resume == nullptr) {
        if (is_set(config->slo_url)) {
            log_debug(config, "Logging out of the session via redirection to the configured Quorvel SLO URL:");
            log_debug_text(config, config->slo_url);
            apr_table_setn(r->headers_out, "Location", config->slo_url);
            return HTTP_MOVED_TEMPORARILY;
        }
        log_basic(config, "Quorvel SLO URL is not configured - cancelling the session internally...");
    } else if (has_base_url) {
        log_basic(config, "Cancelling the session internally, with further logging out via Quorvel base URL, "
                          "supplemented with a resume URI...");
    } else {
        log_basic(config, "Quorvel base URL, required for session resuming, is not configured - cancelling the "
                          "session internally...");
    }

    if (token != nullptr && token_source == TOKEN_SOURCE_QUERY) {
        if (const char *url = token_free_location(token, config, r); url != nullptr) {
            apr_table_setn(r->headers_out, "Location", url);
            log_detailed(config, "Exposing the updated session token, with a new inactivity limit, into the cookie "
                                 "header...");
            return HTTP_MOVED_TEMPORARILY;
        }
    }

    erase_session_cookie(r, config);

    if (resume != nullptr && has_base_url) {
        const auto joined = qv::resume_redirect_url(config->base_url, resume);
        if (!joined) {
            // The session is over all the same; only the onward redirect is refused.
            log_warning(config, "Cannot redirect to the resume URL - the resume value would leave the Quorvel base "
                                "URL's host or split the Location header");
            return HTTP_OK;
        }
        const char *url = apr_pstrmemdup(r->pool, joined->data(), joined->size());
        if (url == nullptr) return HTTP_OK;
        log_debug(config, "Logging out of the session via redirection to the resume URL:");
        log_debug_text(config, url);
        apr_table_setn(r->headers_out, "Location", url);
        return HTTP_MOVED_TEMPORARILY;
    }
    return HTTP_OK;
}

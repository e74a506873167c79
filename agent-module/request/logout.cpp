// Ending a session on a logout URL: a redirect to the federation server's
// single-logout URL, or an internal cancellation that erases the session
// cookie and may send the browser on to the federation server's base URL.
#include "request/logout.h"

#include "config/module_log.h"
#include "config/server_config.h"
#include "request/resume_url.h"
#include "request/session.h"
#include "response/cookies.h"
#include "response/redirects.h"

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

Outcome handle_logout(const agent_server_config *config, request_rec *r, const Session &session, const char *resume) {
    const char *token = session.token;
    const bool has_base_url = is_set(config->base_url);

    if (resume == nullptr) {
        if (is_set(config->slo_url)) {
            log_debug(config, "Logging out of the session via redirection to the configured Quorvel SLO URL:");
            log_debug_text(config, config->slo_url);
            return Outcome::redirect(HTTP_MOVED_TEMPORARILY, config->slo_url);
        }
        log_basic(config, "Quorvel SLO URL is not configured - cancelling the session internally...");
    } else if (has_base_url) {
        log_basic(config, "Cancelling the session internally, with further logging out via Quorvel base URL, "
                          "supplemented with a resume URI...");
    } else {
        log_basic(config, "Quorvel base URL, required for session resuming, is not configured - cancelling the "
                          "session internally...");
    }

    if (token != nullptr && session.source == TOKEN_SOURCE_QUERY) {
        if (const char *url = token_free_location(token, config, r); url != nullptr) {
            log_detailed(config, "Exposing the updated session token, with a new inactivity limit, into the cookie "
                                 "header...");
            return Outcome::redirect(HTTP_MOVED_TEMPORARILY, url);
        }
    }

    erase_session_cookie(r, config);

    if (resume != nullptr && has_base_url) {
        const auto joined = qv::resume_redirect_url(config->base_url, resume);
        if (!joined) {
            // The session is over all the same; only the onward redirect is refused.
            log_warning(config, "Cannot redirect to the resume URL - the resume value would leave the Quorvel base "
                                "URL's host or split the Location header");
            return Outcome::grant();
        }
        const char *url = apr_pstrmemdup(r->pool, joined->data(), joined->size());
        log_debug(config, "Logging out of the session via redirection to the resume URL:");
        log_debug_text(config, url);
        return Outcome::redirect(HTTP_MOVED_TEMPORARILY, url);
    }
    return Outcome::grant();
}

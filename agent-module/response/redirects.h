// The request URL as received or as the browser sees the application, and the
// two redirect targets: the login page and the error page.
#pragma once

#include "config/apache.h"

struct agent_server_config;

// use_application_overrides: 0 takes scheme, host and local port as the
// request arrived; 1 takes the configured application scheme, host and port
// (null / -1 = the request's scheme, the server name, the server port).

// "scheme://host/" or "scheme://host:port/" (default ports left out), in the
// request pool; null after logging on pool exhaustion.
char *build_base_url(request_rec *r, const agent_server_config *config, int use_application_overrides,
                     const char *scheme, const char *host, int port);

// The base URL followed by the request's unparsed URI; null when the base URL
// cannot be built.
char *build_request_url(request_rec *r, const agent_server_config *config, int use_application_overrides,
                        const char *scheme, const char *host, int port);

// The request URL with every "<cookie name>=value" parameter removed; null
// after logging when the URL cannot be built.
char *build_url_without_token(const agent_server_config *config, request_rec *r, int use_application_overrides,
                              const char *scheme, const char *host, int port);

// The login page URL with a TargetResource parameter that carries the
// requested URL (unless the configured URL names its own); null after
// logging on pool exhaustion. Requires a configured login page URL.
const char *login_page_location(request_rec *r, const agent_server_config *config);

// 401 with the login URL: a WWW-Authenticate header (realm: the place's
// AuthName, else the server name) and a JSON body, for scripts. Returns 401.
int refuse_unauthenticated(request_rec *r, const agent_server_config *config, const char *location);

// 302 to the login page with a TargetResource parameter that carries the
// requested URL (erasing the session cookie when erase_cookie is 1); without
// a login page, the error page redirect or the error page itself. With
// QuorvelUnauthenticatedAction 401, or auto for a request that is not a
// navigation, the 401 of refuse_unauthenticated instead.
// Returns 302, 401, 500 or 503.
int redirect_to_login_page(request_rec *r, const agent_server_config *config, int erase_cookie);

// 1 when the request is for the configured error page, else 0.
int is_error_page_request(request_rec *r, const agent_server_config *config);

// 302 to the configured error page; 503 when none is configured or when the
// request is for the error page itself.
int redirect_to_error_page(request_rec *r, const agent_server_config *config, int erase_cookie);

// The error page redirect when an error page URL is configured, else the
// error page as the body of a 500 answer. Returns 302, 503 or 500.
int respond_with_error(request_rec *r, const agent_server_config *config, int erase_cookie, const char *title,
                       const char *description);

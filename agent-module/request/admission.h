// Request admission: which requests the agent takes part in, what kind of
// request it is, and the removal of request headers a client may not send.
#pragma once

#include "config/apache.h"

struct agent_server_config;

// Request note that switches the agent's later hooks off for one request.
inline constexpr const char *kDisableModuleHandlersNote = "QVAA_FLAG_DISABLE_MODULE_HANDLERS";

// 1 when the request's virtual host matches a QuorvelDisableAgentForVirtualHost pattern.
int is_agent_disabled_for_host(request_rec *r, const agent_server_config *config);

// 1 when the request line was a TLS/SSL handshake sent to a plain HTTP port.
int is_ssl_on_plain_port(const request_rec *r);

// The text the URL patterns (protected area, start page, logout) are matched
// against: the path as Apache decoded and normalised it, then "?" and the
// query string when there is one. Matching what the client sent instead would
// let "/%70rotected/", "//protected/" or "/x/../protected/" past a "^/protected/"
// filter to the same file.
const char *request_match_text(const request_rec *r);

// 1 when the request matches a QuorvelFilter pattern.
int is_protected_uri(const agent_server_config *config, const request_rec *r);

// 1 when the request matches the QuorvelStartPageURL pattern.
int is_start_page_request(const agent_server_config *config, const request_rec *r);

// What the header clean-up callbacks work on.
struct header_cleanup_context {
    const agent_server_config *config;
    apr_table_t *headers;
    // The header name (remove_named_header) or the prefix (remove_prefixed_header).
    const char *name;
};

// apr_table_do callbacks over a header table. Each removes the headers it
// matches, letter case ignored and '-' taken for '_', and then returns 0 so
// that the caller walks the changed table afresh; 1 means nothing was removed.
int remove_named_header(void *context, const char *name, const char *value);
int remove_prefixed_header(void *context, const char *name, const char *value);

// Removes every header the callback matches, pass after pass until none is left.
void remove_headers(const agent_server_config *config, apr_table_t *headers, const char *name,
                    int (*callback)(void *, const char *, const char *));

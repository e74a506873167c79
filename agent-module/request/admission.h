// Request admission: which requests the agent takes part in, what kind of
// request it is, and the removal of request headers a client may not send.
#pragma once

#include "config/apache.h"

struct agent_server_config;

// Request note that switches the agent off for a request and everything
// Apache derives from it (sub-requests, internal redirects).
inline constexpr const char *kDisableModuleHandlersNote = "QVAA_FLAG_DISABLE_MODULE_HANDLERS";

// Post-read-request hook, run first of all modules: for a request to a virtual
// host the agent is disabled for it leaves the note above; otherwise it
// removes every request header the client sent under the attribute prefix,
// before any other module (SetEnvIf, mod_rewrite, ...) reads them.
int agent_post_read_request(request_rec *r);

// 1 when the agent is disabled for the request's virtual host: the host name
// the client asked for is a name the selected virtual host declares
// (ServerName or a ServerAlias without wildcards) and it matches a
// QuorvelDisableAgentForVirtualHost pattern. A host name Apache did not
// recognise, or that only a wildcard alias matched, never disables the agent.
int is_agent_disabled_for_host(request_rec *r, const agent_server_config *config);

// 1 when the note above is on the request or on the one it was derived from.
int is_agent_disabled_for_request(const request_rec *r);

// 1 when the request line was a TLS/SSL handshake sent to a plain HTTP port.
int is_ssl_on_plain_port(const request_rec *r);

// The text the start-page and logout patterns are matched against: the path
// as Apache decoded and normalised it, then "?" and the query string when
// there is one. Matching what the client sent instead would let
// "/%70rotected/", "//protected/" or "/x/../protected/" past a
// "^/protected/" filter to the same file.
const char *request_match_text(const request_rec *r);

// 1 when the request matches a QuorvelFilter pattern: the path as Apache
// decoded it, and every other reading of it an application may take (see
// path_forms.h), each alone and followed by "?" and the query string.
int is_protected_uri(const agent_server_config *config, const request_rec *r);

// 1 when the request matches the QuorvelStartPageURL pattern.
int is_start_page_request(const agent_server_config *config, const request_rec *r);

// 1 when the request matches a QuorvelCancelURL pattern, else 0.
int is_logout_url(request_rec *r, const agent_server_config *config);

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

// The session cookie in responses: storing a token, erasing it, and the
// Cache-Control header that keeps caches from storing the cookie.
#pragma once

#include "config/apache.h"

struct agent_server_config;

// Adds "Set-Cookie: <name>=<token>[;path=..][;domain=..][;secure]" to
// err_headers_out, then Cache-Control. 0, or -1 for a null record or token or
// on pool exhaustion.
int set_session_cookie(const agent_server_config *config, request_rec *r, const char *token);

// Adds the Set-Cookie header that makes the browser drop the cookie, then
// Cache-Control. 0, or -1 for a null record or on pool exhaustion.
int erase_session_cookie(request_rec *r, const agent_server_config *config);

// Sets Cache-Control in err_headers_out unless switched off or configured
// empty; on a response marked private the value says "private" in any case.
// Always 0.
int add_cache_control(const agent_server_config *config, request_rec *r);

// Marks the response to a protected request (granted, redirected or refused)
// private: Cache-Control "private" in err_headers_out, which Apache keeps on
// error responses and redirects too, and which the cookie operations keep.
void mark_response_private(request_rec *r);

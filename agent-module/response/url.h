// URL handling of the module.
#pragma once

#include "config/apache.h"

struct agent_server_config;

// 1 when the text is null, empty or made only of URL-safe bytes
// (letters, digits and "*-.@_"), else 0.
int is_url_safe(const char *text);

// Writes the URL-safe form of length bytes and a NUL into buffer, which holds
// length + 2 * (unsafe bytes) + 1 bytes. 0, or -1 for a null buffer or input
// or a negative length.
int url_safe_encode(char *buffer, const char *input, int length);

// The URL-safe form in the pool (an unchanged copy when nothing needs
// encoding); null after logging on failure. name says what is encoded.
char *url_safe_copy(const agent_server_config *config, apr_pool_t *pool, const char *name, const char *input,
                    int length);

// 0 when the URL is a well-formed http or https address, else -1 after logging why.
int validate_http_url(const agent_server_config *config, const char *url);

// Finding the session token in a request: the query string, a posted login
// form, then the Cookie headers.
#pragma once

#include "config/apache.h"

struct agent_server_config;

// Where a token was found.
enum : int {
    TOKEN_SOURCE_NONE = -1,
    TOKEN_SOURCE_COOKIE = 0,
    TOKEN_SOURCE_QUERY = 1,
    TOKEN_SOURCE_POST = 2,
};

// Bodies this long or longer are not searched for a token.
inline constexpr apr_off_t kPostedTokenLimit = 65536;

// The token (a request-pool copy) or null. source, when given, is set to
// TOKEN_SOURCE_NONE and, when a token is found, to where it was found. A
// token that the library does not recognise ends the search.
char *find_session_token(request_rec *r, const agent_server_config *config, int *source);

// The value of a query parameter (request-pool copy), or null when absent or empty.
char *find_query_parameter(request_rec *r, const agent_server_config *config, const char *name);

// 1 when the text starts with the cookie's wire name and '=', else 0.
int is_token_assignment(const agent_server_config *config, const char *text);

// The insert-filter hook: adds the body replay filter to form posts.
void agent_insert_filter(request_rec *r);

// 1 for a POST of an "application/x-www-form-urlencoded" form, else 0.
int is_login_form_post(request_rec *r, const agent_server_config *config);

// Reads the posted body through the input filters, keeping the buckets read
// in a brigade left in the request notes for the replay filter. Reading stops
// after the first piece of data unless the body starts with the token
// assignment (token_found is then 1), and once kPostedTokenLimit bytes are
// collected. The text read (request pool, NUL-terminated) or null;
// length, when given, receives its length.
char *read_posted_body(request_rec *r, const agent_server_config *config, int *token_found,
                       apr_size_t *length = nullptr);

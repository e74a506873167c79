// Whether a decoded token's session may be used now, and its renewal.
#pragma once

#include "config/apache.h"

#include <nubrel.h>

struct agent_server_config;

// 200 when the session is valid; otherwise the status of the response
// already prepared (login redirect or error), for the handler to return.
int validate_session(const agent_server_config *config, request_rec *r, const nubrel_tokendata *tokendata);

struct renewal_result {
    // True when the request ends here with `status` (tokendata already released).
    bool finished = false;
    int status = OK;
    // 1 when the session's attributes were already exposed once.
    int subsequent = 0;
};

// Moves the inactivity limit forward, resets the creation time of tokens
// from the query string or a posted form, marks cookie sessions with the
// update flag, and sets the re-encoded token as the session cookie.
renewal_result renew_session(const agent_server_config *config, request_rec *r, nubrel_tokendata *tokendata,
                             int token_source);

// Writes the update flag into the payload. 0, or -1 on failure (logged).
int set_update_flag(const agent_server_config *config, nubrel_tokendata *tokendata);

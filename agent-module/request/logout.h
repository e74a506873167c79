// Ending a session on a logout URL.
#pragma once

#include "config/apache.h"

struct agent_server_config;

// Ends the session of the token found at token_source. 302 when the browser
// is redirected; any other value lets the handler go on with the request.
int handle_logout(const char *token, const agent_server_config *config, request_rec *r, const char *resume,
                  int token_source);

// Ending a session on a logout URL.
#pragma once

#include "config/apache.h"
#include "response/outcome.h"

struct agent_server_config;
struct Session;

// Ends the session (its token and where it came from are what counts): a
// redirect (to the single-logout URL, to the same URL without a token that
// came in the address, or to the resume URL) or, once the session cookie is
// erased, go on with the request (grant).
Outcome handle_logout(const agent_server_config *config, request_rec *r, const Session &session, const char *resume);

// Signed-out sessions: a logout records its session in the revocation store
// until the session would have ended, and every protected request refuses a
// session the store (or this process) knows to be signed out.
#pragma once

#include "config/apache.h"
#include "response/outcome.h"

struct agent_server_config;
struct Session;

// Go on unless the session has been signed out: then the login redirect with
// the erasing cookie, as for an expired session. While the store cannot be
// reached: 503 with QuorvelRevocationRequired on, go on otherwise. A "not
// signed out" answer is trusted for QuorvelRevocationCheckInterval seconds.
Outcome refuse_signed_out_session(const agent_server_config *config, request_rec *r, const Session &session);

// Records the session of a logout request as signed out until its
// renew-until, in this process at once and in the store (later, once it is
// reachable again, when it cannot take it now). A token that has not been
// decoded yet (a logout URL outside the protected area) is decoded first; one
// that does not decode records nothing.
void record_sign_out(const agent_server_config *config, request_rec *r, Session &session);

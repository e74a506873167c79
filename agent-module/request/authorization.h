// Apache's own authorisation on the agent's sessions: the Require providers
// qv-attribute and qv-attribute-regex, the WWW-Authenticate of AuthType
// Quorvel, and the warning for a signed-in user whom the rules refuse.
#pragma once

#include "config/apache.h"

// Registers the two authorisation providers (from the module's hook
// registration, so that Require lines can name them).
void register_attribute_providers(apr_pool_t *pool);

// note_auth_failure hook: Apache refuses a user with 401 under AuthType
// Quorvel (a Require expr on REMOTE_USER, say): the answer names the login
// page. DECLINED for other AuthTypes.
int agent_note_auth_failure(request_rec *r, const char *auth_type);

// Fixups hook: marks a request that the Require rules let through.
int agent_mark_authorized(request_rec *r);

// Log-transaction hook: one warning line for a request the agent granted and
// the Require rules refused (403), naming the user and the location.
int agent_log_refusal(request_rec *r);

// The agent's decision for a request, made in the access-control phase, and
// the handler that sends the start page the decision chose.
#pragma once

#include "config/apache.h"

// The access checker (run-all, registered first and per URI): for every
// request, sub-request and internal redirect, before any handler and whatever
// else is loaded. A protected request without a valid session is refused
// with its answer (login redirect, error page, clean-up redirect); a valid
// session sets the request's user and attributes and is DECLINED, so that
// Apache's own Require rules still apply.
int agent_check_access(request_rec *r);

// The authentication hook: Apache asks who the user is when a Require rule
// needs one after the access phase (Require expr on REMOTE_USER, say). For a
// request the agent granted, and unless another AuthType is configured for
// the place, the agent has answered that already: OK. DECLINED otherwise.
int agent_check_user(request_rec *r);

// True when the place's AuthType is Quorvel: the agent protects it as it
// protects what a QuorvelFilter matches.
bool is_quorvel_auth_type(request_rec *r);

// The payload of the session the agent granted to this request (whatever
// was exposed), or null when it granted none.
const char *granted_attributes(const request_rec *r);

// The handler, run before every other module's: sends the start page the
// access phase chose, and gives a request that Apache merged from a granted
// sub-request (DirectoryIndex) that session's user and attributes.
int agent_handler(request_rec *r);

// The request handler's own matchers.
#pragma once

#include "config/apache.h"

struct agent_server_config;

// 1 when the request matches a QuorvelCancelURL pattern, else 0.
int is_logout_url(request_rec *r, const agent_server_config *config);

// The replay of a posted body that the handler read while looking for a token.
#pragma once

#include "apache.h"

// Request-pool cleanup (data: the request) that destroys the saved body
// brigade and removes its note; harmless when run again.
apr_status_t agent_body_cleanup(void *data);

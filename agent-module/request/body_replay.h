// The replay of a posted body that the handler read while looking for a token.
#pragma once

#include "config/apache.h"

// The printable name of an input mode: "READBYTES", "GETLINE", "EATCRLF",
// "SPECULATIVE", "EXHAUSTIVE", "INIT", or "U-N-K-N-O-W-N".
const char *input_mode_name(ap_input_mode_t mode);

// Request-pool cleanup (data: the request) that destroys the saved body
// brigade and removes its note; harmless when run again.
apr_status_t agent_body_cleanup(void *data);

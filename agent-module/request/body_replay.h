// The replay of a posted body that token discovery read while looking for a
// token: whoever reads the body next gets the saved buckets first.
#pragma once

#include "config/apache.h"

// Request note that holds the address of the brigade with the posted body
// read while looking for a token.
inline constexpr const char *kRequestBodyNote = "request-body-brigade";

// The name the input filter is registered under, and its handle.
inline constexpr const char *kInputFilterName = "mod_qv_input_filter";
extern ap_filter_rec_t *agent_input_filter_handle;

// The input filter: hands a posted body that was consumed back to the next reader.
apr_status_t agent_input_filter(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                apr_read_type_e block, apr_off_t readbytes);

// The printable name of an input mode: "READBYTES", "GETLINE", "EATCRLF",
// "SPECULATIVE", "EXHAUSTIVE", "INIT", or "U-N-K-N-O-W-N".
const char *input_mode_name(ap_input_mode_t mode);

// Request-pool cleanup (data: the request) that destroys the saved body
// brigade and removes its note; harmless when run again.
apr_status_t agent_body_cleanup(void *data);

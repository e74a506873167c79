// The functions the module registers with Apache.
#pragma once

#include "config/apache.h"

// Start-up: checks the main server's configuration and prepares it for requests.
int agent_post_config(apr_pool_t *pconf, apr_pool_t *plog, apr_pool_t *ptemp, server_rec *s);

// Request admission: virtual hosts without the agent, and client-sent attribute headers.
int agent_post_read_request(request_rec *r);
int agent_fixups(request_rec *r);

// The decision flow of a request.
int agent_handler(request_rec *r);

// Adds the body replay filter to form posts.
void agent_insert_filter(request_rec *r);

// Hands a posted body that the handler consumed back to the next reader.
apr_status_t agent_input_filter(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                apr_read_type_e block, apr_off_t readbytes);

// The name the input filter is registered under, and its handle.
inline constexpr const char *kInputFilterName = "mod_qv_input_filter";
extern ap_filter_rec_t *agent_input_filter_handle;

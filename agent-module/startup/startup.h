// Start-up: the post-configuration hook.
#pragma once

#include "config/apache.h"

// Checks every record that protects something and prepares it for requests;
// on any error the server does not start (exit status 2).
int agent_post_config(apr_pool_t *pconf, apr_pool_t *plog, apr_pool_t *ptemp, server_rec *s);

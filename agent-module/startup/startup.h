// Start-up: the post-configuration hook.
#pragma once

#include "config/apache.h"

// Checks every record that protects something and prepares it for requests;
// on any error the server does not start (exit status 2).
int agent_post_config(apr_pool_t *pconf, apr_pool_t *plog, apr_pool_t *ptemp, server_rec *s);

// Apache's check_config hook. In a configuration test (apache2ctl configtest,
// apache2 -t) it runs every check start-up makes, for every record that
// protects something, writes each finding to standard error and fails, so
// that the test does not pass a configuration the server would refuse.
// Everything it makes for that is released before it returns. Otherwise OK.
int agent_check_config(apr_pool_t *pconf, apr_pool_t *plog, apr_pool_t *ptemp, server_rec *s);

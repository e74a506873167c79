// The module's own keys of the agent configuration file.
#pragma once

#include "config/apache.h"

struct agent_server_config;

// Reads config->agent_config_file (opened in temp_pool; values copied into
// value_pool) and applies token-name, cookie-path, cookie-domain,
// token-lifetime, cipher-suite, use-cookie, token-notbefore-tolerance and
// obfuscate-password. 0 when the file was read to its end and no value was
// rejected, -1 otherwise (logged).
int read_agent_config_file(agent_server_config *config, apr_pool_t *temp_pool, apr_pool_t *value_pool);

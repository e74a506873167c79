// Pages the module answers with itself, built from HTML templates.
#pragma once

#include "apache.h"

struct agent_server_config;

enum : int {
    TEMPLATE_ERROR_PAGE = 0,
    TEMPLATE_START_PAGE = 1,
};

// Reads the template file configured for the type into the pool. 0 when it
// was loaded or when no file is configured (the built-in template serves),
// -1 after logging otherwise.
int load_page_template(agent_server_config *config, int type, apr_pool_t *pool);

#include "cookies.h"

#include "server_config.h"

int set_session_cookie(const agent_server_config *, request_rec *, const char *) { return -1; }
int erase_session_cookie(request_rec *, const agent_server_config *) { return -1; }
int add_cache_control(const agent_server_config *, request_rec *) { return 0; }

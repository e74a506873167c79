// Ending a session on a logout URL.
#include "logout.h"

// Logout does not end sessions yet: the request goes on as any other.
int handle_logout(const char *, const agent_server_config *, request_rec *, const char *, int) { return DECLINED; }

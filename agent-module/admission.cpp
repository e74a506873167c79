// Request admission: which requests the agent looks at, and the removal of
// attribute headers that a client sent itself.
#include "hooks.h"

int agent_post_read_request(request_rec *) { return DECLINED; }

int agent_fixups(request_rec *) { return DECLINED; }

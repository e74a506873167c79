// The request handler: the agent's decision for every request.
#include "hooks.h"

int agent_handler(request_rec *) { return DECLINED; }

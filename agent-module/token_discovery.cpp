// Finding the session token in a request.
#include "hooks.h"

void agent_insert_filter(request_rec *) {}

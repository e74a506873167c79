// The places (<Location>, <Directory>, ...) of the server configuration that
// say AuthType Quorvel: they make a record protect something.
#pragma once

#include "config/apache.h"

// Counts, into each record's auth_type_places, the AuthType Quorvel lines of
// its scope: those inside a <VirtualHost> count for that host's record (the
// main server's when the host has none of its own), the others for the main
// server's. Lines of .htaccess files are not seen here.
void count_auth_type_places(server_rec *main_server, apr_pool_t *ptemp);

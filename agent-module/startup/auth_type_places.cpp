#include "startup/auth_type_places.h"

#include "config/server_config.h"

#include <util_cfgtree.h>

#include <cstring>
#include <strings.h>

namespace {

bool says_quorvel(const ap_directive_t *node, apr_pool_t *ptemp) {
    if (node->directive == nullptr || strcasecmp(node->directive, "AuthType") != 0 || node->args == nullptr)
        return false;
    const char *args = node->args;
    return strcasecmp(ap_getword_conf(ptemp, &args), kAgentAuthType) == 0;
}

// The server whose section holds the node: a virtual host is known by where
// its section begins.
server_rec *server_of(const ap_directive_t *node, server_rec *main_server) {
    for (const ap_directive_t *parent = node->parent; parent != nullptr; parent = parent->parent) {
        if (parent->directive == nullptr || strcasecmp(parent->directive, "<VirtualHost") != 0) continue;
        for (server_rec *host = main_server->next; host != nullptr; host = host->next)
            if (host->defn_line_number == static_cast<unsigned>(parent->line_num) && host->defn_name != nullptr &&
                parent->filename != nullptr && std::strcmp(host->defn_name, parent->filename) == 0)
                return host;
        break;
    }
    return main_server;
}

void count_in(const ap_directive_t *node, server_rec *main_server, apr_pool_t *ptemp) {
    for (; node != nullptr; node = node->next) {
        if (says_quorvel(node, ptemp))
            if (agent_server_config *config = server_config_of(server_of(node, main_server)); config != nullptr)
                ++config->auth_type_places;
        count_in(node->first_child, main_server, ptemp);
    }
}

}  // namespace

void count_auth_type_places(server_rec *main_server, apr_pool_t *ptemp) {
    count_in(ap_conftree, main_server, ptemp);
}

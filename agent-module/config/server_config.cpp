#include "config/server_config.h"

namespace {

// The record's logger may not exist yet, so exhaustion is reported straight to Apache.
void report_exhaustion(server_rec *server, const char *message) {
    ap_log_error("mod_qv", __LINE__, APLOG_MODULE_INDEX, APLOG_CRIT | APLOG_NOERRNO, 0, server, "%s", message);
}

struct ArraySlot {
    apr_array_header_t *agent_server_config::*field;
    const char *failure;
};

constexpr ArraySlot kArrays[] = {
    {&agent_server_config::uri_filters,
     "Cannot create an array for the URI filters - out of APR configuration pool"},
    {&agent_server_config::compiled_uri_filters,
     "Cannot create an array for the compiled URI filters - out of APR configuration pool"},
    {&agent_server_config::logout_urls,
     "Cannot create an array for the session logout URLs - out of APR configuration pool"},
    {&agent_server_config::compiled_logout_urls,
     "Cannot create an array for the compiled session logout URLs - out of memory"},
    {&agent_server_config::attribute_filters,
     "Cannot create an array for session attribute filter definitions - out of APR configuration pool"},
    {&agent_server_config::compiled_attribute_filters,
     "Cannot create an array for compiled session attribute filters - out of APR configuration pool"},
    {&agent_server_config::virtual_host_filters,
     "Cannot create an array for the virtual host name filters - out of APR configuration pool"},
    {&agent_server_config::compiled_virtual_host_filters,
     "Cannot create an array for the compiled virtual host name filters - out of APR configuration pool"},
};

}  // namespace

void *agent_create_server_config(apr_pool_t *pool, server_rec *server) {
    auto *config = static_cast<agent_server_config *>(apr_pcalloc(pool, sizeof(agent_server_config)));
    if (config == nullptr) {
        report_exhaustion(server, "Cannot create per-server configuration structure - out of APR configuration pool");
        return nullptr;
    }
    for (const ArraySlot &slot : kArrays) {
        config->*slot.field = apr_array_make(pool, kInitialArraySize, sizeof(void *));
        if (config->*slot.field == nullptr) {
            report_exhaustion(server, slot.failure);
            return nullptr;
        }
    }
    config->server = server;
    config->use_cookie = 1;
    config->token_lifetime = kDefaultTokenLifetime;
    config->cookie_path_length = 1;
    config->application_port = kDefaultApplicationPort;
    config->expose_to_environment = 1;
    config->expose_to_headers = 1;
    config->browser_cache_control = 1;
    config->cipher_suite = kDefaultCipherSuite;
    config->cookie_path = apr_pstrdup(pool, kDefaultCookiePath);
    config->attribute_prefix = apr_pstrdup(pool, kDefaultAttributePrefix);
    return config;
}

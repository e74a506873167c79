// The module's per-server configuration record.
#pragma once

#include "config/apache.h"

#include <nubrel.h>

#include <cstdint>

// Which settings a record's own section set: a virtual host takes from the
// main server every setting it leaves unset.
enum agent_setting : uint64_t {
    SETTING_SEND_ATTRIBUTES_ONCE = 1ull << 0,
    SETTING_VERBOSE_LEVEL = 1ull << 1,
    SETTING_LIBRARY_VERBOSE_LEVEL = 1ull << 2,
    SETTING_COOKIE_IS_SECURE = 1ull << 3,
    SETTING_APPLICATION_PORT = 1ull << 4,
    SETTING_EXPOSE_TO_ENVIRONMENT = 1ull << 5,
    SETTING_EXPOSE_TO_HEADERS = 1ull << 6,
    SETTING_BROWSER_CACHE_CONTROL = 1ull << 7,
    SETTING_ATTRIBUTE_PREFIX = 1ull << 8,
    SETTING_APPLICATION_SCHEME = 1ull << 9,
    SETTING_APPLICATION_HOST = 1ull << 10,
    SETTING_LOGIN_PAGE_URL = 1ull << 11,
    SETTING_ERROR_PAGE_URL = 1ull << 12,
    SETTING_BASE_URL = 1ull << 13,
    SETTING_SLO_URL = 1ull << 14,
    SETTING_COOKIE_NAME = 1ull << 15,
    SETTING_COOKIE_PATH = 1ull << 16,
    SETTING_COOKIE_DOMAIN = 1ull << 17,
    SETTING_AGENT_CONFIG_FILE = 1ull << 18,
    SETTING_ERROR_PAGE_TEMPLATE_FILE = 1ull << 19,
    SETTING_START_PAGE_TEMPLATE_FILE = 1ull << 20,
    SETTING_START_PAGE_URL = 1ull << 21,
    SETTING_CACHE_CONTROL_VALUE = 1ull << 22,
    SETTING_COOKIE_HTTP_ONLY = 1ull << 23,
    SETTING_COOKIE_SAME_SITE = 1ull << 24,
    SETTING_UNAUTHENTICATED_ACTION = 1ull << 25,
    SETTING_RENEWAL_INTERVAL = 1ull << 26,
    SETTING_ATTRIBUTE_HEADER_STYLE = 1ull << 27,
    SETTING_REVOCATION_STORE = 1ull << 28,
    SETTING_REVOCATION_CHECK_INTERVAL = 1ull << 29,
    SETTING_REVOCATION_REQUIRED = 1ull << 30,
};

// QuorvelCookieSameSite: the SameSite attribute of both session cookies.
enum cookie_same_site : int {
    SAME_SITE_OFF = 0,  // no attribute
    SAME_SITE_LAX = 1,
    SAME_SITE_NONE = 2,
};

// QuorvelUnauthenticatedAction: what a protected request without a session gets.
enum unauthenticated_action : int {
    UNAUTHENTICATED_REDIRECT = 0,  // the login redirect, always
    UNAUTHENTICATED_401 = 1,       // 401 with the login URL, always
    UNAUTHENTICATED_AUTO = 2,      // 401 for requests that are not a navigation, else the redirect
};

struct RevocationStore;

struct agent_server_config {
    int error_count;
    int send_attributes_once;
    int verbose_level;
    int library_verbose_level;
    int use_cookie;
    int token_lifetime;
    int notbefore_tolerance;
    int obfuscate_password;
    int cookie_is_secure;
    int cookie_http_only;
    int cookie_same_site;  // cookie_same_site
    int unauthenticated_action;  // unauthenticated_action
    int cookie_name_length;
    int cookie_path_length;
    int cookie_domain_length;
    int wire_cookie_name_length;
    int base_url_length;
    int application_port;
    int expose_to_environment;
    int expose_to_headers;
    int browser_cache_control;
    int login_url_has_target_resource;
    int cipher_suite;
    // Seconds the inactivity limit must move before the cookie is issued again; 0: on every request.
    int renewal_interval;
    // The token cache of each process (main server only): its bounds; 0 entries turns it off.
    int token_cache_entries;
    int token_cache_bytes;
    // QuorvelAttributeHeaderStyle dash: attribute request headers are named
    // with '-' in place of '_' (environment variables keep '_').
    int attribute_headers_dashed;
    int revocation_check_interval;  // seconds a "not revoked" answer is trusted
    int revocation_required;        // 503 while the store cannot be reached
    char *module_config_file;
    char *attribute_prefix;
    char *application_scheme;
    char *application_host;
    char *login_page_url;
    char *error_page_url;
    char *base_url;
    char *slo_url;
    char *cookie_name;
    char *cookie_path;
    char *cookie_domain;
    char *wire_cookie_name;
    char *agent_config_file;
    char *agent_token_name;
    char *agent_cookie_path;
    char *agent_cookie_domain;
    char *error_page_template_file;
    char *error_page_template;
    char *start_page_url_filter;
    char *start_page_template_file;
    char *start_page_template;
    char *cache_control_value;
    char *revocation_store_address;  // QuorvelRevocationStore, null for none
    // The agent file's password text: key material of session identifiers.
    char *agent_password;
    apr_array_header_t *attribute_filters;             // const char *
    apr_array_header_t *logout_urls;                   // const char *
    apr_array_header_t *uri_filters;                   // const char *
    apr_array_header_t *virtual_host_filters;          // const char *
    apr_array_header_t *compiled_attribute_filters;    // ap_regex_t *
    apr_array_header_t *compiled_logout_urls;          // ap_regex_t *
    apr_array_header_t *compiled_uri_filters;          // ap_regex_t *
    apr_array_header_t *compiled_virtual_host_filters; // ap_regex_t *
    ap_regex_t *compiled_start_page_filter;
    nubrel_instance *library_instance;
    // The agent file's previous-password, and the instance keyed with it
    // (null without one): tokens the current password cannot decode are
    // tried under it while the federation server rolls over.
    char *previous_password;
    nubrel_instance *previous_library_instance;
    // Places of this record's scope that say AuthType Quorvel (found at
    // start-up in the configuration tree): they are protected like a
    // QuorvelFilter match.
    int auth_type_places;
    // Prepared at start-up when a revocation store is configured.
    RevocationStore *revocation_store;
    apr_array_header_t *revocation_keys;  // qv::RevocationKey, one per configured password
    server_rec *server;
    // agent_setting bits of the directives this record's own section holds.
    uint64_t settings;
    // 1 once start-up has checked and prepared the record for requests; a
    // record that protects nothing is left as it is and the agent stays out
    // of its requests.
    int active;
};

// Defaults that differ from zero.
inline constexpr int kDefaultTokenLifetime = -1;  // unset
inline constexpr int kDefaultApplicationPort = -1;  // unset
inline constexpr int kDefaultCipherSuite = 2;
inline constexpr int kDefaultTokenCacheEntries = 4096;
inline constexpr int kDefaultTokenCacheBytes = 4 * 1024 * 1024;
inline constexpr int kDefaultCookieSameSite = SAME_SITE_LAX;
inline constexpr int kDefaultRevocationCheckInterval = 5;
inline constexpr int kLongestRevocationCheckInterval = 3600;
inline constexpr const char *kDefaultCookiePath = "/";
inline constexpr const char *kDefaultAttributePrefix = "QV_AUTH_";
// The AuthType under which the agent authenticates a place.
inline constexpr const char *kAgentAuthType = "Quorvel";
// Room every list starts with; APR arrays grow beyond it.
inline constexpr int kInitialArraySize = 128;

// create_server_config: the record with its defaults, or null.
void *agent_create_server_config(apr_pool_t *pool, server_rec *server);

// merge_server_config for a virtual host with a record of its own: every
// setting its section leaves unset comes from the main server, QuorvelFilter
// patterns of both protect it, and the values of the agent file are left for
// start-up to read from the file the host ends up with.
void *agent_merge_server_config(apr_pool_t *pool, void *main_config, void *host_config);

// The record of a server (the main server's when the virtual host has none of its own).
inline agent_server_config *server_config_of(const server_rec *server) {
    return static_cast<agent_server_config *>(ap_get_module_config(server->module_config, &qv_module));
}

// True when the record's own section set the setting.
inline bool has_own_setting(const agent_server_config *config, agent_setting setting) {
    return (config->settings & setting) != 0;
}

// The module's per-server configuration record.
#pragma once

#include "config/apache.h"

#include <nubrel.h>

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
    server_rec *server;
};

// Defaults that differ from zero.
inline constexpr int kDefaultTokenLifetime = -1;  // unset
inline constexpr int kDefaultApplicationPort = -1;  // unset
inline constexpr int kDefaultCipherSuite = 2;
inline constexpr const char *kDefaultCookiePath = "/";
inline constexpr const char *kDefaultAttributePrefix = "QV_AUTH_";
// Room every list starts with; APR arrays grow beyond it.
inline constexpr int kInitialArraySize = 128;

// create_server_config: the record with its defaults, or null.
void *agent_create_server_config(apr_pool_t *pool, server_rec *server);

// The record of a server (the main server's when the virtual host has none of its own).
inline agent_server_config *server_config_of(const server_rec *server) {
    return static_cast<agent_server_config *>(ap_get_module_config(server->module_config, &qv_module));
}

#include "config/server_config.h"

#include <initializer_list>

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

bool make_arrays(apr_pool_t *pool, server_rec *server, agent_server_config *config) {
    for (const ArraySlot &slot : kArrays) {
        config->*slot.field = apr_array_make(pool, kInitialArraySize, sizeof(void *));
        if (config->*slot.field == nullptr) {
            report_exhaustion(server, slot.failure);
            return false;
        }
    }
    return true;
}

// What the agent file says: read anew at start-up from the file the record names.
void reset_agent_file_values(agent_server_config *config) {
    config->use_cookie = 1;
    config->token_lifetime = kDefaultTokenLifetime;
    config->notbefore_tolerance = 0;
    config->obfuscate_password = 0;
    config->cipher_suite = kDefaultCipherSuite;
    config->agent_password = nullptr;
    config->agent_token_name = nullptr;
    config->agent_cookie_path = nullptr;
    config->agent_cookie_domain = nullptr;
    config->previous_password = nullptr;
}

struct IntSetting {
    agent_setting setting;
    int agent_server_config::*field;
};
constexpr IntSetting kIntSettings[] = {
    {SETTING_SEND_ATTRIBUTES_ONCE, &agent_server_config::send_attributes_once},
    {SETTING_VERBOSE_LEVEL, &agent_server_config::verbose_level},
    {SETTING_LIBRARY_VERBOSE_LEVEL, &agent_server_config::library_verbose_level},
    {SETTING_COOKIE_IS_SECURE, &agent_server_config::cookie_is_secure},
    {SETTING_APPLICATION_PORT, &agent_server_config::application_port},
    {SETTING_EXPOSE_TO_ENVIRONMENT, &agent_server_config::expose_to_environment},
    {SETTING_EXPOSE_TO_HEADERS, &agent_server_config::expose_to_headers},
    {SETTING_BROWSER_CACHE_CONTROL, &agent_server_config::browser_cache_control},
    {SETTING_RENEWAL_INTERVAL, &agent_server_config::renewal_interval},
    {SETTING_COOKIE_HTTP_ONLY, &agent_server_config::cookie_http_only},
    {SETTING_COOKIE_SAME_SITE, &agent_server_config::cookie_same_site},
    {SETTING_UNAUTHENTICATED_ACTION, &agent_server_config::unauthenticated_action},
    {SETTING_ATTRIBUTE_HEADER_STYLE, &agent_server_config::attribute_headers_dashed},
    {SETTING_REVOCATION_CHECK_INTERVAL, &agent_server_config::revocation_check_interval},
    {SETTING_REVOCATION_REQUIRED, &agent_server_config::revocation_required},
};

// A text setting and the number derived from it that goes with it: its
// length, or whether the login URL names its own TargetResource.
struct TextSetting {
    agent_setting setting;
    char *agent_server_config::*field;
    int agent_server_config::*companion;
};
constexpr TextSetting kTextSettings[] = {
    {SETTING_ATTRIBUTE_PREFIX, &agent_server_config::attribute_prefix, nullptr},
    {SETTING_APPLICATION_SCHEME, &agent_server_config::application_scheme, nullptr},
    {SETTING_APPLICATION_HOST, &agent_server_config::application_host, nullptr},
    {SETTING_LOGIN_PAGE_URL, &agent_server_config::login_page_url, &agent_server_config::login_url_has_target_resource},
    {SETTING_ERROR_PAGE_URL, &agent_server_config::error_page_url, nullptr},
    {SETTING_BASE_URL, &agent_server_config::base_url, &agent_server_config::base_url_length},
    {SETTING_SLO_URL, &agent_server_config::slo_url, nullptr},
    {SETTING_COOKIE_NAME, &agent_server_config::cookie_name, &agent_server_config::cookie_name_length},
    {SETTING_COOKIE_PATH, &agent_server_config::cookie_path, &agent_server_config::cookie_path_length},
    {SETTING_COOKIE_DOMAIN, &agent_server_config::cookie_domain, &agent_server_config::cookie_domain_length},
    {SETTING_AGENT_CONFIG_FILE, &agent_server_config::agent_config_file, nullptr},
    {SETTING_ERROR_PAGE_TEMPLATE_FILE, &agent_server_config::error_page_template_file, nullptr},
    {SETTING_START_PAGE_TEMPLATE_FILE, &agent_server_config::start_page_template_file, nullptr},
    {SETTING_START_PAGE_URL, &agent_server_config::start_page_url_filter, nullptr},
    {SETTING_CACHE_CONTROL_VALUE, &agent_server_config::cache_control_value, nullptr},
    {SETTING_REVOCATION_STORE, &agent_server_config::revocation_store_address, nullptr},
};

apr_array_header_t *joined(apr_pool_t *pool, const apr_array_header_t *first, const apr_array_header_t *second) {
    apr_array_header_t *list = apr_array_copy(pool, first);
    apr_array_cat(list, second);
    return list;
}

}  // namespace

void *agent_create_server_config(apr_pool_t *pool, server_rec *server) {
    auto *config = static_cast<agent_server_config *>(apr_pcalloc(pool, sizeof(agent_server_config)));
    if (config == nullptr) {
        report_exhaustion(server, "Cannot create per-server configuration structure - out of APR configuration pool");
        return nullptr;
    }
    if (!make_arrays(pool, server, config)) return nullptr;
    config->server = server;
    reset_agent_file_values(config);
    config->cookie_path_length = 1;
    config->application_port = kDefaultApplicationPort;
    config->expose_to_environment = 1;
    config->expose_to_headers = 1;
    config->browser_cache_control = 1;
    config->cookie_http_only = 1;
    config->cookie_same_site = kDefaultCookieSameSite;
    config->unauthenticated_action = UNAUTHENTICATED_REDIRECT;
    config->revocation_check_interval = kDefaultRevocationCheckInterval;
    config->cookie_path = apr_pstrdup(pool, kDefaultCookiePath);
    config->token_cache_entries = kDefaultTokenCacheEntries;
    config->token_cache_bytes = kDefaultTokenCacheBytes;
    config->attribute_prefix = apr_pstrdup(pool, kDefaultAttributePrefix);
    return config;
}

void *agent_merge_server_config(apr_pool_t *pool, void *main_config, void *host_config) {
    const auto *base = static_cast<const agent_server_config *>(main_config);
    const auto *own = static_cast<const agent_server_config *>(host_config);
    auto *merged = static_cast<agent_server_config *>(apr_pcalloc(pool, sizeof(agent_server_config)));
    *merged = *base;
    merged->server = own->server;
    merged->error_count = own->error_count;
    merged->settings = own->settings;
    merged->module_config_file = own->module_config_file;
    for (const IntSetting &entry : kIntSettings)
        if (has_own_setting(own, entry.setting)) merged->*entry.field = own->*entry.field;
    for (const TextSetting &entry : kTextSettings) {
        if (!has_own_setting(own, entry.setting)) continue;
        merged->*entry.field = own->*entry.field;
        if (entry.companion != nullptr) merged->*entry.companion = own->*entry.companion;
    }
    // Start-up trims and rewrites some texts in place: the host gets copies.
    merged->base_url = merged->base_url != nullptr ? apr_pstrdup(pool, merged->base_url) : nullptr;
    merged->wire_cookie_name = merged->cookie_name;
    merged->wire_cookie_name_length = merged->cookie_name_length;

    // The host protects what the main server protects, and what it adds.
    merged->uri_filters = joined(pool, base->uri_filters, own->uri_filters);
    // Every other list of the host replaces the main server's.
    for (apr_array_header_t *agent_server_config::*list :
         {&agent_server_config::logout_urls, &agent_server_config::attribute_filters,
          &agent_server_config::virtual_host_filters})
        merged->*list = apr_array_copy(pool, (own->*list)->nelts > 0 ? own->*list : base->*list);
    for (apr_array_header_t *agent_server_config::*list :
         {&agent_server_config::compiled_uri_filters, &agent_server_config::compiled_logout_urls,
          &agent_server_config::compiled_attribute_filters, &agent_server_config::compiled_virtual_host_filters})
        merged->*list = apr_array_make(pool, kInitialArraySize, sizeof(void *));
    merged->compiled_start_page_filter = nullptr;

    reset_agent_file_values(merged);
    merged->error_page_template = nullptr;
    merged->start_page_template = nullptr;
    merged->library_instance = nullptr;
    merged->previous_library_instance = nullptr;
    merged->auth_type_places = 0;
    merged->revocation_store = nullptr;
    merged->revocation_keys = nullptr;
    merged->active = 0;
    return merged;
}

#include "config/directives.h"

#include "config/config_file.h"
#include "config/config_values.h"
#include "config/module_log.h"
#include "config/revocation_values.h"
#include "config/server_config.h"

#include <cstring>
#include <strings.h>
#include <string_view>
#include <strings.h>

namespace {

agent_server_config *config_of(const cmd_parms *cmd) { return server_config_of(cmd->server); }

// A rejected value is logged and counted; Apache reads on either way.
void reject(agent_server_config *config, const char *message) {
    log_error(config, "%s", message);
    ++config->error_count;
}

// Relative paths are taken below the ServerRoot. Returns the path to store:
// the absolute one, or the value itself when it cannot be resolved.
char *absolute_path(cmd_parms *cmd, agent_server_config *config, const char *value, bool &resolved) {
    resolved = true;
    if (value[0] == '/') return apr_pstrdup(cmd->pool, value);
    char *path = ap_server_root_relative(cmd->pool, value);
    if (path == nullptr) {
        resolved = false;
        log_error(config, "Cannot get absolute path by \"%s\", relative to the ServerRoot definition", value);
        ++config->error_count;
        return apr_pstrdup(cmd->pool, value);
    }
    return path;
}

// yes/no into a flag field; anything else is counted and leaves the field
// alone. The directive is named explicitly: for a line of the module file,
// cmd->cmd is the directive that named the file.
bool set_flag(agent_server_config *config, const char *directive, int agent_server_config::*field,
              agent_setting setting, const char *value) {
    const auto flag = qv::parse_yes_no(value);
    if (!flag) {
        log_error(config, "%s: should be either yes or no", directive);
        ++config->error_count;
        return false;
    }
    config->*field = *flag ? 1 : 0;
    config->settings |= setting;
    return true;
}

// Integers: a value that is not a plain number is refused with a line naming
// the directive and the value. True when the reading holds a number to use.
bool accept_number(agent_server_config *config, const char *directive, const char *value,
                   const qv::IntegerReading &reading, bool clamp) {
    const std::string_view why = qv::integer_refusal(reading, clamp);
    if (why.empty()) return true;
    log_error(config, "%s: value \"%s\" %.*s", directive, value, static_cast<int>(why.size()), why.data());
    ++config->error_count;
    return false;
}

// Appends a copy of the value to a list; the messages name the list.
struct ListMessages {
    const char *no_array;
    const char *push_failed;
};

bool push_entry(cmd_parms *cmd, agent_server_config *config, apr_array_header_t *array, std::string_view value,
                const ListMessages &messages) {
    if (array == nullptr) {
        reject(config, messages.no_array);
        return false;
    }
    auto **slot = static_cast<const char **>(apr_array_push(array));
    if (slot == nullptr) {
        reject(config, messages.push_failed);
        return false;
    }
    *slot = apr_pstrmemdup(cmd->pool, value.data(), value.size());
    return true;
}

// Names the line of Apache's configuration that holds a value the handler
// refused (a module file's reader names its own lines).
class RefusalLocation {
public:
    RefusalLocation(const cmd_parms *cmd, const agent_server_config *config)
        : cmd_(cmd), config_(config), errors_before_(config->error_count) {}
    ~RefusalLocation() {
        if (config_->error_count > errors_before_ && !reading_module_file() && cmd_->directive != nullptr)
            log_refused_location(config_, cmd_->directive->filename, cmd_->directive->line_num);
    }
    // Errors counted so far are named elsewhere (by the lines of a module file).
    void rebase() { errors_before_ = config_->error_count; }
    RefusalLocation(const RefusalLocation &) = delete;
    RefusalLocation &operator=(const RefusalLocation &) = delete;

private:
    const cmd_parms *cmd_;
    const agent_server_config *config_;
    int errors_before_;
};

#define QV_CONFIG_OR_RETURN()                               \
    agent_server_config *config = config_of(cmd);           \
    if (config == nullptr) return nullptr;                  \
    RefusalLocation refusal_location(cmd, config)

const char *set_configuration_file(cmd_parms *cmd, void *mconfig, const char *value) {
    QV_CONFIG_OR_RETURN();
    bool resolved = true;
    config->module_config_file = absolute_path(cmd, config, value, resolved);
    if (!resolved) return nullptr;
    if (value[0] == '/')
        log_trace(config, "Quorvel Apache Agent configuration file: %s", config->module_config_file);
    else
        log_trace(config, "Quorvel Apache Agent configuration file: %s ==> %s", value, config->module_config_file);
    const int read = read_module_config_file(config, cmd, mconfig);
    refusal_location.rebase();
    if (read != 0) ++config->error_count;
    return nullptr;
}

const char *add_uri_filter(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (value[0] == '\0') {
        reject(config, "Cannot register the URI filter - definition is empty");
        return nullptr;
    }
    if (push_entry(cmd, config, config->uri_filters, value,
                   {"Cannot register the URI filter - array is not allocated",
                    "Cannot register the URI filter - failed to push filter into the array"}))
        log_trace(config, "Quorvel Apache Agent URI filter: %s", value);
    return nullptr;
}

const char *add_logout_url(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (value[0] == '\0') {
        reject(config, "Cannot register the logout URL - definition is empty");
        return nullptr;
    }
    if (push_entry(cmd, config, config->logout_urls, value,
                   {"Cannot register the session logout URL - array is not allocated",
                    "Cannot register the session logout URL - failed to push filter into the array"}))
        log_trace(config, "Quorvel Apache Agent session logout URL: %s", value);
    return nullptr;
}

const char *set_send_attributes_once(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    log_trace(config, "Quorvel Apache Agent sending attributes once: %s", value);
    set_flag(config, "QuorvelSendAttributesOnce", &agent_server_config::send_attributes_once,
                 SETTING_SEND_ATTRIBUTES_ONCE, value);
    return nullptr;
}

const char *set_verbose_level(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    const qv::IntegerReading level = qv::read_integer(value);
    if (!accept_number(config, "QuorvelVerboseLevel", value, level, true)) return nullptr;
    config->verbose_level = qv::clamp_verbose_level(level.value);
    config->settings |= SETTING_VERBOSE_LEVEL;
    log_trace(config, "Quorvel Apache Agent verbose level: %i", config->verbose_level);
    return nullptr;
}

const char *set_attribute_prefix(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    config->attribute_prefix = apr_pstrdup(cmd->pool, value);
    config->settings |= SETTING_ATTRIBUTE_PREFIX;
    log_trace(config, "Quorvel Apache Agent prefix for the server environment variables: %s", value);
    return nullptr;
}

const char *set_cookie_name(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (config->cookie_name != nullptr) {
        reject(config, "Cannot register multiple Quorvel cookie names - cookie name should be always single");
        return nullptr;
    }
    config->cookie_name = apr_pstrdup(cmd->pool, value);
    config->cookie_name_length = static_cast<int>(std::strlen(value));
    // Start-up replaces the wire name when the name needs encoding.
    config->wire_cookie_name = config->cookie_name;
    config->wire_cookie_name_length = config->cookie_name_length;
    config->settings |= SETTING_COOKIE_NAME;
    log_trace(config, "Quorvel Apache Agent cookie name: %s", value);
    return nullptr;
}

const char *set_cookie_path(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    config->cookie_path = apr_pstrdup(cmd->pool, value);
    config->cookie_path_length = static_cast<int>(std::strlen(value));
    config->settings |= SETTING_COOKIE_PATH;
    log_trace(config, "Quorvel Apache Agent cookie path: %s", value);
    return nullptr;
}

const char *set_cookie_domain(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (config->cookie_domain != nullptr) {
        reject(config, "Cannot register multiple Quorvel cookie domains - cookie domain should be always single");
        return nullptr;
    }
    config->cookie_domain = apr_pstrdup(cmd->pool, value);
    config->cookie_domain_length = static_cast<int>(std::strlen(value));
    config->settings |= SETTING_COOKIE_DOMAIN;
    log_trace(config, "Quorvel Apache Agent cookie domain: %s", value);
    return nullptr;
}

const char *set_cookie_is_secure(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (set_flag(config, "QuorvelCookieIsSecure", &agent_server_config::cookie_is_secure,
                 SETTING_COOKIE_IS_SECURE, value))
        log_trace(config, "Quorvel Apache Agent cookie is \"secure\": %s", value);
    return nullptr;
}

const char *set_cookie_http_only(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (set_flag(config, "QuorvelCookieHttpOnly", &agent_server_config::cookie_http_only, SETTING_COOKIE_HTTP_ONLY,
                 value))
        log_trace(config, "Quorvel Apache Agent cookie is \"HttpOnly\": %s", value);
    return nullptr;
}

// One word of a fixed list, letter case ignored, into an int field; anything
// else is counted, with the words expected, and leaves the field alone.
struct Choice {
    const char *word;
    int value;
};

template <size_t N>
bool set_choice(agent_server_config *config, const char *directive, int agent_server_config::*field,
                agent_setting setting, const char *value, const Choice (&choices)[N], const char *expected) {
    for (const Choice &choice : choices) {
        if (strcasecmp(value, choice.word) != 0) continue;
        config->*field = choice.value;
        config->settings |= setting;
        return true;
    }
    log_error(config, "%s: should be %s, not \"%s\"", directive, expected, value);
    ++config->error_count;
    return false;
}

constexpr Choice kSameSiteChoices[] = {{"Lax", SAME_SITE_LAX}, {"None", SAME_SITE_NONE}, {"off", SAME_SITE_OFF}};

const char *set_cookie_same_site(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (strcasecmp(value, "Strict") == 0) {
        // The federation server sends the browser back by a cross-site
        // navigation: a Strict cookie is not sent with it, nor with the
        // redirect that takes the token out of the address.
        reject(config, "QuorvelCookieSameSite: Strict is refused - the browser returns from the federation server by "
                       "a cross-site navigation, and the redirect that removes the token from the address would "
                       "arrive without the cookie, a login loop; use Lax");
        return nullptr;
    }
    if (set_choice(config, "QuorvelCookieSameSite", &agent_server_config::cookie_same_site, SETTING_COOKIE_SAME_SITE,
                   value, kSameSiteChoices, "Lax, None or off"))
        log_trace(config, "Quorvel Apache Agent cookie \"SameSite\": %s", value);
    return nullptr;
}

constexpr Choice kUnauthenticatedChoices[] = {
    {"redirect", UNAUTHENTICATED_REDIRECT}, {"401", UNAUTHENTICATED_401}, {"auto", UNAUTHENTICATED_AUTO}};

const char *set_unauthenticated_action(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (set_choice(config, "QuorvelUnauthenticatedAction", &agent_server_config::unauthenticated_action,
                   SETTING_UNAUTHENTICATED_ACTION, value, kUnauthenticatedChoices, "redirect, 401 or auto"))
        log_trace(config, "Quorvel Apache Agent answer to requests without a session: %s", value);
    return nullptr;
}

const char *set_library_verbose_level(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    const qv::IntegerReading level = qv::read_integer(value);
    if (level.fault == qv::NumberFault::not_a_number)
        log_error(config, "Cannot parse the Quorvel Apache Agent Nubrel library verbose level");
    if (!accept_number(config, "QuorvelNubrelLibVerboseLevel", value, level, true)) return nullptr;
    config->library_verbose_level = qv::clamp_verbose_level(level.value);
    config->settings |= SETTING_LIBRARY_VERBOSE_LEVEL;
    log_trace(config, "Quorvel Apache Agent Nubrel library verbose level: %i", config->library_verbose_level);
    return nullptr;
}

const char *set_application_scheme(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    config->application_scheme = apr_pstrdup(cmd->pool, value);
    config->settings |= SETTING_APPLICATION_SCHEME;
    log_trace(config, "Quorvel application scheme: %s", value);
    return nullptr;
}

const char *set_application_host(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    config->application_host = apr_pstrdup(cmd->pool, value);
    config->settings |= SETTING_APPLICATION_HOST;
    log_trace(config, "Quorvel application host: %s", value);
    return nullptr;
}

const char *set_application_port(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    const qv::IntegerReading port = qv::read_integer(value);
    if (port.fault == qv::NumberFault::not_a_number) {
        log_error(config, "Cannot get the application HTTP port - failed to parse the value \"%s\"", value);
        ++config->error_count;
        return nullptr;
    }
    if (!accept_number(config, "QuorvelApplicationPort", value, port, false)) return nullptr;
    // The number is kept even when it is out of range; start-up reports it again.
    config->application_port = port.value;
    if (port.value < 1 || port.value > 65535) {
        log_error(config, "Cannot get the application HTTP port - value %i is not valid", port.value);
        ++config->error_count;
        return nullptr;
    }
    config->settings |= SETTING_APPLICATION_PORT;
    log_trace(config, "Quorvel application port: %i", port.value);
    return nullptr;
}

const char *set_base_url(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    config->base_url = apr_pstrdup(cmd->pool, value);
    config->base_url_length = static_cast<int>(std::strlen(value));
    config->settings |= SETTING_BASE_URL;
    log_trace(config, "Quorvel base URL: %s", value);
    return nullptr;
}

const char *set_slo_url(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    config->slo_url = apr_pstrdup(cmd->pool, value);
    config->settings |= SETTING_SLO_URL;
    log_trace(config, "Quorvel SLO URL: %s", value);
    return nullptr;
}

const char *set_login_page_url(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    config->login_page_url = apr_pstrdup(cmd->pool, value);
    // Once a login URL names its own target, later ones never clear the flag.
    if (qv::has_target_resource_parameter(value)) config->login_url_has_target_resource = 1;
    config->settings |= SETTING_LOGIN_PAGE_URL;
    log_trace(config, "Quorvel login page URL: %s", value);
    return nullptr;
}

const char *set_error_page_url(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    config->error_page_url = apr_pstrdup(cmd->pool, value);
    config->settings |= SETTING_ERROR_PAGE_URL;
    log_trace(config, "Quorvel error page URL: %s", value);
    return nullptr;
}

const char *set_agent_configuration_file(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    bool resolved = true;
    config->agent_config_file = absolute_path(cmd, config, value, resolved);
    config->settings |= SETTING_AGENT_CONFIG_FILE;
    if (resolved) log_trace(config, "Quorvel Agent configuration file: %s", config->agent_config_file);
    return nullptr;
}

const char *add_attribute_filter(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (value == nullptr) {
        reject(config, "Cannot register the session attribute filter - the value is null");
        return nullptr;
    }
    if (value[0] == '\0') return nullptr;
    if (push_entry(cmd, config, config->attribute_filters, value,
                   {"Cannot register the session attribute filter - array is not allocated",
                    "Cannot register the session attribute filter - failed to push filter into the array"}))
        log_trace(config, "Quorvel Apache Agent filter mode enabled for session attribute: %s", value);
    return nullptr;
}

const char *set_expose_to_environment(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (set_flag(config, "QuorvelExposeSessionAttributesToEnvironmentVariables", &agent_server_config::expose_to_environment,
                 SETTING_EXPOSE_TO_ENVIRONMENT, value))
        log_trace(config, "Quorvel Apache Agent expose session attributes into environment variables: %s", value);
    return nullptr;
}

const char *set_expose_to_headers(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (set_flag(config, "QuorvelExposeSessionAttributesToHttpHeaders", &agent_server_config::expose_to_headers,
                 SETTING_EXPOSE_TO_HEADERS, value))
        log_trace(config, "Quorvel Apache Agent expose session attributes into HTTP headers: %s", value);
    return nullptr;
}

const char *set_error_page_template_file(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (value[0] == '\0') return nullptr;
    bool resolved = true;
    config->error_page_template_file = absolute_path(cmd, config, value, resolved);
    config->settings |= SETTING_ERROR_PAGE_TEMPLATE_FILE;
    if (resolved) log_trace(config, "Quorvel error page template file: %s", config->error_page_template_file);
    return nullptr;
}

const char *set_start_page_template_file(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (value[0] == '\0') return nullptr;
    bool resolved = true;
    config->start_page_template_file = absolute_path(cmd, config, value, resolved);
    config->settings |= SETTING_START_PAGE_TEMPLATE_FILE;
    if (resolved) log_trace(config, "Quorvel start page template file: %s", config->start_page_template_file);
    return nullptr;
}

const char *set_start_page_url(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (value == nullptr) {
        reject(config, "Cannot register the start page URL filter - the value is null");
        return nullptr;
    }
    if (value[0] == '\0') return nullptr;
    if (config->start_page_url_filter != nullptr) {
        reject(config, "Cannot register multiple start page URL filters - a single entry is allowed");
        return nullptr;
    }
    config->start_page_url_filter = apr_pstrdup(cmd->pool, value);
    config->settings |= SETTING_START_PAGE_URL;
    log_trace(config, "Quorvel Apache Agent start page URL filter: %s", value);
    return nullptr;
}

const char *add_virtual_host_filters(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (value == nullptr) {
        reject(config, "Cannot register a virtual host name filter - the value is null");
        return nullptr;
    }
    for (const std::string_view item : qv::split_comma_list(value)) {
        if (!push_entry(cmd, config, config->virtual_host_filters, item,
                        {"Cannot register a virtual host name filter - array is not allocated",
                         "Cannot register a virtual host name filter - failed to push filter into the array"}))
            break;
        log_trace(config, "Quorvel Apache Agent virtual host name filter: %s",
                  APR_ARRAY_IDX(config->virtual_host_filters, config->virtual_host_filters->nelts - 1, const char *));
    }
    return nullptr;
}

const char *set_browser_cache_control(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (set_flag(config, "QuorvelEnableUserBrowserCacheControl", &agent_server_config::browser_cache_control,
                 SETTING_BROWSER_CACHE_CONTROL, value))
        log_trace(config, "Quorvel Apache Agent enable user browser cache control: %s", value);
    return nullptr;
}

const char *set_cache_control_value(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (config->cache_control_value != nullptr) {
        reject(config, "QuorvelCacheControlHeaderValue: should be defined only once");
        return nullptr;
    }
    config->cache_control_value = apr_pstrdup(cmd->pool, value);
    config->settings |= SETTING_CACHE_CONTROL_VALUE;
    log_trace(config, "Quorvel Apache Agent 'Cache-Control' header value: %s", value);
    return nullptr;
}

const char *set_renewal_interval(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    const qv::IntegerReading seconds = qv::read_integer(value);
    if (!accept_number(config, "QuorvelSessionRenewalInterval", value, seconds, false)) return nullptr;
    if (seconds.value < 0) {
        log_error(config, "QuorvelSessionRenewalInterval: value \"%s\" is not a number of seconds", value);
        ++config->error_count;
        return nullptr;
    }
    config->renewal_interval = seconds.value;
    config->settings |= SETTING_RENEWAL_INTERVAL;
    log_trace(config, "Quorvel Apache Agent session renewal interval: %i sec", seconds.value);
    return nullptr;
}

// The token cache belongs to each process, whatever host a request is for.
bool set_process_wide_count(cmd_parms *cmd, agent_server_config *config, const char *directive,
                            int agent_server_config::*field, const char *value) {
    if (cmd->server->is_virtual) {
        log_error(config, "%s: the token cache is one for the whole server - set it outside <VirtualHost>", directive);
        ++config->error_count;
        return false;
    }
    const qv::IntegerReading count = qv::read_integer(value);
    if (!accept_number(config, directive, value, count, false)) return false;
    if (count.value < 0) {
        log_error(config, "%s: value \"%s\" is not a count", directive, value);
        ++config->error_count;
        return false;
    }
    config->*field = count.value;
    return true;
}

const char *set_token_cache_entries(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (set_process_wide_count(cmd, config, "QuorvelTokenCacheEntries", &agent_server_config::token_cache_entries,
                               value))
        log_trace(config, "Quorvel Apache Agent token cache entries: %i", config->token_cache_entries);
    return nullptr;
}

const char *set_token_cache_bytes(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (set_process_wide_count(cmd, config, "QuorvelTokenCacheBytes", &agent_server_config::token_cache_bytes, value))
        log_trace(config, "Quorvel Apache Agent token cache bytes: %i", config->token_cache_bytes);
    return nullptr;
}

const char *set_attribute_header_style(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    if (strcasecmp(value, "underscore") == 0) {
        config->attribute_headers_dashed = 0;
    } else if (strcasecmp(value, "dash") == 0) {
        config->attribute_headers_dashed = 1;
    } else {
        reject(config, "QuorvelAttributeHeaderStyle: should be either underscore or dash");
        return nullptr;
    }
    config->settings |= SETTING_ATTRIBUTE_HEADER_STYLE;
    log_trace(config, "Quorvel Apache Agent attribute header style: %s", value);
    return nullptr;
}

const char *set_revocation_store(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    // Whether the provider exists is known once every module is loaded, at start-up.
    if (!qv::parse_store_address(value)) {
        reject(config, "QuorvelRevocationStore: should be PROVIDER or PROVIDER:ARGUMENTS (shmcb:PATH(SIZE), "
                       "redis:HOST:PORT, memcache:HOST:PORT)");
        return nullptr;
    }
    config->revocation_store_address = apr_pstrdup(cmd->pool, value);
    config->settings |= SETTING_REVOCATION_STORE;
    log_trace(config, "Quorvel revocation store: %s", value);
    return nullptr;
}

const char *set_revocation_check_interval(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    const qv::IntegerReading seconds = qv::read_integer(value);
    if (!accept_number(config, "QuorvelRevocationCheckInterval", value, seconds, false)) return nullptr;
    if (seconds.value < 0 || seconds.value > kLongestRevocationCheckInterval) {
        log_error(config, "QuorvelRevocationCheckInterval: should be a number of seconds from 0 to %i, not \"%s\"",
                  kLongestRevocationCheckInterval, value);
        ++config->error_count;
        return nullptr;
    }
    config->revocation_check_interval = seconds.value;
    config->settings |= SETTING_REVOCATION_CHECK_INTERVAL;
    log_trace(config, "Quorvel revocation check interval: %i sec", seconds.value);
    return nullptr;
}

const char *set_revocation_required(cmd_parms *cmd, void *, const char *value) {
    QV_CONFIG_OR_RETURN();
    const auto flag = qv::parse_on_off(value);
    if (!flag) {
        reject(config, "QuorvelRevocationRequired: should be either on or off");
        return nullptr;
    }
    config->revocation_required = *flag ? 1 : 0;
    config->settings |= SETTING_REVOCATION_REQUIRED;
    log_trace(config, "Quorvel revocation store required: %s", value);
    return nullptr;
}

#undef QV_CONFIG_OR_RETURN

}  // namespace

// Every directive is server-wide (main server or virtual host) with one argument.
#define QV_DIRECTIVE(name, handler, help) AP_INIT_TAKE1(name, handler, nullptr, RSRC_CONF, help)

const command_rec agent_directives[] = {
    QV_DIRECTIVE("QuorvelConfigurationFile", set_configuration_file,
                 "QuorvelConfigurationFile -- path to this module's configuration file."),
    QV_DIRECTIVE("QuorvelFilter", add_uri_filter,
                 "QuorvelFilter -- turn on filtering by the Quorvel Apache Agent."),
    QV_DIRECTIVE("QuorvelCancelURL", add_logout_url,
                 "QuorvelCancelURL -- URL to invoke which will logout the Quorvel session."),
    QV_DIRECTIVE("QuorvelSendAttributesOnce", set_send_attributes_once,
                 "QuorvelSendAttributesOnce -- flag dictates whether attributes should be exposed only for the "
                 "first request, or for all."),
    QV_DIRECTIVE("QuorvelVerboseLevel", set_verbose_level,
                 "QuorvelVerboseLevel -- verbose level for logging, 0-5."),
    QV_DIRECTIVE("QuorvelAuthnPrefix", set_attribute_prefix,
                 "QuorvelAuthnPrefix -- prefix to convey user attributes and session information in the server "
                 "environment variables"),
    QV_DIRECTIVE("QuorvelCookieName", set_cookie_name,
                 "QuorvelCookieName - the Quorvel session cookie name to use."),
    QV_DIRECTIVE("QuorvelCookiePath", set_cookie_path,
                 "QuorvelCookiePath - the path of Quorvel session cookies."),
    QV_DIRECTIVE("QuorvelCookieDomain", set_cookie_domain,
                 "QuorvelCookieDomain - the domain of Quorvel session cookies."),
    QV_DIRECTIVE("QuorvelCookieIsSecure", set_cookie_is_secure,
                 "QuorvelCookieIsSecure - enables or disables the \"secure\" attribute of the cookie."),
    QV_DIRECTIVE("QuorvelCookieHttpOnly", set_cookie_http_only,
                 "QuorvelCookieHttpOnly - yes (the default) or no: whether the session cookie carries the "
                 "\"HttpOnly\" attribute, which keeps it from page scripts."),
    QV_DIRECTIVE("QuorvelCookieSameSite", set_cookie_same_site,
                 "QuorvelCookieSameSite - Lax (the default), None or off: the \"SameSite\" attribute of the session "
                 "cookie. None needs QuorvelCookieIsSecure yes; Strict is refused, since the return from the login "
                 "page is a cross-site navigation."),
    QV_DIRECTIVE("QuorvelUnauthenticatedAction", set_unauthenticated_action,
                 "QuorvelUnauthenticatedAction -- redirect (the default), 401 or auto: what a protected request "
                 "without a valid session gets. 401 answers with the login URL in a WWW-Authenticate header and a "
                 "JSON body; auto does so for requests that are not a browser navigation (fetch, XMLHttpRequest) "
                 "and redirects the others to the login page."),
    QV_DIRECTIVE("QuorvelNubrelLibVerboseLevel", set_library_verbose_level,
                 "QuorvelNubrelLibVerboseLevel -- verbose level for the Nubrel library for logging, 0-5."),
    QV_DIRECTIVE("QuorvelApplicationScheme", set_application_scheme,
                 "QuorvelApplicationScheme -- the optional application HTTP scheme, for use when there is a reverse "
                 "proxy in front of Apache server. During SP-Initiated SSO, this makes possible automatic redirection "
                 "to the request URL with a substituted HTTP scheme (from http to https, or vice versa) after "
                 "successful SSO."),
    QV_DIRECTIVE("QuorvelApplicationHost", set_application_host,
                 "QuorvelApplicationHost -- the optional application host name, for use when there is a reverse "
                 "proxy in front of Apache server. During SP-Initiated SSO, this makes possible automatic redirection "
                 "to the request URL with a substituted host name after successful SSO."),
    QV_DIRECTIVE("QuorvelApplicationPort", set_application_port,
                 "QuorvelApplicationPort -- the optional application HTTP port, for use when there is a reverse "
                 "proxy in front of Apache server. During SP-Initiated SSO, this makes possible automatic redirection "
                 "to the request URL with a substituted HTTP port after successful SSO. The port number should "
                 "correspond to the http scheme, if scheme is specified."),
    QV_DIRECTIVE("QuorvelBaseURL", set_base_url,
                 "QuorvelBaseURL -- the optional URL to redirect to, when the request URL matches the value of option "
                 "QuorvelCancelURL, and the request URL has a \"resume\" query parameter."),
    QV_DIRECTIVE("QuorvelSLOURL", set_slo_url,
                 "QuorvelSLOURL -- the optional URL to redirect to, when the request URL matches the value of option "
                 "QuorvelCancelURL, and the request URL has no a \"resume\" query parameter."),
    QV_DIRECTIVE("QuorvelLoginPageURL", set_login_page_url,
                 "QuorvelLoginPageURL -- the Quorvel Login Page URL for redirections in case when Nubrel is not "
                 "supplied in request or has expired."),
    QV_DIRECTIVE("QuorvelErrorPageURL", set_error_page_url,
                 "QuorvelErrorPageURL -- the Quorvel Error Page URL for redirections in case of Nubrel configuration "
                 "errors: when the login page is not configured, etc."),
    QV_DIRECTIVE("QuorvelAgentConfigurationFile", set_agent_configuration_file,
                 "QuorvelAgentConfigurationFile -- path to the Quorvel Agent configuration file."),
    QV_DIRECTIVE("QuorvelSessionAttrFilter", add_attribute_filter,
                 "QuorvelSessionAttrFilter -- turn on filtering of session attributes before passing to the target "
                 "application"),
    QV_DIRECTIVE("QuorvelExposeSessionAttributesToEnvironmentVariables", set_expose_to_environment,
                 "QuorvelExposeSessionAttributesToEnvironmentVariables - enables or disables setting session "
                 "attributes to environment variables."),
    QV_DIRECTIVE("QuorvelExposeSessionAttributesToHttpHeaders", set_expose_to_headers,
                 "QuorvelExposeSessionAttributesToHttpHeaders - enables or disables setting session attributes to "
                 "HTTP headers."),
    QV_DIRECTIVE("QuorvelErrorPageTemplateFile", set_error_page_template_file,
                 "QuorvelErrorPageTemplateFile -- the path to HTML file with an error page template for reporting the "
                 "configuration and run-time errors directly to the user browser."),
    QV_DIRECTIVE("QuorvelStartPageTemplateFile", set_start_page_template_file,
                 "QuorvelStartPageTemplateFile -- the path to HTML file with a start page template for reporting to "
                 "the administrator/user browser the HTTP headers and/or environment variables, exposed by the "
                 "Apache Agent to the application."),
    QV_DIRECTIVE("QuorvelStartPageURL", set_start_page_url,
                 "QuorvelStartPageURL -- the filter pattern, with regular expressions allowed. When a URL matches a "
                 "pattern, whether the resource is protected or not, the Apache Agent handles the request and writes "
                 "a response containing a 'start page' header dump."),
    QV_DIRECTIVE("QuorvelDisableAgentForVirtualHost", add_virtual_host_filters,
                 "QuorvelDisableAgentForVirtualHost -- the filter pattern, with regular expressions allowed. When a "
                 "virtual host name matches a pattern, the Apache Agent is completely disabled for handling requests "
                 "for the matched host."),
    QV_DIRECTIVE("QuorvelEnableUserBrowserCacheControl", set_browser_cache_control,
                 "QuorvelEnableUserBrowserCacheControl -- enables or disables exposing of the outbound HTTP request "
                 "header 'Cache-Control', which configures caching mechanisms for the session cookies on the side of "
                 "the User Browser. Default value is 'yes'. It enforces exposing of the outbound HTTP header "
                 "'Cache-Control: no-cache=\"set-cookie\"'. In such case caching of session cookies in the user "
                 "browser is disabled. Disabling of caching session cookies is generally recommended and it is mostly "
                 "important for the session logout (SLO) events, for guaranteed cleanup of the previously valid "
                 "session cookies, which become no more valid."),
    QV_DIRECTIVE("QuorvelCacheControlHeaderValue", set_cache_control_value,
                 "QuorvelCacheControlHeaderValue -- specifies an alternative value of the outbound HTTP request header "
                 "'Cache-Control', as a replacement of the default value 'no-cache=\"set-cookie\"'. See for possible "
                 "values: https://www.w3.org/Protocols/rfc2616/rfc2616-sec14.html#sec14.9"),
    QV_DIRECTIVE("QuorvelSessionRenewalInterval", set_renewal_interval,
                 "QuorvelSessionRenewalInterval -- seconds by which the session's inactivity limit must move forward "
                 "before the session cookie is issued again; 0 (the default) renews it on every request."),
    QV_DIRECTIVE("QuorvelTokenCacheEntries", set_token_cache_entries,
                 "QuorvelTokenCacheEntries -- the most tokens each server process keeps decoded and encoded, so "
                 "that repeated requests of a session skip that work; 0 turns the cache off. Default 4096."),
    QV_DIRECTIVE("QuorvelTokenCacheBytes", set_token_cache_bytes,
                 "QuorvelTokenCacheBytes -- the most memory, in bytes, the token cache of each server process "
                 "takes. Default 4194304."),
    QV_DIRECTIVE("QuorvelAttributeHeaderStyle", set_attribute_header_style,
                 "QuorvelAttributeHeaderStyle -- underscore or dash: whether the request headers that carry session "
                 "attributes are named with '_' (QV_AUTH_MAIL) or with '-' (QV-AUTH-MAIL), for application servers "
                 "and proxies that drop header names with '_'. Environment variables keep '_'."),
    QV_DIRECTIVE("QuorvelRevocationStore", set_revocation_store,
                 "QuorvelRevocationStore -- the shared object cache that records signed-out sessions until they "
                 "would have ended: shmcb:PATH(SIZE) for one server, redis:HOST:PORT or "
                 "memcache:HOST:PORT[,HOST:PORT...] for servers that share an agent file. A signed-out session is "
                 "then refused on every server that uses the store. Unset: logout only erases the cookie."),
    QV_DIRECTIVE("QuorvelRevocationCheckInterval", set_revocation_check_interval,
                 "QuorvelRevocationCheckInterval -- seconds during which a process trusts the store's answer that a "
                 "session has not been signed out (default 5): the longest time a session signed out on another "
                 "process or server may still be accepted."),
    QV_DIRECTIVE("QuorvelRevocationRequired", set_revocation_required,
                 "QuorvelRevocationRequired -- on: protected requests get 503 while the revocation store cannot be "
                 "reached; off (default): sessions are accepted then, and the agent logs the failure at most once "
                 "a minute per process."),
    {nullptr, {nullptr}, nullptr, 0, RAW_ARGS, nullptr},
};

#undef QV_DIRECTIVE

directive_handler find_directive_handler(const char *name) {
    for (const command_rec *entry = agent_directives; entry->name != nullptr; ++entry)
        if (std::strcmp(entry->name, name) == 0 && entry->args_how == TAKE1 && entry->func.take1 != nullptr)
            return entry->func.take1;
    return nullptr;
}

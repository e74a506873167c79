// Start-up: the post-configuration hook that checks every record that
// protects something (the main server's and those of virtual hosts), prepares
// them for requests, or stops the server.
#include "startup/agent_settings.h"
#include "startup/auth_type_places.h"
#include "startup/library_version.h"
#include "startup/startup.h"
#include "config/module_log.h"
#include "config/revocation_store.h"
#include "response/pages.h"
#include "config/server_config.h"
#include "response/url.h"

#include <nubrel.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kModuleVersion = "mod_qv/1.2.1";
constexpr const char *kInitializationFlag = "modqvaa_initialization_flag";

[[noreturn]] void refuse_to_start(const agent_server_config *config) {
    log_fatal(config, "The Apache Agent's configuration file is incorrectly configured. The Apache server failed to "
                      "start.");
    // Apache on Linux has no exit code variable of its own to keep in step with.
    std::exit(2);
}

bool is_empty(const char *text) { return text == nullptr || text[0] == '\0'; }

// Errors of the main server and of every virtual host that has a record of its
// own: a rejected value anywhere keeps the server from starting.
int configuration_errors(server_rec *main_server) {
    const agent_server_config *main_config = server_config_of(main_server);
    int errors = main_config->error_count;
    for (server_rec *host = main_server->next; host != nullptr; host = host->next) {
        const agent_server_config *config = server_config_of(host);
        if (config != nullptr && config != main_config) errors += config->error_count;
    }
    return errors;
}

void report_process_model(const agent_server_config *config) {
    int answer = 0;
    const auto query = [&answer](int code) { return ap_mpm_query(code, &answer) == APR_SUCCESS; };
    if (query(AP_MPMQ_IS_FORKED) && answer != 0) {
        log_basic(config, "MPM is forked (%s mode)...", ap_show_mpm());
        if (query(AP_MPMQ_MIN_SPARE_DAEMONS)) log_detailed(config, "  Minimum number of spare processes: %i", answer);
        if (query(AP_MPMQ_MAX_SPARE_DAEMONS)) log_detailed(config, "  Maximum number of spare processes: %i", answer);
        if (query(AP_MPMQ_MAX_DAEMONS)) log_detailed(config, "  Upper configurable limit of processes: %i", answer);
    }
    if (query(AP_MPMQ_IS_THREADED) && answer != 0) {
        log_basic(config, "MPM is threaded (%s mode)...", ap_show_mpm());
        if (query(AP_MPMQ_MIN_SPARE_THREADS)) log_detailed(config, " Minimum number of spare threads: %i", answer);
        if (query(AP_MPMQ_MAX_SPARE_THREADS)) log_detailed(config, " Maximum number of spare threads: %i", answer);
        if (query(AP_MPMQ_MAX_THREADS))
            log_detailed(config, " Upper configurable limit of threads per child process: %i", answer);
    }
}

// ---- checks of the settings taken together --------------------------------

void check_attribute_exposure(agent_server_config *config) {
    const bool environment = config->expose_to_environment != 0;
    const bool headers = config->expose_to_headers != 0;
    if (!environment && !headers) {
        log_warning(config, "Exposing of session information is disabled, both into environment variables and HTTP "
                            "headers");
        return;
    }
    if (environment && headers)
        log_basic(config, "Exposing of session information is enabled, both into environment variables and HTTP "
                          "headers");
    else if (environment)
        log_basic(config, "Exposing of session information is enabled into environment variables");
    else
        log_basic(config, "Exposing of session information is enabled into HTTP headers");

    if (config->attribute_prefix == nullptr) {
        log_warning(config,
                    "The session data prefix is not configured, while the default value is empty too, and therefore "
                    "the Apache Agent will be unable to identify and clean out session-specific HTTP headers, arrived "
                    "from the client side, to deny spoof attacks. Except the ones, listed in the optional "
                    "\"qv_variable_list\" attribute of the token's payload, which can be configured within QV admin "
                    "console in the adapter attribute contract.");
    } else if (config->attribute_prefix[0] == '\0' || std::strcmp(config->attribute_prefix, "\"\"") == 0) {
        // The module configuration file keeps quotes, so "" written there means empty too.
        log_warning(config,
                    "The session data prefix is configured empty and therefore the Apache Agent will be unable to "
                    "identify and clean out session-specific HTTP headers, arrived from the client side, to deny "
                    "spoof attacks.  Except the ones, listed in the optional \"qv_variable_list\" attribute of the "
                    "token's payload, which can be configured within QV admin console in the adapter attribute "
                    "contract.");
        config->attribute_prefix = nullptr;
    }
}

// Browsers drop a SameSite=None cookie that is not secure; 0 or 1 error.
int check_cookie_attributes(const agent_server_config *config) {
    if (config->cookie_same_site != SAME_SITE_NONE || config->cookie_is_secure != 0) return 0;
    log_error(config, "QuorvelCookieSameSite None needs QuorvelCookieIsSecure yes - browsers drop a SameSite=None "
                      "cookie that is not secure, and no session would ever start");
    return 1;
}

// Library support for obfuscated passwords; 0 or 1 error.
int check_password_obfuscation(const agent_server_config *config) {
    const char *version = get_nubrel_library_version();
    qv::LibraryVersion parsed;
    if (version == nullptr || !qv::parse_library_version(version, parsed)) {
        log_error(config, "Cannot parse the NBR library version: \"%s\"", version != nullptr ? version : "");
        return 1;
    }
    if (!qv::supports_obfuscated_password(parsed)) {
        log_error(config,
                  "Quorvel Agent password-obfuscation feature is turned on, while the feature is not supported by the "
                  "available NBR library \"%s\"",
                  version);
        return 1;
    }
    return 0;
}

// All findings are reported before the caller gives up; the result is their number.
int check_settings(agent_server_config *config, server_rec *s) {
    int errors = 0;

    // Apache 2.4 keeps a LogLevel per module: this is the server's level as it applies to this module.
    if (config->server != nullptr && config->verbose_level >= 2 &&
        ap_get_server_module_loglevel(s, APLOG_MODULE_INDEX) < APLOG_INFO)
        log_warning(config, "The Apache Agent's verbose level implies informational output, which cannot be logged "
                            "with a current 'LogLevel' in \"httpd.conf\"");

    if (config->virtual_host_filters->nelts > 0)
        log_basic(config, "Total virtual host name filters configured: %i", config->virtual_host_filters->nelts);
    else
        log_basic(config, "The virtual host name filters are not configured");

    if (config->uri_filters->nelts > 0) {
        log_basic(config, "Total URI filters configured: %i", config->uri_filters->nelts);
    } else if (config->auth_type_places > 0) {
        log_basic(config, "URI filters are not configured - the places with AuthType %s are protected",
                  kAgentAuthType);
    } else {
        log_error(config, "URI filters are not configured - no resources to protect?");
        ++errors;
    }

    if (config->logout_urls->nelts > 0)
        log_basic(config, "Total session logout URLs configured: %i", config->logout_urls->nelts);
    else
        log_warning(config, "Session logout URLs are not configured");

    check_attribute_exposure(config);

    if (config->attribute_filters->nelts > 0)
        log_basic(config, "Total session attribute filters configured: %i", config->attribute_filters->nelts);
    else
        log_warning(config, "The session attribute filters are not configured - no session attributes will be "
                            "passed to the application");

    if (config->cookie_name == nullptr) {
        log_error(config, "Quorvel cookie name is not specified");
        ++errors;
    } else if (config->cookie_name[0] == '\0') {
        log_error(config, "Quorvel cookie name is empty");
        ++errors;
    } else if (config->agent_token_name == nullptr) {
        config->agent_token_name = config->cookie_name;
    } else if (std::strcmp(config->agent_token_name, config->cookie_name) != 0) {
        log_error(config,
                  "Token name \"%s\", defined in the Quorvel Agent's configuration file, does not match the "
                  "previously defined cookie name \"%s\"",
                  config->agent_token_name, config->cookie_name);
        ++errors;
    }

    if (config->agent_cookie_path == nullptr) {
        config->agent_cookie_path = config->cookie_path;
    } else if (config->cookie_path == nullptr || std::strcmp(config->agent_cookie_path, config->cookie_path) != 0) {
        log_error(config,
                  "Cookie path \"%s\", defined in the Quorvel Agent's configuration file, does not match the "
                  "previously defined cookie path \"%s\"",
                  config->agent_cookie_path, config->cookie_path != nullptr ? config->cookie_path : "");
        ++errors;
    }

    errors += check_cookie_attributes(config);

    if (config->cookie_domain == nullptr) {
        log_basic(config, "The cookie domain is not configured, therefore it will be not exposed in the Set-Cookie "
                          "response headers. In a web-browser, this will cause the browser to use the domain from the "
                          "original request.");
    } else if (config->cookie_domain[0] == '\0') {
        log_basic(config, "The cookie domain is configured empty, therefore it will be not exposed in the Set-Cookie "
                          "response headers. In a web-browser, this will cause the browser to use the domain from the "
                          "original request.");
        config->cookie_domain = nullptr;
    } else if (config->agent_cookie_domain == nullptr) {
        config->agent_cookie_domain = config->cookie_domain;
    } else if (config->use_cookie != 0 && std::strcmp(config->agent_cookie_domain, config->cookie_domain) != 0) {
        log_error(config,
                  "Cookie domain \"%s\", defined in the Quorvel Agent's configuration file, does not match the "
                  "previously defined cookie domain \"%s\"",
                  config->agent_cookie_domain, config->cookie_domain);
        ++errors;
    }

    if (config->application_scheme != nullptr) {
        if (config->application_scheme[0] == '\0') {
            log_error(config, "Quorvel application scheme is empty");
            ++errors;
        } else if (std::strcmp(config->application_scheme, "http") != 0 &&
                   std::strcmp(config->application_scheme, "https") != 0) {
            log_error(config, "Quorvel application scheme should be either \"http\" or \"https\", not \"%s\"",
                      config->application_scheme);
            ++errors;
        }
    }

    if (config->application_host != nullptr && config->application_host[0] == '\0') {
        log_error(config, "Quorvel application host is empty");
        ++errors;
    }

    if (config->application_port != kDefaultApplicationPort &&
        (config->application_port < 1 || config->application_port > 65535)) {
        log_error(config, "Quorvel application port %i is not valid", config->application_port);
        ++errors;
    }

    if (is_empty(config->login_page_url)) {
        log_error(config, "Quorvel Agent login page URL is not specified");
        ++errors;
    } else if (validate_http_url(config, config->login_page_url) != 0) {
        log_error(config, "Quorvel Agent login page URL's syntax is not valid");
        ++errors;
    }

    if (is_empty(config->error_page_url)) {
        config->error_page_url = nullptr;
        log_basic(config, "Quorvel Agent error page URL is not specified - the run-time errors will be sent to the "
                          "user browser directly");
    }

    if (config->base_url != nullptr) {
        while (config->base_url_length > 0 && config->base_url[config->base_url_length - 1] == '/') {
            log_basic(config, "Trimming the terminal forward slash in Quorvel base URL");
            config->base_url[--config->base_url_length] = '\0';
        }
        if (config->base_url_length <= 0) config->base_url = nullptr;
    }
    if (config->base_url == nullptr)
        log_warning(config, "Quorvel base URL is not specified - the request's optional query parameter \"%s\" will "
                            "be ignored",
                    "resume");

    if (is_empty(config->slo_url)) {
        config->slo_url = nullptr;
        log_warning(config, "Quorvel SLO URL is not specified - sessions will be cancelled internally");
    }

    bool agent_errors = false;
    if (is_empty(config->agent_config_file)) {
        log_error(config, "Quorvel Agent configuration file is not specified");
        agent_errors = true;
    }
    if (is_empty(config->agent_token_name)) {
        log_error(config, "Quorvel Agent cookie name is not specified");
        agent_errors = true;
    }
    if (config->token_lifetime <= 0) {
        log_error(config, "Quorvel Agent token lifetime is not specified");
        agent_errors = true;
    }
    if (is_valid_cipher_suite(config->cipher_suite) == 0) {
        log_error(config, "Quorvel Agent cipher suite %i is incorrect", config->cipher_suite);
        agent_errors = true;
    } else if (config->cipher_suite == 0) {
        // Allowed for tests, but said at error level so that it is never missed.
        log_error(config, "Quorvel Agent cipher suite 0 encrypts nothing and its digest is an unkeyed SHA-1: anyone "
                          "can forge a session for any user - never use it in production");
    }
    if (config->obfuscate_password != 0 && check_password_obfuscation(config) != 0) agent_errors = true;
    if (agent_errors)
        ++errors;
    else
        log_basic(config, "The Quorvel Agent's configuration parameters are valid");

    return errors;
}

// ---- wire cookie name and compiled filters --------------------------------

bool derive_wire_cookie_name(agent_server_config *config, apr_pool_t *pconf) {
    if (is_url_safe(config->cookie_name) != 0) {
        log_basic(config, "Cookie name is URL-safe");
        config->wire_cookie_name = config->cookie_name;
        config->wire_cookie_name_length = config->cookie_name_length;
        return true;
    }
    log_basic(config, "Cookie name is not URL-safe");
    log_basic(config, " Producing cookie name in the URL safe format...");
    config->wire_cookie_name =
        url_safe_copy(config, pconf, "cookie name", config->cookie_name, config->cookie_name_length);
    if (config->wire_cookie_name == nullptr) return false;
    config->wire_cookie_name_length = static_cast<int>(std::strlen(config->wire_cookie_name));
    return true;
}

struct FilterList {
    apr_array_header_t *agent_server_config::*sources;
    apr_array_header_t *agent_server_config::*compiled;
    const char *start;
    const char *null_entry;
    const char *not_compiled;      // source; null: no line of its own
    const char *star_not_compiled; // source; null: no line of its own
    const char *push_failed;
    const char *end;               // count
};

constexpr FilterList kFilterLists[] = {
    {&agent_server_config::virtual_host_filters, &agent_server_config::compiled_virtual_host_filters,
     "Compiling the virtual host name filters...", "Array of the virtual host name filters has a NULL entry",
     "Cannot compile the virtual host name filter \"%s\"",
     "Cannot compile the virtual host name filter \"%s\" - please specify \".*\" instead for disabling the Apache "
     "Agent for all virtual host names",
     "Cannot register the compiled virtual host name filter - failed to push into the array",
     " Total virtual host name filters compiled: %i"},
    {&agent_server_config::uri_filters, &agent_server_config::compiled_uri_filters, "Compiling URI filters...",
     "Array of URI filters has a NULL entry", "Cannot compile the URI filter \"%s\"",
     "Cannot compile the URI filter \"%s\" - please specify \".*\" instead for filtering all request URIs",
     "Cannot register the compiled URI filter - failed to push into the array", " Total URI filters compiled: %i"},
    {&agent_server_config::logout_urls, &agent_server_config::compiled_logout_urls,
     "Compiling session logout URLs...", "Array of session logout URLs has a NULL entry", nullptr, nullptr,
     "Cannot register the compiled session logout URL - failed to push into the array",
     " Total session logout URLs compiled: %i"},
    {&agent_server_config::attribute_filters, &agent_server_config::compiled_attribute_filters,
     "Compiling session attribute filters...", "Array of session attribute filters has a NULL entry",
     "Cannot compile the session attribute filter \"%s\"",
     "Cannot compile the session attribute filter \"%s\" - please specify \".*\" instead for exposing all session "
     "attributes",
     "Cannot register the compiled session attribute filter - failed to push into the array",
     " Total session attribute filters compiled: %i"},
};

bool compile_filter_list(agent_server_config *config, const FilterList &list, apr_pool_t *pconf) {
    const apr_array_header_t *sources = config->*list.sources;
    if (sources == nullptr || sources->elts == nullptr || sources->nelts == 0) return true;
    log_basic(config, "%s", list.start);
    apr_array_header_t *compiled = config->*list.compiled;
    for (int i = 0; i < sources->nelts; ++i) {
        const char *source = APR_ARRAY_IDX(sources, i, const char *);
        if (source == nullptr) {
            log_error(config, "%s", list.null_entry);
            return false;
        }
        if (source[0] == '\0') continue;
        ap_regex_t *regex = ap_pregcomp(pconf, source, 0);
        if (regex == nullptr) {
            const char *message = std::strcmp(source, "*") == 0 ? list.star_not_compiled : list.not_compiled;
            if (message != nullptr) log_error(config, message, source);
            return false;
        }
        auto **slot = compiled != nullptr ? static_cast<ap_regex_t **>(apr_array_push(compiled)) : nullptr;
        if (slot == nullptr) {
            log_error(config, "%s", list.push_failed);
            return false;
        }
        *slot = regex;
    }
    log_detailed(config, list.end, compiled->nelts);
    return true;
}

bool compile_start_page_filter(agent_server_config *config, apr_pool_t *pconf) {
    const char *source = config->start_page_url_filter;
    if (is_empty(source)) return true;
    log_basic(config, "Compiling the start page URL filter...");
    config->compiled_start_page_filter = ap_pregcomp(pconf, source, 0);
    if (config->compiled_start_page_filter == nullptr) {
        if (std::strcmp(source, "*") == 0)
            log_error(config, "Cannot compile the start page URL filter \"%s\" - please specify \".*\" instead for "
                              "exposing the start page for all requests",
                      source);
        else
            log_error(config, "Cannot compile the start page URL filter \"%s\"", source);
        return false;
    }
    log_detailed(config, " Succeeded to compile the start page URL filter");
    return true;
}

// ---- the library ----------------------------------------------------------

apr_status_t forget_library_server(void *);

// Once per start-up, with the main server's record: the library has one log
// target and one verbose level for the whole process.
bool initialize_library(const agent_server_config *config, server_rec *s, apr_pool_t *pconf) {
    if (nubrel_initialize() != 0) return false;
    nubrel_set_module_servrec(s);
    apr_pool_cleanup_register(pconf, nullptr, forget_library_server, apr_pool_cleanup_null);
    set_nubrel_verbose_level(static_cast<uint32_t>(config->library_verbose_level));
    if (const char *version = get_nubrel_library_version(); version != nullptr)
        ap_add_version_component(pconf, version);
    return true;
}

// One library instance per agent file, released with the configuration
// (restart, shutdown).
struct InstanceRelease {
    const agent_server_config *config;  // for its log level
    nubrel_instance *instance;
};

apr_status_t release_library_instance(void *data) {
    const auto *release = static_cast<const InstanceRelease *>(data);
    log_detailed(release->config, "Releasing a per module NBR API instance...");
    if (nubrel_release_instance(release->instance) != 0)
        log_error(release->config, "Cannot release a per module NBR API instance");
    return APR_SUCCESS;
}

// The server record goes with this configuration; until the next start-up
// hands over a new one, library lines go to Apache's main log.
apr_status_t forget_library_server(void *) {
    nubrel_set_module_servrec(nullptr);
    return APR_SUCCESS;
}

// A library instance that has read the record's agent file, or null after
// logging why not.
nubrel_instance *configured_instance(const agent_server_config *config) {
    log_basic(config, "Creating a per module NBR API instance...");
    nubrel_instance *instance = nubrel_create_instance();
    if (instance == nullptr) {
        log_error(config, "cannot create a per module NBR API instance...");
        return nullptr;
    }
    log_basic(config, "Configuring properties of a per module NBR API instance...");
    if (config->agent_config_file != nullptr) {
        log_basic(config, "Exposing the Quorvel Agent configuration file for the NBR API instance...");
        if (set_quorvelagent_configuration_file(instance, config->agent_config_file) != 0) {
            log_error(config, "Cannot set configuration file of Quorvel Agent for the NBR API instance...");
            if (nubrel_release_instance(instance) != 0)
                log_error(config, "Cannot release a per module NBR API instance");
            return nullptr;
        }
    }
    log_basic(config, "Succeeded to configure a per module NBR API instance");
    return instance;
}

bool create_library_instance(agent_server_config *config, apr_pool_t *pconf) {
    config->library_instance = configured_instance(config);
    if (config->library_instance == nullptr) return false;
    auto *release = static_cast<InstanceRelease *>(apr_palloc(pconf, sizeof(InstanceRelease)));
    *release = {config, config->library_instance};
    apr_pool_cleanup_register(pconf, release, release_library_instance, apr_pool_cleanup_null);
    return true;
}

// The instance that decodes tokens of the previous password: the current
// instance's suite and iteration count, the previous password in the form
// obfuscate-password says.
bool create_previous_library_instance(agent_server_config *config, apr_pool_t *pconf) {
    if (config->previous_password == nullptr) return true;
    log_basic(config, "Creating an NBR API instance for the previous password...");
    nubrel_instance *instance = nubrel_create_instance();
    if (instance == nullptr) {
        log_error(config, "Cannot create an NBR API instance for the previous password");
        return false;
    }
    int32_t suite = 0;
    int32_t iterations = 0;
    const bool keyed =
        get_nubrel_cipher_suite(config->library_instance, &suite) == 0 && set_nubrel_cipher_suite(instance, suite) == 0 &&
        get_nubrel_iterations_number(config->library_instance, &iterations) == 0 &&
        set_nubrel_iterations_number(instance, iterations) == 0 &&
        (config->obfuscate_password != 0 ? set_nubrel_obfuscated_password(instance, config->previous_password)
                                         : set_nubrel_password(instance, config->previous_password)) == 0;
    if (!keyed) {
        log_error(config, "Cannot set the previous password of the Quorvel Agent configuration file for its NBR API "
                          "instance");
        if (nubrel_release_instance(instance) != 0) log_error(config, "Cannot release a per module NBR API instance");
        return false;
    }
    config->previous_library_instance = instance;
    auto *release = static_cast<InstanceRelease *>(apr_palloc(pconf, sizeof(InstanceRelease)));
    *release = {config, instance};
    apr_pool_cleanup_register(pconf, release, release_library_instance, apr_pool_cleanup_null);
    return true;
}

bool load_templates(agent_server_config *config, apr_pool_t *pconf) {
    if (!is_empty(config->error_page_template_file) &&
        load_page_template(config, TEMPLATE_ERROR_PAGE, pconf) != 0)
        return false;
    if (!is_empty(config->start_page_template_file) &&
        load_page_template(config, TEMPLATE_START_PAGE, pconf) != 0)
        return false;
    return true;
}

// ---- every record that protects something ---------------------------------

bool same_text(const char *a, const char *b) { return a != nullptr && b != nullptr && std::strcmp(a, b) == 0; }

// A record already prepared for another server that reads the same agent file
// or templates lends them; records of one configuration are few.
const agent_server_config *prepared_with(server_rec *main_server, const agent_server_config *config,
                                         bool (*same)(const agent_server_config *, const agent_server_config *)) {
    for (server_rec *host = main_server; host != nullptr; host = host->next) {
        const agent_server_config *other = server_config_of(host);
        if (other != nullptr && other != config && other->active && same(other, config)) return other;
    }
    return nullptr;
}

bool same_agent_file(const agent_server_config *a, const agent_server_config *b) {
    return a->library_instance != nullptr && same_text(a->agent_config_file, b->agent_config_file);
}

bool same_templates(const agent_server_config *a, const agent_server_config *b) {
    const auto same_file = [](const char *x, const char *y) { return is_empty(x) ? is_empty(y) : same_text(x, y); };
    return same_file(a->error_page_template_file, b->error_page_template_file) &&
           same_file(a->start_page_template_file, b->start_page_template_file);
}

bool protects_something(const agent_server_config *config) {
    return config->uri_filters->nelts > 0 || config->auth_type_places > 0;
}

// Reads the agent file and checks one record: the settings taken together,
// the wire cookie name and every filter list, with what they make in `pool`.
// At a start the first failing step ends them; `keep_going` (the
// configuration test) runs every step that does not build on a failed one,
// so that one run reports all it can. The result is the number of failed steps.
int check_record(agent_server_config *config, server_rec *s, apr_pool_t *pool, apr_pool_t *values,
                 apr_pool_t *ptemp, bool keep_going) {
    int failures = 0;
    const auto failed = [&failures, keep_going] { return ++failures, !keep_going; };
    if (read_agent_config_file(config, ptemp, values) != 0) {
        if (failed()) return failures;
    } else {
        log_basic(config, "Ensuring whether configuration parameters are OK...");
        if (check_settings(config, s) > 0) {
            if (failed()) return failures;
        } else if (!derive_wire_cookie_name(config, pool) && failed()) {
            return failures;
        }
    }
    for (const FilterList &list : kFilterLists)
        if (!compile_filter_list(config, list, pool) && failed()) return failures;
    if (!compile_start_page_filter(config, pool) && failed()) return failures;
    return failures;
}

// Reads, checks and prepares one record, in the order of the main server's
// start-up; false after logging the first step that fails.
bool prepare_record(agent_server_config *config, server_rec *s, server_rec *main_server, apr_pool_t *pconf,
                    apr_pool_t *ptemp) {
    if (check_record(config, s, pconf, pconf, ptemp, false) > 0) return false;

    log_basic(config, "Performing post-configuration initialization...");
    if (s == main_server) {
        if (!initialize_library(config, s, pconf)) return false;
    } else if (config->library_verbose_level != server_config_of(main_server)->library_verbose_level) {
        log_warning(config,
                    "QuorvelNubrelLibVerboseLevel %i of this virtual host is not used - the Nubrel library has one "
                    "verbose level for the whole server, the main server's %i",
                    config->library_verbose_level, server_config_of(main_server)->library_verbose_level);
    }
    if (const agent_server_config *other = prepared_with(main_server, config, same_agent_file); other != nullptr) {
        log_basic(config, "Sharing the NBR API instance of the same Quorvel Agent configuration file...");
        config->library_instance = other->library_instance;
        config->previous_library_instance = other->previous_library_instance;
    } else if (!create_library_instance(config, pconf) || !create_previous_library_instance(config, pconf)) {
        return false;
    }
    if (const agent_server_config *other = prepared_with(main_server, config, same_templates); other != nullptr) {
        config->error_page_template = other->error_page_template;
        config->start_page_template = other->start_page_template;
    } else if (!load_templates(config, pconf)) {
        return false;
    }
    if (!prepare_revocation(config, s, pconf, ptemp)) return false;
    config->active = 1;
    return true;
}

// The records start-up prepares, main server first: every record that
// protects something, each once; with nothing protected anywhere, the main
// server's, whose checks say so.
bool anything_protected(server_rec *main_server) {
    for (server_rec *host = main_server; host != nullptr; host = host->next)
        if (protects_something(server_config_of(host))) return true;
    return false;
}

template <typename Visit>
void for_each_record_to_prepare(server_rec *main_server, Visit &&visit) {
    const agent_server_config *main_config = server_config_of(main_server);
    if (!anything_protected(main_server) || protects_something(main_config)) visit(main_server);
    for (server_rec *host = main_server->next; host != nullptr; host = host->next) {
        const agent_server_config *host_config = server_config_of(host);
        if (host_config == main_config || !protects_something(host_config)) continue;
        bool seen = false;
        for (server_rec *earlier = main_server->next; earlier != host && !seen; earlier = earlier->next)
            seen = server_config_of(earlier) == host_config;
        if (!seen) visit(host);
    }
}

// ---- the configuration test -----------------------------------------------

// What a record's checks made in the test's pool goes with it.
void forget_checked(agent_server_config *config) {
    for (apr_array_header_t *compiled : {config->compiled_virtual_host_filters, config->compiled_uri_filters,
                                         config->compiled_logout_urls, config->compiled_attribute_filters})
        if (compiled != nullptr) apr_array_clear(compiled);
    config->compiled_start_page_filter = nullptr;
    config->error_page_template = nullptr;
    config->start_page_template = nullptr;
    config->wire_cookie_name = config->cookie_name;
    config->wire_cookie_name_length = config->cookie_name_length;
}

// Every check of start-up for one record, nothing kept: the agent file as
// the module and the library read it, the settings, the filters, the
// templates and the revocation store's provider (never opened here). The
// number of failed steps.
int test_record(agent_server_config *config, server_rec *s, apr_pool_t *pconf, apr_pool_t *ptemp) {
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, ptemp) != APR_SUCCESS) {
        log_error(config, "Cannot test the configuration - out of memory");
        return 1;
    }
    int failures = check_record(config, s, pool, pconf, ptemp, true);
    if (nubrel_instance *instance = configured_instance(config); instance == nullptr)
        ++failures;
    else if (nubrel_release_instance(instance) != 0)
        log_error(config, "Cannot release a per module NBR API instance");
    if (!load_templates(config, pool)) ++failures;
    if (!check_revocation_store(config)) ++failures;
    forget_checked(config);
    apr_pool_destroy(pool);
    return failures;
}

// True on the first run of the hook: Apache reads its configuration twice at
// start, and only the second reading is the one that serves.
bool is_first_call(const agent_server_config *config, server_rec *s) {
    void *flag = nullptr;
    apr_pool_t *process_pool = s->process->pool;
    if (apr_pool_userdata_get(&flag, kInitializationFlag, process_pool) != APR_SUCCESS || flag != nullptr)
        return false;
    log_basic(config, "First call of post-configuration routine - declining until the second");
    if (apr_pool_userdata_set(reinterpret_cast<const void *>(1), kInitializationFlag, apr_pool_cleanup_null,
                              process_pool) != APR_SUCCESS) {
        log_error(config, "Cannot set the initialization flag");
        return false;
    }
    return true;
}

}  // namespace

int agent_post_config(apr_pool_t *pconf, apr_pool_t *, apr_pool_t *ptemp, server_rec *s) {
    agent_server_config *config = server_config_of(s);
    if (config == nullptr) {
        ap_log_error("mod_qv", __LINE__, APLOG_MODULE_INDEX, APLOG_EMERG | APLOG_NOERRNO, 0, s, "%s",
                     "The Apache Agent's configuration file is incorrectly configured. The Apache server failed to "
                     "start.");
        std::exit(2);
    }

    if (const int errors = configuration_errors(s); errors > 0) {
        log_error(config, "Total errors during the server's init sequence: %i", errors);
        refuse_to_start(config);
    }
    if (is_first_call(config, s)) return OK;

    log_basic(config, " ");
    log_basic(config, "Second call of post-configuration routine - verifying parameters and initializing the data");
    ap_add_version_component(pconf, kModuleVersion);
    report_process_model(config);

    count_auth_type_places(s, ptemp);
    // Every record that protects something is checked and prepared, never
    // left half-configured to let requests through. The library is set up
    // with the main server's record even when only virtual hosts protect.
    if (!protects_something(config) && anything_protected(s) && !initialize_library(config, s, pconf))
        refuse_to_start(config);
    for_each_record_to_prepare(s, [&](server_rec *host) {
        agent_server_config *host_config = server_config_of(host);
        if (!prepare_record(host_config, host, s, pconf, ptemp)) refuse_to_start(host_config);
    });

    log_basic(config, "Configuration has succeeded - running the QV module...");
    return OK;
}

int agent_check_config(apr_pool_t *pconf, apr_pool_t *, apr_pool_t *ptemp, server_rec *s) {
    // A real start or restart is checked where it always was, after Apache
    // has opened its logs; only a configuration test is judged here.
    const int mode = ap_state_query(AP_SQ_RUN_MODE);
    if (mode != AP_SQ_RM_CONFIG_TEST && mode != AP_SQ_RM_CONFIG_DUMP) return OK;
    agent_server_config *config = server_config_of(s);
    // Without a record (no memory for it) the start would fail too.
    if (config == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    // The library's lines of the test go where the module's go, under its tag.
    nubrel_set_module_servrec(s);
    int failures = 0;
    if (const int errors = configuration_errors(s); errors > 0) {
        log_error(config, "Total errors during the server's init sequence: %i", errors);
        failures += errors;
    }
    try {
        for_each_record_to_prepare(s, [&](server_rec *host) {
            failures += test_record(server_config_of(host), host, pconf, ptemp);
        });
    } catch (...) {
        log_error(config, "Cannot test the configuration - out of memory");
        ++failures;
    }
    nubrel_set_module_servrec(nullptr);
    if (failures == 0) return OK;
    log_error(config, "The Apache Agent's configuration is not valid (%i errors above): Apache would not start with it",
              failures);
    return HTTP_INTERNAL_SERVER_ERROR;
}

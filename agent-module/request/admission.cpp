// Request admission: which requests the agent looks at, what kind of request
// it is, and the removal of attribute headers that a client sent itself.
#include "request/admission.h"

#include "config/module_log.h"
#include "config/server_config.h"
#include "request/attributes.h"
#include "request/body_replay.h"
#include "request/path_forms.h"

#include <cstring>
#include <string>
#include <strings.h>

namespace {

constexpr const char *kHttpPrefix = "HTTP_";

bool is_empty(const apr_array_header_t *array) { return array == nullptr || array->nelts <= 0; }

// ServerName or a ServerAlias without wildcards of the virtual host.
bool is_declared_name(const server_rec *server, const char *host) {
    if (server->server_hostname != nullptr && strcasecmp(server->server_hostname, host) == 0) return true;
    if (server->names == nullptr) return false;
    for (int i = 0; i < server->names->nelts; ++i) {
        const char *name = APR_ARRAY_IDX(server->names, i, const char *);
        if (name != nullptr && strcasecmp(name, host) == 0) return true;
    }
    return false;
}

bool matches_any(const apr_array_header_t *compiled, const char *text, const agent_server_config *config,
                 const char *null_entry) {
    const auto *patterns = reinterpret_cast<ap_regex_t *const *>(compiled->elts);
    for (int i = 0; i < compiled->nelts; ++i) {
        if (patterns[i] == nullptr) {
            log_warning(config, "%s", null_entry);
            continue;
        }
        if (ap_regexec(patterns[i], text, 0, nullptr, 0) == 0) return true;
    }
    return false;
}

// A path alone, and followed by "?" and the query string.
bool path_matches(const request_rec *r, const agent_server_config *config, const char *path) {
    constexpr const char *kNullEntry = "Array of compiled URI filters has a NULL entry";
    if (matches_any(config->compiled_uri_filters, path, config, kNullEntry)) return true;
    return r->args != nullptr &&
           matches_any(config->compiled_uri_filters, apr_pstrcat(r->pool, path, "?", r->args, nullptr), config,
                       kNullEntry);
}

void clean_client_headers(request_rec *r, const agent_server_config *config) {
    const char *prefix = config->attribute_prefix;
    if (prefix == nullptr) return;
    log_basic(config, "Cleaning up headers with the prefix \"%s\"...", prefix);
    remove_headers(config, r->headers_in, prefix, remove_prefixed_header);
    // A CGI environment shows header X_A as HTTP_X_A, so a prefix HTTP_X_ also covers headers X_...
    if (std::strncmp(prefix, kHttpPrefix, std::strlen(kHttpPrefix)) == 0 && prefix[std::strlen(kHttpPrefix)] != '\0')
        remove_headers(config, r->headers_in, prefix + std::strlen(kHttpPrefix), remove_prefixed_header);
}

}  // namespace

const char *request_match_text(const request_rec *r) {
    const char *path = r->uri != nullptr ? r->uri : r->parsed_uri.path;
    if (path == nullptr) return r->unparsed_uri;
    if (r->args == nullptr) return path;
    return apr_pstrcat(r->pool, path, "?", r->args, nullptr);
}

int is_agent_disabled_for_host(request_rec *r, const agent_server_config *config) {
    log_basic(config, "Checking whether the Apache Agent is enabled for the requested host...");
    if (r->server == nullptr || !r->server->is_virtual) {
        log_detailed(config, "The requested host is not virtual - the Apache Agent is enabled for it");
        return 0;
    }
    log_detailed(config, "The requested host is virtual");
    if (config == nullptr || is_empty(config->virtual_host_filters)) {
        log_detailed(config, "The Apache Agent is enabled for the requested virtual host - the virtual host name "
                             "filters are not configured");
        return 0;
    }
    if (r->hostname == nullptr) {
        log_detailed(config, "Cannot check whether the Apache Agent is enabled for the requested virtual host - "
                             "hostname is NULL");
        return 0;
    }
    if (is_empty(config->compiled_virtual_host_filters)) {
        log_detailed(config, "The Apache Agent is enabled for the requested virtual host - the array of virtual host "
                             "name filters is empty");
        return 0;
    }
    // A name the client made up lands on the address's default host, which
    // must not be switched off by a name it never declared.
    if (!is_declared_name(r->server, r->hostname)) {
        log_detailed(config, "The requested host name \"%s\" is not declared by the virtual host - the Apache Agent "
                             "is enabled for it",
                     r->hostname);
        return 0;
    }
    if (matches_any(config->compiled_virtual_host_filters, r->hostname, config,
                    "Array of compiled virtual host name filters has a NULL entry")) {
        log_basic(config, "The Apache Agent is disabled for the virtual host \"%s\"", r->hostname);
        return 1;
    }
    if (config->virtual_host_filters->nelts > 1)
        log_detailed(config, "Virtual host \"%s\" does not match the Agent disabling filters", r->hostname);
    else
        log_detailed(config, "Virtual host \"%s\" does not match the Agent disabling filter", r->hostname);
    log_detailed(config, "The Apache Agent handlers will participate in handling the request");
    return 0;
}

int agent_post_read_request(request_rec *r) {
    const agent_server_config *config = server_config_of(r->server);
    if (config == nullptr || !config->active) return DECLINED;
    log_basic(config, " ");
    if (r->main != nullptr) {
        log_detailed(config, "Declining the post-read handling from a sub-request...");
        return DECLINED;
    }
    if (r->prev != nullptr) {
        log_detailed(config, "Declining the post-read handling from an internal redirect...");
        return DECLINED;
    }
    if (!is_agent_disabled_for_host(r, config)) {
        clean_client_headers(r, config);
        return DECLINED;
    }

    log_basic(config, "Searching the Apache Agent's input filter in the chain of request input filters...");
    ap_filter_t *filter = r->input_filters;
    while (filter != nullptr &&
           (filter->frec == nullptr || filter->frec->name == nullptr || std::strcmp(filter->frec->name, kInputFilterName) != 0))
        filter = filter->next;
    if (filter != nullptr) {
        log_basic(config, " Removing the Apache Agent's input filter as unnecessary for this request...");
        ap_remove_input_filter(filter);
    } else {
        log_detailed(config, " There is no Apache Agent's input filter in the chain of request input filters");
    }
    log_detailed(config, "Setting a flag indicating that all other Apache Agent's handlers should be disabled for this "
                         "request...");
    apr_table_setn(r->notes, kDisableModuleHandlersNote, "yes");
    return DECLINED;
}

int is_agent_disabled_for_request(const request_rec *r) {
    // Sub-requests and internal redirects start with notes of their own.
    for (;;) {
        if (r->main != nullptr) r = r->main;
        else if (r->prev != nullptr) r = r->prev;
        else break;
    }
    return apr_table_get(r->notes, kDisableModuleHandlersNote) != nullptr ? 1 : 0;
}

int is_ssl_on_plain_port(const request_rec *r) {
    if (r == nullptr || r->method_number != M_INVALID || r->method == nullptr) return 0;
    for (const char *c = r->method; *c != '\0'; ++c)
        if (*c == '\x01' || *c == '\x03') return 1;
    return 0;
}

int remove_prefixed_header(void *context, const char *name, const char *) {
    const auto *cleanup = static_cast<const header_cleanup_context *>(context);
    if (name == nullptr || cleanup->name == nullptr) return 1;
    if (!qv::header_has_prefix(name, cleanup->name)) return 1;
    log_detailed(cleanup->config, " Removing client-supplied header: %s", name);
    apr_table_unset(cleanup->headers, name);
    return 0;
}

int remove_named_header(void *context, const char *name, const char *) {
    const auto *cleanup = static_cast<const header_cleanup_context *>(context);
    if (name == nullptr || cleanup->name == nullptr) return 1;
    if (!qv::header_names_equal(name, cleanup->name)) return 1;
    log_detailed(cleanup->config, " Removing client-supplied header: %s", name);
    apr_table_unset(cleanup->headers, name);
    return 0;
}

void remove_headers(const agent_server_config *config, apr_table_t *headers, const char *name,
                    int (*callback)(void *, const char *, const char *)) {
    header_cleanup_context context{config, headers, name};
    // apr_table_unset only removes the spelling it is given and shifts the
    // entries behind it, so every removal starts a fresh pass.
    while (apr_table_do(callback, &context, headers, nullptr) == 0) {
    }
}

int is_protected_uri(const agent_server_config *config, const request_rec *r) {
    if (config == nullptr || is_empty(config->uri_filters)) {
        log_detailed(config, "Filtering by URI is disabled - filters are not configured");
        return 0;
    }
    if (is_empty(config->compiled_uri_filters)) {
        log_detailed(config, "Filtering by URI is disabled - array of filters is empty");
        return 0;
    }
    const char *method = r->method != nullptr ? r->method : "";
    const char *path = r->uri != nullptr ? r->uri : r->parsed_uri.path;
    if (path == nullptr) path = r->unparsed_uri;
    bool matched = path != nullptr && path_matches(r, config, path);
    if (!matched && path != nullptr) {
        for (const std::string &form : qv::other_path_forms(path)) {
            if (!path_matches(r, config, form.c_str())) continue;
            log_detailed(config, "The request path \"%s\" is read as \"%s\" by applications that normalise it further",
                         path, form.c_str());
            matched = true;
            break;
        }
    }
    if (matched) {
        log_basic(config, "The URI of %s request matches the filter of protected resources", method);
        return 1;
    }
    if (config->uri_filters->nelts > 1)
        log_detailed(config, "The URI of %s request does not match the filters", method);
    else
        log_detailed(config, "The URI of %s request does not match the filter", method);
    return 0;
}

int is_start_page_request(const agent_server_config *config, const request_rec *r) {
    if (config == nullptr || config->compiled_start_page_filter == nullptr) {
        log_detailed(config, "The start page filter is not configured");
        return 0;
    }
    const char *uri = request_match_text(r);
    if (uri != nullptr && ap_regexec(config->compiled_start_page_filter, uri, 0, nullptr, 0) == 0) {
        log_detailed(config, "The request URL does match the configured start page filter");
        return 1;
    }
    log_detailed(config, "The request URL does not match the configured start page filter");
    return 0;
}

int is_logout_url(request_rec *r, const agent_server_config *config) {
    if (r == nullptr || config == nullptr || is_empty(config->compiled_logout_urls)) return 0;
    const char *uri = request_match_text(r);
    if (uri == nullptr) return 0;
    return matches_any(config->compiled_logout_urls, uri, config, "Array of compiled logout URLs has a NULL entry") ? 1
                                                                                                                  : 0;
}

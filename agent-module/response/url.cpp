#include "response/url.h"

#include "response/url_syntax.h"
#include "config/module_log.h"

#include <cstdio>

int is_url_safe(const char *text) { return text == nullptr || qv::is_url_safe(text) ? 1 : 0; }

int url_safe_encode(char *buffer, const char *input, int length) {
    if (buffer == nullptr || input == nullptr || length < 0) return -1;
    qv::url_safe_encode_into(buffer, std::string_view(input, static_cast<size_t>(length)));
    return 0;
}

char *url_safe_copy(const agent_server_config *config, apr_pool_t *pool, const char *name, const char *input,
                    int length) {
    if (input == nullptr || length < 0) return nullptr;
    if (name == nullptr) name = "buffer";
    const std::string_view text(input, static_cast<size_t>(length));
    const size_t unsafe = qv::count_url_unsafe(text);
    if (unsafe == 0) {
        char *copy = apr_pstrmemdup(pool, input, text.size());
        if (copy == nullptr) log_error(config, "Cannot encode %s into a URL safe format", name);
        return copy;
    }
    auto *buffer = static_cast<char *>(apr_palloc(pool, text.size() + 2 * unsafe + 1));
    if (buffer == nullptr) {
        log_error(config, "Cannot encode %s into a URL safe format - out of APR pool", name);
        return nullptr;
    }
    if (url_safe_encode(buffer, input, length) != 0) {
        log_error(config, "Cannot encode %s into a URL safe format", name);
        return nullptr;
    }
    return buffer;
}

int validate_http_url(const agent_server_config *config, const char *url) {
    const qv::UrlCheck check = qv::check_http_url(url != nullptr ? url : "");
    if (check.problem == nullptr) return 0;
    char text[160];
    std::snprintf(text, sizeof text, check.problem, check.character);
    log_error(config, "%s", text);
    return -1;
}

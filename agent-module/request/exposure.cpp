// Session attribute exposure.
#include "request/exposure.h"

#include "request/attributes.h"
#include "config/module_log.h"
#include "config/server_config.h"

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

// The filters are regular expressions matched against every key of every
// session, and the keys of sessions repeat: each thread remembers its
// verdicts, per configuration (its compiled filters in one generation).
struct FilterVerdicts {
    const void *filters = nullptr;
    int generation = -1;
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view key) const noexcept { return std::hash<std::string_view>()(key); }
    };
    std::unordered_map<std::string, bool, Hash, std::equal_to<>> verdicts;
};
thread_local FilterVerdicts t_verdicts;
// Keys a thread remembers before it starts afresh.
constexpr size_t kMaxRememberedKeys = 512;

int match_filters(const agent_server_config *config, const char *key, size_t length) {
    const apr_array_header_t *filters = config->compiled_attribute_filters;
    const auto *patterns = reinterpret_cast<ap_regex_t *const *>(filters->elts);
    for (int i = 0; i < filters->nelts; ++i) {
        if (patterns[i] == nullptr) {
            log_warning(config, "Array of compiled session attribute filters has a NULL entry");
            continue;
        }
        // Matching with a length leaves the payload line untouched.
        if (ap_regexec_len(patterns[i], key, length, 0, nullptr, 0) == 0) return 1;
    }
    return 0;
}

}  // namespace

int attribute_filter_matches(const agent_server_config *config, const char *key, size_t length) {
    if (config == nullptr || key == nullptr || config->compiled_attribute_filters == nullptr) return 0;
    FilterVerdicts &remembered = t_verdicts;
    const int generation = ap_state_query(AP_SQ_CONFIG_GEN);
    if (remembered.filters != config->compiled_attribute_filters || remembered.generation != generation) {
        remembered.verdicts.clear();
        remembered.filters = config->compiled_attribute_filters;
        remembered.generation = generation;
    }
    const std::string_view name(key, length);
    if (const auto at = remembered.verdicts.find(name); at != remembered.verdicts.end()) return at->second ? 1 : 0;
    const int verdict = match_filters(config, key, length);
    try {
        if (remembered.verdicts.size() >= kMaxRememberedKeys) remembered.verdicts.clear();
        remembered.verdicts.emplace(name, verdict != 0);
    } catch (...) {
        // Without memory the verdict is simply not remembered.
    }
    return verdict;
}

int attribute_filter_matches(const agent_server_config *config, const char *key) {
    return key == nullptr ? 0 : attribute_filter_matches(config, key, std::strlen(key));
}

namespace {

// Puts every entry of a table into another: added when nothing of the name
// can be there, else replacing what it held under the name (exposing a
// session again gives the same values, not repeated ones).
void put_all(apr_table_t *target, const apr_table_t *values, Exposure how) {
    const apr_array_header_t *entries = apr_table_elts(values);
    const auto *entry = reinterpret_cast<const apr_table_entry_t *>(entries->elts);
    for (int i = 0; i < entries->nelts; ++i) {
        if (how == Exposure::first)
            apr_table_addn(target, entry[i].key, entry[i].val);
        else
            apr_table_setn(target, entry[i].key, entry[i].val);
    }
}

// The same names with '-' for '_', for back-ends that drop header names with '_'.
apr_table_t *dashed_names(apr_pool_t *pool, const apr_table_t *values) {
    const apr_array_header_t *entries = apr_table_elts(values);
    apr_table_t *dashed = apr_table_make(pool, entries->nelts);
    const auto *items = reinterpret_cast<const apr_table_entry_t *>(entries->elts);
    for (int i = 0; i < entries->nelts; ++i) {
        char *name = apr_pstrdup(pool, items[i].key);
        for (char *c = name; *c != '\0'; ++c)
            if (*c == '_') *c = '-';
        apr_table_setn(dashed, name, items[i].val);
    }
    return dashed;
}

}  // namespace

int expose_session_attributes(const char *payload, request_rec *r, const agent_server_config *config,
                              apr_table_t *session_headers, Exposure how) {
    const bool to_environment = config->expose_to_environment != 0;
    const bool to_headers = config->expose_to_headers != 0;
    if (!to_environment && !to_headers) return 0;
    if (payload == nullptr) return -1;
    if (payload[0] == '\0') return 0;

    if (to_environment && to_headers)
        log_basic(config, "Exposing session information into the environment variables and HTTP headers...");
    else if (to_environment)
        log_basic(config, "Exposing session information into the environment variables...");
    else
        log_basic(config, "Exposing session information into the HTTP headers...");

    const std::string_view prefix = config->attribute_prefix != nullptr ? config->attribute_prefix : "";
    int environment_count = 0;
    int header_count = 0;
    // Repeated keys are merged into one value first.
    apr_table_t *values = apr_table_make(r->pool, 16);
    std::string_view rest(payload);
    qv::PayloadItem item;
    while (qv::next_payload_item(rest, item)) {
        if (!attribute_filter_matches(config, item.key.data(), item.key.size())) continue;
        if (item.key.substr(0, qv::kUpdateFlagKey.size()) == qv::kUpdateFlagKey) continue;
        // A header or variable needs a name.
        if (prefix.empty() && item.key.empty()) continue;

        auto *name = static_cast<char *>(apr_palloc(r->pool, prefix.size() + item.key.size() + 1));
        const std::string_view stripped = qv::strip_value(item.value);
        auto *value = name == nullptr ? nullptr
                                      : static_cast<char *>(apr_palloc(
                                            r->pool, stripped.size() - qv::escaped_pair_count(stripped) + 1));
        if (name == nullptr || value == nullptr) {
            log_error(config, "Cannot expose session information - out of APR request pool");
            return -1;
        }
        qv::attribute_name_into(name, prefix, item.key);
        qv::unescape_into(value, stripped);

        apr_table_mergen(values, name, value);
        if (to_environment) ++environment_count;
        if (to_headers) ++header_count;
    }
    if (to_environment) put_all(r->subprocess_env, values, how);
    if (to_headers) {
        const apr_table_t *headers = config->attribute_headers_dashed != 0 ? dashed_names(r->pool, values) : values;
        put_all(r->headers_in, headers, how);
        if (session_headers != nullptr) put_all(session_headers, headers, Exposure::first);
    }
    if (environment_count > 0) log_debug(config, " Total environment variables added: %i", environment_count);
    if (header_count > 0) log_debug(config, " Total request HTTP headers added: %i", header_count);
    return 0;
}

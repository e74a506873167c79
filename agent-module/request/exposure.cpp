// Session attribute exposure.
#include "request/exposure.h"

#include "request/attributes.h"
#include "config/module_log.h"
#include "config/server_config.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
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

void log_exposure(const agent_server_config *config) {
    if (config->expose_to_environment != 0 && config->expose_to_headers != 0)
        log_basic(config, "Exposing session information into the environment variables and HTTP headers...");
    else if (config->expose_to_environment != 0)
        log_basic(config, "Exposing session information into the environment variables...");
    else
        log_basic(config, "Exposing session information into the HTTP headers...");
}

}  // namespace

ExposedValues collect_exposed_values(const char *payload, const agent_server_config *config) {
    ExposedValues collected;
    if (payload == nullptr || (config->expose_to_environment == 0 && config->expose_to_headers == 0))
        return collected;
    const std::string_view prefix = config->attribute_prefix != nullptr ? config->attribute_prefix : "";
    // Merged values by name, in the order their names first appear. Names
    // are upper-cased whole, so Apache's tables, which compare them letter
    // case aside, hold one where these hold one.
    std::vector<std::pair<std::string, std::string>> values;
    values.reserve(32);
    size_t total = 0;
    std::string_view rest(payload);
    qv::PayloadItem item;
    while (qv::next_payload_item(rest, item)) {
        if (!attribute_filter_matches(config, item.key.data(), item.key.size())) continue;
        if (item.key.substr(0, qv::kUpdateFlagKey.size()) == qv::kUpdateFlagKey) continue;
        // A header or variable needs a name.
        if (prefix.empty() && item.key.empty()) continue;
        std::string name = qv::attribute_name(prefix, item.key);
        std::string value = qv::unescape_value(qv::strip_value(item.value));
        ++collected.items;
        const auto same = std::find_if(values.begin(), values.end(), [&name](const auto &entry) { return entry.first == name; });
        total += value.size() + 2;
        if (same == values.end()) {
            total += name.size() + 2;
            values.emplace_back(std::move(name), std::move(value));
        } else {
            same->second.append(", ").append(value);
        }
    }
    collected.pairs.reserve(total);
    for (const auto &[name, value] : values) {
        collected.pairs.append(name).push_back('\0');
        collected.pairs.append(value).push_back('\0');
    }
    return collected;
}

void expose_values(const std::string &pairs, int items, request_rec *r, const agent_server_config *config,
                   apr_table_t *session_headers, Exposure how) {
    const bool to_environment = config->expose_to_environment != 0;
    const bool to_headers = config->expose_to_headers != 0;
    if (!to_environment && !to_headers) return;
    log_exposure(config);
    // The request's tables keep pointers: one copy in its pool serves them all.
    const char *text = static_cast<const char *>(apr_pmemdup(r->pool, pairs.data(), pairs.size()));
    const char *const end = text + pairs.size();
    const auto put = [how](apr_table_t *table, const char *name, const char *value) {
        if (how == Exposure::first)
            apr_table_addn(table, name, value);
        else
            apr_table_setn(table, name, value);
    };
    while (text < end) {
        const char *name = text;
        const char *value = name + std::strlen(name) + 1;
        text = value + std::strlen(value) + 1;
        if (to_environment) put(r->subprocess_env, name, value);
        if (!to_headers) continue;
        const char *header = name;
        if (config->attribute_headers_dashed != 0) {
            char *dashed = apr_pstrdup(r->pool, name);
            for (char *c = dashed; *c != '\0'; ++c)
                if (*c == '_') *c = '-';
            header = dashed;
        }
        put(r->headers_in, header, value);
        if (session_headers != nullptr) apr_table_addn(session_headers, header, value);
    }
    if (to_environment && items > 0) log_debug(config, " Total environment variables added: %i", items);
    if (to_headers && items > 0) log_debug(config, " Total request HTTP headers added: %i", items);
}

int expose_session_attributes(const char *payload, request_rec *r, const agent_server_config *config,
                              apr_table_t *session_headers, Exposure how) {
    if (config->expose_to_environment == 0 && config->expose_to_headers == 0) return 0;
    if (payload == nullptr) return -1;
    if (payload[0] == '\0') return 0;
    const ExposedValues collected = collect_exposed_values(payload, config);
    expose_values(collected.pairs, collected.items, r, config, session_headers, how);
    return 0;
}

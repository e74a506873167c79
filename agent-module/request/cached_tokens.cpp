#include "request/cached_tokens.h"

#include "config/module_log.h"
#include "config/server_config.h"
#include "request/session.h"
#include "request/token_cache.h"

#include <mod_status.h>

#include <cstring>
#include <new>

#include <unistd.h>

namespace {

// One per process; written only while the process starts, before it serves.
qv::TokenCache *g_cache = nullptr;

apr_status_t drop_cache(void *) {
    delete g_cache;
    g_cache = nullptr;
    return APR_SUCCESS;
}

}  // namespace

void agent_child_init(apr_pool_t *pchild, server_rec *s) {
    const agent_server_config *config = server_config_of(s);
    delete g_cache;
    g_cache = nullptr;
    if (config == nullptr || config->token_cache_entries <= 0 || config->token_cache_bytes <= 0) return;
    g_cache = new (std::nothrow) qv::TokenCache(
        {static_cast<size_t>(config->token_cache_entries), static_cast<size_t>(config->token_cache_bytes)});
    if (g_cache == nullptr) {
        log_error(config, "Cannot create the token cache - out of memory");
        return;
    }
    apr_pool_cleanup_register(pchild, nullptr, drop_cache, apr_pool_cleanup_null);
}

int agent_status_hook(request_rec *r, int flags) {
    if (g_cache == nullptr) return OK;
    const qv::TokenCacheStatistics figures = g_cache->statistics();
    const auto rate = figures.lookups == 0 ? 0.0 : 100.0 * static_cast<double>(figures.hits) / figures.lookups;
    if ((flags & AP_STATUS_SHORT) != 0) {
        ap_rprintf(r,
                   "QvTokenCacheLookups: %" APR_UINT64_T_FMT "\nQvTokenCacheHits: %" APR_UINT64_T_FMT
                   "\nQvTokenCacheEntries: %" APR_UINT64_T_FMT "\nQvTokenCacheBytes: %" APR_UINT64_T_FMT
                   "\nQvTokenCacheEvictions: %" APR_UINT64_T_FMT "\n",
                   figures.lookups, figures.hits, figures.entries, figures.bytes, figures.evictions);
    } else {
        ap_rprintf(r,
                   "<hr />\n<h2>mod_qv token cache of process %" APR_PID_T_FMT "</h2>\n<dl><dt>%" APR_UINT64_T_FMT
                   " lookups, %" APR_UINT64_T_FMT " hits (%.1f%%)</dt><dt>%" APR_UINT64_T_FMT " entries, %" APR_UINT64_T_FMT
                   " bytes, %" APR_UINT64_T_FMT " evicted</dt></dl>\n",
                   getpid(), figures.lookups, figures.hits, rate, figures.entries, figures.bytes, figures.evictions);
    }
    return OK;
}

bool take_cached_decoding(const agent_server_config *config, request_rec *r, Session &session) {
    if (g_cache == nullptr) return false;
    const auto kept = g_cache->decoded(config->library_instance, session.token);
    if (!kept) return false;
    // The library frees, and may grow, what its payload functions are handed.
    char *payload = static_cast<char *>(nubrel_malloc(kept->payload.size() + 1));
    if (payload == nullptr) return false;
    std::memcpy(payload, kept->payload.c_str(), kept->payload.size() + 1);
    session.data.version = kept->version;
    session.data.cipher_suite = kept->cipher_suite;
    session.data.payload = payload;
    session.data.payload_length = static_cast<uint32_t>(kept->payload.size());
    session.password = kept->password;
    session.from_cache = true;
    session.times = kept->times;
    session.times_known = true;
    session.subject = kept->subject ? apr_pstrmemdup(r->pool, kept->subject->data(), kept->subject->size()) : nullptr;
    session.subject_known = true;
    session.renewal = kept.renewal;
    log_detailed(config, "The token has been decoded before - its payload comes from the token cache");
    return true;
}

bool keep_decoding(const agent_server_config *config, const Session &session) {
    if (g_cache == nullptr || session.data.payload == nullptr || !session.times_known || !session.subject_known ||
        !g_cache->offered_before_decoded(config->library_instance, session.token))
        return false;
    qv::DecodedToken decoded{session.data.version, session.data.cipher_suite,
                             std::string(session.data.payload, session.data.payload_length), session.password,
                             session.times, std::nullopt};
    if (session.subject != nullptr) decoded.subject = std::string(session.subject);
    g_cache->keep_decoded(config->library_instance, session.token, decoded);
    return true;
}

void remember_renewal(const agent_server_config *config, const Session &session,
                      std::shared_ptr<const qv::Renewal> renewal) {
    if (g_cache != nullptr) g_cache->remember_renewal(config->library_instance, session.token, std::move(renewal));
}

const char *cached_encoding(const agent_server_config *config, request_rec *r, std::string_view payload) {
    if (g_cache == nullptr) return nullptr;
    const auto kept = g_cache->encoded(config->library_instance, payload);
    if (!kept) return nullptr;
    log_detailed(config, "The renewed payload has been encoded before - its token comes from the token cache");
    return apr_pstrmemdup(r->pool, kept->data(), kept->size());
}

void keep_encoding(const agent_server_config *config, const Session &session, const nubrel_tokendata &data,
                   std::string_view token) {
    if (g_cache == nullptr || data.payload == nullptr) return;
    const std::string_view payload(data.payload, data.payload_length);
    if (!session.from_cache && !session.kept) {
        if (g_cache->offered_before_encoded(config->library_instance, payload))
            g_cache->keep_encoded(config->library_instance, payload, token);
        (void)g_cache->offered_before_decoded(config->library_instance, token);
        return;
    }
    g_cache->keep_encoded(config->library_instance, payload, token);
    // Tokens the agent encodes are read back the next time: their times are
    // read once, now.
    qv::DecodedToken decoded{data.version, data.cipher_suite, std::string(payload), 0, {}, std::nullopt};
    if (nubrel_get_payload_time(data.payload, "not-before", &decoded.times.not_before) != 0 ||
        nubrel_get_payload_time(data.payload, "renew-until", &decoded.times.renew_until) != 0 ||
        nubrel_get_payload_time(data.payload, "not-on-or-after", &decoded.times.not_on_or_after) != 0)
        return;
    if (char *subject = nubrel_get_payload_value(data.payload, "subject"); subject != nullptr) {
        decoded.subject = std::string(subject);
        nubrel_free(subject);
    }
    g_cache->keep_decoded(config->library_instance, token, decoded);
}

#include "config/revocation_store.h"

#include "config/config_file.h"
#include "config/module_log.h"
#include "config/revocation_values.h"
#include "config/server_config.h"

#include <ap_provider.h>
#include <ap_socache.h>
#include <apr_global_mutex.h>
#include <util_mutex.h>

#include <new>

namespace {

constexpr const char *kMutexType = "qv-revocation";
// The providers prefix keys with it, so the store can be shared with other users.
constexpr const char *kNamespace = "qv-revocation";
constexpr const char *kStorePrefix = "qv-revocation-store:";
constexpr const char *kKeptPrefix = "qv-revocation-kept:";
// An instance that lives in the process pool: its entries and its mutex
// survive graceful restarts, which shmcb's memory would not.
struct KeptInstance {
    ap_socache_instance_t *instance;
    apr_global_mutex_t *mutex;
};

}  // namespace

struct RevocationStore {
    const char *address;
    const char *provider_name;
    const ap_socache_provider_t *provider;
    ap_socache_instance_t *instance;
    apr_global_mutex_t *mutex;  // for providers not safe across processes
    bool joined;                // child_init has run for the mutex
    qv::RevocationMemo memo;
};

namespace {

apr_status_t delete_store(void *data) {
    delete static_cast<RevocationStore *>(data);
    return APR_SUCCESS;
}

struct InstanceRelease {
    RevocationStore *store;
    server_rec *server;
};

apr_status_t destroy_instance(void *data) {
    const auto *release = static_cast<const InstanceRelease *>(data);
    release->store->provider->destroy(release->store->instance, release->server);
    return APR_SUCCESS;
}

bool keeps_across_generations(std::string_view provider) { return provider == "shmcb"; }

bool needs_mutex(const ap_socache_provider_t *provider) {
    return (provider->flags & AP_SOCACHE_FLAG_NOTMPSAFE) != 0;
}

const ap_socache_provider_t *find_provider(const agent_server_config *config, const char *name) {
    const auto *provider = static_cast<const ap_socache_provider_t *>(
        ap_lookup_provider(AP_SOCACHE_PROVIDER_GROUP, name, AP_SOCACHE_PROVIDER_VERSION));
    if (provider != nullptr) return provider;
    const std::string_view module = qv::store_provider_module(name);
    if (module.empty())
        log_error(config,
                  "QuorvelRevocationStore: unknown shared object cache provider \"%s\" - use shmcb, redis or "
                  "memcache",
                  name);
    else
        log_error(config,
                  "QuorvelRevocationStore: the shared object cache provider \"%s\" is not loaded - add "
                  "\"LoadModule %.*s_module %s/mod_%.*s.so\" (on Debian: a2enmod %.*s)",
                  name, static_cast<int>(module.size()), module.data(), QV_APACHE_MODULE_DIR,
                  static_cast<int>(module.size()), module.data(), static_cast<int>(module.size()), module.data());
    return nullptr;
}

bool open_instance(const agent_server_config *config, RevocationStore *store, const char *argument,
                   server_rec *s, apr_pool_t *pool, apr_pool_t *ptemp) {
    const char *error = store->provider->create(&store->instance, argument, ptemp, pool);
    if (error != nullptr) {
        log_error(config, "QuorvelRevocationStore %s: %s", store->address, error);
        return false;
    }
    const ap_socache_hints hints{32, 1, apr_time_from_sec(60)};
    if (const apr_status_t status = store->provider->init(store->instance, kNamespace, &hints, s, pool);
        status != APR_SUCCESS) {
        log_error(config, "QuorvelRevocationStore %s: the store cannot be initialised (%s)", store->address,
                  apr_error_text(status).text);
        return false;
    }
    if (needs_mutex(store->provider) &&
        ap_global_mutex_create(&store->mutex, nullptr, kMutexType, nullptr, s, pool, 0) != APR_SUCCESS) {
        log_error(config, "QuorvelRevocationStore %s: cannot create the global mutex \"%s\"", store->address,
                  kMutexType);
        return false;
    }
    return true;
}

// The store of this configuration for the address: shared by every record
// that names it, opened once per configuration; a shmcb store is opened once
// per server process and found again by later configurations.
RevocationStore *open_store(const agent_server_config *config, server_rec *s, apr_pool_t *pconf,
                            apr_pool_t *ptemp) {
    const char *address = config->revocation_store_address;
    const char *key = apr_pstrcat(pconf, kStorePrefix, address, nullptr);
    void *shared = nullptr;
    if (apr_pool_userdata_get(&shared, key, pconf) == APR_SUCCESS && shared != nullptr)
        return static_cast<RevocationStore *>(shared);

    const auto parsed = qv::parse_store_address(address);
    if (!parsed) {
        log_error(config, "QuorvelRevocationStore \"%s\": the provider's name is missing", address);
        return nullptr;
    }
    const char *name = apr_pstrmemdup(pconf, parsed->provider.data(), parsed->provider.size());
    const char *argument = apr_pstrmemdup(pconf, parsed->argument.data(), parsed->argument.size());
    const ap_socache_provider_t *provider = find_provider(config, name);
    if (provider == nullptr) return nullptr;

    auto *store = new (std::nothrow) RevocationStore{address, name, provider, nullptr, nullptr, false, {}};
    if (store == nullptr) return nullptr;
    apr_pool_cleanup_register(pconf, store, delete_store, apr_pool_cleanup_null);

    if (keeps_across_generations(name)) {
        apr_pool_t *process_pool = s->process->pool;
        const char *kept_key = apr_pstrcat(process_pool, kKeptPrefix, address, nullptr);
        void *found = nullptr;
        if (apr_pool_userdata_get(&found, kept_key, process_pool) == APR_SUCCESS && found != nullptr) {
            const auto *kept = static_cast<const KeptInstance *>(found);
            store->instance = kept->instance;
            store->mutex = kept->mutex;
            log_basic(config, "Revocation store %s: keeping the entries of the previous configuration", address);
        } else {
            if (!open_instance(config, store, argument, s, process_pool, ptemp)) return nullptr;
            auto *kept = static_cast<KeptInstance *>(apr_palloc(process_pool, sizeof(KeptInstance)));
            *kept = {store->instance, store->mutex};
            apr_pool_userdata_set(kept, kept_key, apr_pool_cleanup_null, process_pool);
        }
    } else {
        if (!open_instance(config, store, argument, s, pconf, ptemp)) return nullptr;
        auto *release = static_cast<InstanceRelease *>(apr_palloc(pconf, sizeof(InstanceRelease)));
        *release = {store, s};
        apr_pool_cleanup_register(pconf, release, destroy_instance, apr_pool_cleanup_null);
    }
    apr_pool_userdata_set(store, key, apr_pool_cleanup_null, pconf);
    log_basic(config, "Revocation store %s: opened with the shared object cache provider \"%s\"", address, name);
    return store;
}

// The store's calls, under the global mutex when the provider needs one.
template <typename Call>
apr_status_t locked(RevocationStore *store, Call call) {
    if (store->mutex != nullptr && apr_global_mutex_lock(store->mutex) != APR_SUCCESS) return APR_EGENERAL;
    const apr_status_t status = call();
    if (store->mutex != nullptr) apr_global_mutex_unlock(store->mutex);
    return status;
}

const unsigned char *id_bytes(const std::string &id) { return reinterpret_cast<const unsigned char *>(id.data()); }

}  // namespace

int revocation_pre_config(apr_pool_t *pconf, apr_pool_t *, apr_pool_t *) {
    return ap_mutex_register(pconf, kMutexType, nullptr, APR_LOCK_DEFAULT, 0) == APR_SUCCESS ? OK : 500;
}

bool check_revocation_store(const agent_server_config *config) {
    if (config->revocation_store_address == nullptr || config->revocation_store_address[0] == '\0') return true;
    if (config->agent_password == nullptr) {
        log_error(config, "QuorvelRevocationStore: the agent configuration file holds no password to derive the "
                          "session identifiers' key from");
        return false;
    }
    const auto parsed = qv::parse_store_address(config->revocation_store_address);
    if (!parsed) {
        log_error(config, "QuorvelRevocationStore \"%s\": the provider's name is missing",
                  config->revocation_store_address);
        return false;
    }
    return find_provider(config, std::string(parsed->provider).c_str()) != nullptr;
}

bool prepare_revocation(agent_server_config *config, server_rec *s, apr_pool_t *pconf, apr_pool_t *ptemp) {
    config->revocation_store = nullptr;
    if (config->revocation_store_address == nullptr || config->revocation_store_address[0] == '\0') return true;
    if (!check_revocation_store(config)) return false;
    // Every key a session may be identified by: the current password's, and
    // during a roll-over the previous one's, so that servers on either side
    // of the change see each other's logouts.
    config->revocation_keys = apr_array_make(pconf, 2, sizeof(qv::RevocationKey));
    *static_cast<qv::RevocationKey *>(apr_array_push(config->revocation_keys)) =
        qv::derive_revocation_key(config->agent_password);
    if (config->previous_password != nullptr)
        *static_cast<qv::RevocationKey *>(apr_array_push(config->revocation_keys)) =
            qv::derive_revocation_key(config->previous_password);

    config->revocation_store = open_store(config, s, pconf, ptemp);
    if (config->revocation_store == nullptr) return false;
    log_basic(config,
              "Signed-out sessions are refused: store %s, checked at least every %i sec, store required: %s",
              config->revocation_store_address, config->revocation_check_interval,
              config->revocation_required ? "on" : "off");
    return true;
}

void revocation_child_init(apr_pool_t *pchild, server_rec *s) {
    for (server_rec *host = s; host != nullptr; host = host->next) {
        const agent_server_config *config = server_config_of(host);
        RevocationStore *store = config != nullptr && config->active ? config->revocation_store : nullptr;
        if (store == nullptr || store->mutex == nullptr || store->joined) continue;
        store->joined = true;
        if (apr_global_mutex_child_init(&store->mutex, apr_global_mutex_lockfile(store->mutex), pchild) !=
            APR_SUCCESS) {
            log_error(config, "Revocation store %s: cannot join the global mutex in a child process",
                      store->address);
            store->mutex = nullptr;
        }
    }
}

StoreAnswer store_lookup(RevocationStore *store, request_rec *r, const std::string &id) {
    unsigned char data[16];
    unsigned int length = sizeof data;
    const apr_status_t status = locked(store, [&] {
        return store->provider->retrieve(store->instance, r->server, id_bytes(id), static_cast<unsigned>(id.size()),
                                         data, &length, r->pool);
    });
    if (status == APR_SUCCESS) return StoreAnswer::found;
    return APR_STATUS_IS_NOTFOUND(status) ? StoreAnswer::not_found : StoreAnswer::failed;
}

bool store_record(RevocationStore *store, request_rec *r, const std::string &id, int64_t expiry) {
    unsigned char data[] = {'1'};
    const apr_status_t status = locked(store, [&] {
        return store->provider->store(store->instance, r->server, id_bytes(id), static_cast<unsigned>(id.size()),
                                      apr_time_from_sec(expiry), data, sizeof data, r->pool);
    });
    return status == APR_SUCCESS;
}

qv::RevocationMemo &store_memo(RevocationStore *store) { return store->memo; }

std::string_view store_provider(const RevocationStore *store) { return store->provider_name; }

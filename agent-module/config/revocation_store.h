// The store of signed-out sessions: an instance of one of Apache's shared
// object cache providers (shmcb, redis, memcache), opened at start-up and
// shared by every record that names the same store, with what each process
// remembers of its answers.
#pragma once

#include "config/apache.h"
#include "config/revocation_memo.h"

#include <cstdint>
#include <string>
#include <string_view>

struct agent_server_config;
struct RevocationStore;

// pre_config: registers the global mutex type "qv-revocation", which Apache's
// Mutex directive may configure.
int revocation_pre_config(apr_pool_t *pconf, apr_pool_t *plog, apr_pool_t *ptemp);

// What start-up checks of QuorvelRevocationStore without opening anything
// (the configuration test runs it too): the agent file's password to derive
// keys from, the address, and a provider that is known and loaded (else the
// LoadModule line to add). True when nothing is configured or all is well.
bool check_revocation_store(const agent_server_config *config);

// Post-config, for a record that protects something: derives the keys of
// session identifiers and opens the store QuorvelRevocationStore names (a
// provider that is unknown or not loaded is refused, naming the LoadModule
// line). True when there is nothing to open; false after logging.
bool prepare_revocation(agent_server_config *config, server_rec *s, apr_pool_t *pconf, apr_pool_t *ptemp);

// child_init: joins the global mutexes of stores that need one.
void revocation_child_init(apr_pool_t *pchild, server_rec *s);

enum class StoreAnswer { found, not_found, failed };

StoreAnswer store_lookup(RevocationStore *store, request_rec *r, const std::string &id);
// Keeps the entry until `expiry` (seconds); false when the store failed.
bool store_record(RevocationStore *store, request_rec *r, const std::string &id, int64_t expiry);
qv::RevocationMemo &store_memo(RevocationStore *store);
std::string_view store_provider(const RevocationStore *store);

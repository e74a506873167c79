// The token cache of this server process (request/token_cache.h): made when
// the process starts serving, gone with it, so that a restart with another
// password or agent file starts empty.
#pragma once

#include "config/apache.h"

#include <nubrel.h>

#include "request/token_cache.h"

#include <memory>
#include <string_view>

struct agent_server_config;
struct Session;

// Child-init hook: the cache, with the main server's bounds.
void agent_child_init(apr_pool_t *pchild, server_rec *s);

// mod_status hook: the cache's figures of the process that answers.
int agent_status_hook(request_rec *r, int flags);

// Fills the session's decoded data from the cache; false when the token is not
// kept (or there is no cache).
bool take_cached_decoding(const agent_server_config *config, request_rec *r, Session &session);

// Keeps what decoding the session's token gave, once its times are read,
// when the token was offered before (see TokenCache::offered_before_decoded);
// true when it is kept.
bool keep_decoding(const agent_server_config *config, const Session &session);

// Records the renewal of a kept token for the session's next requests.
void remember_renewal(const agent_server_config *config, const Session &session,
                      std::shared_ptr<const qv::Renewal> renewal);

// The token kept for this renewed payload, or null (a request-pool copy).
const char *cached_encoding(const agent_server_config *config, request_rec *r, std::string_view payload);

// Keeps a token the agent encoded for a session whose token is kept, both
// ways: its payload gives it again, and the browser's next request with it
// is a hit. For any other session it is only offered, and kept when it comes
// back.
void keep_encoding(const agent_server_config *config, const Session &session, const nubrel_tokendata &data,
                   std::string_view token);

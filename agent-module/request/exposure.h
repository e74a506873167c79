// Session attributes handed to the protected application as request headers
// and environment variables.
#pragma once

#include "config/apache.h"

#include <cstddef>
#include <string>

struct agent_server_config;

// How the values reach the request's tables.
enum class Exposure {
    // Nothing of the session is in the tables yet, and the prefix keeps
    // every other header of these names out: the values are added.
    first,
    // The values replace any of the same name (a session exposed again after
    // an internal redirect, or a request without a prefix).
    replacing,
};

// What exposing a payload under a configuration gives, kept in a form a
// cache can hold: "NAME\0VALUE\0" pairs with the exposed names, repeated keys
// merged into one ", "-joined value, in payload order; `items` counts the
// payload items before merging.
struct ExposedValues {
    std::string pairs;
    int items = 0;
};
ExposedValues collect_exposed_values(const char *payload, const agent_server_config *config);

// Puts collected values into headers_in and/or subprocess_env (and
// session_headers, when given, what goes to headers_in).
void expose_values(const std::string &pairs, int items, request_rec *r, const agent_server_config *config,
                   apr_table_t *session_headers, Exposure how);

// Adds every payload item whose key a session attribute filter matches, named
// with the attribute prefix and upper-cased, to headers_in and/or
// subprocess_env; repeated keys are merged into one ", "-joined value.
// session_headers, when given, also receives what goes to headers_in.
// 0, or -1 for a null payload or on pool exhaustion.
int expose_session_attributes(const char *payload, request_rec *r, const agent_server_config *config,
                              apr_table_t *session_headers, Exposure how = Exposure::replacing);

// 1 when a compiled QuorvelSessionAttrFilter matches the key, else 0.
int attribute_filter_matches(const agent_server_config *config, const char *key);
int attribute_filter_matches(const agent_server_config *config, const char *key, size_t length);

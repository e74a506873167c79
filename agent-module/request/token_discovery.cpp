// Finding the session token in a request.
#include "request/token_discovery.h"

#include "request/body_replay.h"
#include "config/config_file.h"
#include "request/token_search.h"
#include "config/module_log.h"
#include "config/server_config.h"

#include <nubrel.h>

#include <apr_buckets.h>

#include <cstring>
#include <string_view>
#include <strings.h>

namespace {

constexpr const char *kFormContentType = "application/x-www-form-urlencoded";
constexpr apr_off_t kReadChunk = 4000;

std::string_view cookie_name_of(const agent_server_config *config) {
    return config->cookie_name != nullptr ? std::string_view(config->cookie_name) : std::string_view();
}

const char *printable_cookie_name(const agent_server_config *config) {
    return config->cookie_name != nullptr ? config->cookie_name : "";
}

// The library's verdict on a token candidate.
bool is_library_token(std::string_view value) {
    return is_nubrel(value.data(), static_cast<int32_t>(value.size())) == 1;
}

// The accepted token as a request-pool copy, or null after logging.
char *copy_token(request_rec *r, const agent_server_config *config, std::string_view value) {
    log_detailed(config, "Token has the Nubrel type - applicable");
    char *copy = apr_pstrmemdup(r->pool, value.data(), value.size());
    if (copy == nullptr)
        log_error(config, "Cannot duplicate \"%s\" token - out of APR request pool", printable_cookie_name(config));
    return copy;
}

bool is_form_content_type(const request_rec *r) {
    const char *type = apr_table_get(r->headers_in, "Content-Type");
    return type != nullptr && strcasecmp(type, kFormContentType) == 0;
}

// Outcome of one place of the search: go on with the next, or end it.
struct SearchStep {
    bool end = false;
    char *token = nullptr;
};

SearchStep search_query(request_rec *r, const agent_server_config *config, int *source) {
    if (r->args == nullptr) {
        log_detailed(config, "There are no query parameters in the request");
        return {};
    }
    log_basic(config, "Searching \"%s\" token in query parameters...", printable_cookie_name(config));
    const auto value = qv::query_parameter_value(r->args, cookie_name_of(config));
    if (!value) return {};
    if (value->empty()) {
        log_debug(config, "Token \"%s\" is empty - rejecting...", printable_cookie_name(config));
        return {true, nullptr};
    }
    if (!is_library_token(*value)) {
        log_error(config, "Token does not match the Nubrel type - not applicable");
        return {true, nullptr};
    }
    char *token = copy_token(r, config, *value);
    if (token == nullptr) return {true, nullptr};
    log_debug(config, "Token \"%s\" has been found in query parameters", printable_cookie_name(config));
    *source = TOKEN_SOURCE_QUERY;
    return {true, token};
}

SearchStep search_posted_form(request_rec *r, const agent_server_config *config, int *source) {
    if (r->method_number != M_POST) {
        log_detailed(config, "The request does not post a data");
        return {};
    }
    if (!is_form_content_type(r)) {
        log_detailed(config, "The content-type of posted message does not indicate a login data - shall not examine "
                             "the request body for session token");
        log_detailed(config, "The request does not post a data");
        return {};
    }
    log_detailed(config, "The content-type of posted message indicates a login data");
    log_basic(config, "Searching token \"%s\" in the posted request body...", printable_cookie_name(config));
    // Apache keeps this count only once a module has set up reading the body
    // the old way; the collected text has its own limit in read_posted_body.
    if (r->remaining >= kPostedTokenLimit) {
        log_detailed(config,
                     "Ignoring the posted request body, since its length (%li bytes) exceeds the limit of %li bytes "
                     "for the posted session tokens",
                     static_cast<long>(static_cast<int32_t>(r->remaining)), static_cast<long>(kPostedTokenLimit - 1));
        return {};
    }
    int token_found = 0;
    apr_size_t length = 0;
    const char *text = read_posted_body(r, config, &token_found, &length);
    if (text == nullptr) {
        log_detailed(config, "The posted request body, though has content type of a filled-out login form, is null");
        return {};
    }
    if (token_found == 0) return {};
    if (length == 0) {
        log_detailed(config, "The posted request body, though has content type of a filled-out login form, is empty");
        return {};
    }
    if (static_cast<apr_off_t>(length) >= kPostedTokenLimit) {
        log_detailed(config,
                     "Ignoring the posted request body, since its length (%li bytes) exceeds the limit of %li bytes "
                     "for the posted session tokens",
                     static_cast<long>(length), static_cast<long>(kPostedTokenLimit - 1));
        return {};
    }
    const std::string_view body(text, length);
    if (!is_token_assignment(config, text)) {
        log_detailed(config, "The posted request body does not contain a \"%s\" token", printable_cookie_name(config));
        return {};
    }
    log_detailed(config, "The posted request body contains the \"%s\" token", printable_cookie_name(config));
    const std::string_view value =
        qv::posted_token_value(body, static_cast<size_t>(config->wire_cookie_name_length));
    if (value.empty()) {
        log_detailed(config, "Token value is omitted in the posted request body");
        return {};
    }
    if (!is_library_token(value)) {
        log_error(config, "Token does not match the Nubrel type - not applicable");
        return {true, nullptr};
    }
    char *token = copy_token(r, config, value);
    if (token == nullptr) return {true, nullptr};
    log_debug(config, "Token \"%s\" has been found in the posted message body:", printable_cookie_name(config));
    log_debug_text(config, token);
    *source = TOKEN_SOURCE_POST;
    return {true, token};
}

SearchStep search_cookies(request_rec *r, const agent_server_config *config, int *source) {
    if (apr_table_get(r->headers_in, "Cookie") == nullptr) {
        log_detailed(config, "There are no cookies in the request headers");
        return {};
    }
    log_basic(config, "Searching token \"%s\" in the request cookies...", printable_cookie_name(config));
    const apr_array_header_t *entries = apr_table_elts(r->headers_in);
    const auto *entry = reinterpret_cast<const apr_table_entry_t *>(entries->elts);
    for (int i = 0; i < entries->nelts; ++i) {
        if (entry[i].key == nullptr || entry[i].val == nullptr || std::strcmp(entry[i].key, "Cookie") != 0) continue;
        const qv::CookieToken found = qv::cookie_token(entry[i].val, cookie_name_of(config));
        if (found.kind == qv::CookieTokenKind::absent) continue;
        if (found.kind == qv::CookieTokenKind::omitted) {
            log_detailed(config, "Token value is omitted in the cookie \"%s\"", printable_cookie_name(config));
            continue;
        }
        if (!is_library_token(found.value)) {
            log_error(config, "Token does not match the Nubrel type - not applicable");
            return {true, nullptr};
        }
        char *token = copy_token(r, config, found.value);
        if (token == nullptr) return {true, nullptr};
        log_debug(config, "Token \"%s\" has been found in the cookie", printable_cookie_name(config));
        *source = TOKEN_SOURCE_COOKIE;
        return {true, token};
    }
    return {};
}

void log_bucket(const agent_server_config *config, const char *indent, const apr_bucket *bucket, apr_size_t length) {
    const char *kind = APR_BUCKET_IS_METADATA(bucket) ? "metadata" : "data";
    if (bucket->type != nullptr && bucket->type->name != nullptr)
        log_detailed(config, "%sBucket length: %li (%s, type=\"%s\")", indent, static_cast<long>(length), kind,
                     bucket->type->name);
    else
        log_detailed(config, "%sBucket length: %li (%s)", indent, static_cast<long>(length), kind);
}

}  // namespace

char *find_session_token(request_rec *r, const agent_server_config *config, int *source) {
    int ignored = TOKEN_SOURCE_NONE;
    if (source == nullptr) source = &ignored;
    *source = TOKEN_SOURCE_NONE;
    if (r == nullptr || config == nullptr) return nullptr;
    log_basic(config,
              "Searching for a Quorvel token \"%s\" in the request (in the order Query string -> POST form data -> "
              "Cookie headers)...",
              printable_cookie_name(config));
    for (const auto search : {search_query, search_posted_form, search_cookies}) {
        const SearchStep step = search(r, config, source);
        if (step.end) return step.token;
    }
    log_detailed(config, "Token \"%s\" has not been found in the request", printable_cookie_name(config));
    return nullptr;
}

char *find_query_parameter(request_rec *r, const agent_server_config *config, const char *name) {
    if (r == nullptr || name == nullptr) return nullptr;
    log_basic(config, "Searching for the query parameter \"%s\"...", name);
    if (r->args == nullptr || r->args[0] == '\0') {
        log_detailed(config, "The are no query parameters in the request");
        log_basic(config, "Query parameter \"%s\" has not been found", name);
        return nullptr;
    }
    const auto value = qv::query_parameter_value(r->args, name);
    if (!value) {
        log_basic(config, "Query parameter \"%s\" has not been found", name);
        return nullptr;
    }
    if (value->empty()) {
        log_debug(config, "Value of query parameter \"%s\" is empty - rejecting...", name);
        return nullptr;
    }
    char *copy = apr_pstrmemdup(r->pool, value->data(), value->size());
    if (copy == nullptr) {
        log_error(config, "Cannot duplicate value of query parameter \"%s\" - out of APR request pool", name);
        return nullptr;
    }
    log_debug(config, "Query parameter \"%s\" has been found in query parameters:", name);
    log_debug_text(config, copy);
    return copy;
}

int is_token_assignment(const agent_server_config *config, const char *text) {
    if (config == nullptr || text == nullptr || config->wire_cookie_name == nullptr) return 0;
    const std::string_view wire(config->wire_cookie_name, static_cast<size_t>(config->wire_cookie_name_length));
    return qv::is_token_assignment(text, wire) ? 1 : 0;
}

int is_login_form_post(request_rec *r, const agent_server_config *config) {
    if (r == nullptr || r->method_number != M_POST) return 0;
    if (is_form_content_type(r)) {
        log_detailed(config, "The content-type of posted message indicates a login data");
        return 1;
    }
    log_detailed(config, "The content-type of posted message does not indicate a login data - shall not examine the "
                         "request body for session token");
    return 0;
}

void agent_insert_filter(request_rec *r) {
    const agent_server_config *config = server_config_of(r->server);
    if (is_login_form_post(r, config) != 1) return;
    log_basic(config, "Inserting the input filter to read the request data, posted by the client...");
    ap_add_input_filter_handle(agent_input_filter_handle, nullptr, r, r->connection);
}

char *read_posted_body(request_rec *r, const agent_server_config *config, int *token_found, apr_size_t *length) {
    int ignored = 0;
    if (token_found == nullptr) token_found = &ignored;
    *token_found = 0;
    if (length != nullptr) *length = 0;
    log_basic(config, "Reading the request data, posted by the client...");
    log_detailed(config, "Creating a bucket brigade for reading the data...");
    apr_bucket_brigade *brigade = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    // Input filters expect an empty brigade to fill: each read lands in
    // `chunk` and then joins the saved buckets.
    apr_bucket_brigade *chunk = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    if (brigade == nullptr || chunk == nullptr) {
        log_error(config, "Cannot read the request data, posted by the client - cannot create an empty bucket brigade");
        return nullptr;
    }

    char *text = nullptr;
    apr_size_t collected = 0;
    bool cleanup_registered = false;
    bool first_data_seen = false;
    bool stop = false;
    while (!stop) {
        log_detailed(config, " Retrieving the bucket brigade from the filter stack...");
        const apr_status_t status =
            ap_get_brigade(r->input_filters, chunk, AP_MODE_READBYTES, APR_BLOCK_READ, kReadChunk);
        if (status != APR_SUCCESS) {
            log_error(config,
                      "Cannot read the request data, posted by the client - cannot get the current bucket brigade "
                      "from the next filter on the filter stack - %s",
                      apr_error_text(status).text);
            break;
        }
        if (!cleanup_registered) {
            apr_pool_cleanup_register(r->pool, r, agent_body_cleanup, apr_pool_cleanup_null);
            cleanup_registered = true;
        }
        if (APR_BRIGADE_EMPTY(chunk)) break;  // a read that brought nothing would never end
        log_detailed(config, "  Iterating through the current bucket brigade...");
        for (apr_bucket *bucket = APR_BRIGADE_FIRST(chunk); bucket != APR_BRIGADE_SENTINEL(chunk) && !stop;
             bucket = APR_BUCKET_NEXT(bucket)) {
            if (APR_BUCKET_IS_EOS(bucket)) {
                log_detailed(config, "   An EOS bucket (end of stream) has been found");
                stop = true;
                break;
            }
            if (APR_BUCKET_IS_FLUSH(bucket)) {
                log_detailed(config, "   A FLUSH bucket has been found");
                continue;
            }
            const char *data = nullptr;
            apr_size_t size = 0;
            if (const apr_status_t read = apr_bucket_read(bucket, &data, &size, APR_BLOCK_READ); read != APR_SUCCESS) {
                log_error(config, "Cannot read the request body's data from the bucket - %s",
                          apr_error_text(read).text);
                stop = true;
                break;
            }
            log_bucket(config, "   ", bucket, size);
            if (size > 0) {
                if (text == nullptr) {
                    text = static_cast<char *>(apr_pstrmemdup(r->pool, data, size));
                    if (text == nullptr) {
                        log_error(config, "Cannot duplicate the request body's data, read from the bucket - out of "
                                          "APR request pool");
                        stop = true;
                        break;
                    }
                } else {
                    auto *longer = static_cast<char *>(apr_palloc(r->pool, collected + size + 1));
                    if (longer == nullptr) {
                        log_error(config, "Cannot collect the data read from the bucket - out of APR request pool");
                        stop = true;
                        break;
                    }
                    std::memcpy(longer, text, collected);
                    std::memcpy(longer + collected, data, size);
                    longer[collected + size] = '\0';
                    text = longer;
                }
                collected += size;
            }
            if (!first_data_seen) {
                first_data_seen = true;
                if (!is_token_assignment(config, text)) {
                    log_basic(config, "   Reading stopped - the request body does not contain a session token \"%s\"",
                              printable_cookie_name(config));
                    stop = true;
                    break;
                }
                log_basic(config, "   The request body contains a session token, identified by name \"%s\"",
                          printable_cookie_name(config));
                *token_found = 1;
            }
            // No token is this long: the rest stays unread for the application.
            if (static_cast<apr_off_t>(collected) >= kPostedTokenLimit) {
                stop = true;
                break;
            }
        }
        // Everything read is kept, in order, for the replay. Buckets that
        // borrow a lower filter's buffer (TLS hands out such) get their own copy.
        for (apr_bucket *bucket = APR_BRIGADE_FIRST(chunk); bucket != APR_BRIGADE_SENTINEL(chunk);
             bucket = APR_BUCKET_NEXT(bucket))
            apr_bucket_setaside(bucket, r->pool);
        APR_BRIGADE_CONCAT(brigade, chunk);
    }
    apr_brigade_destroy(chunk);

    if (APR_BRIGADE_EMPTY(brigade)) {
        log_detailed(config, "The bucket brigade is empty - destroying it...");
        if (const apr_status_t status = apr_brigade_destroy(brigade); status != APR_SUCCESS)
            log_warning(config, "Cannot destroy the bucket brigade - %s", apr_error_text(status).text);
        if (cleanup_registered) apr_pool_cleanup_kill(r->pool, r, agent_body_cleanup);
    } else {
        log_detailed(config, "Saving the bucket brigade with request data into the request notes table to enable "
                             "passing the data to other modules via the input filter...");
        // The note carries the brigade's address in place of a string.
        apr_table_setn(r->notes, kRequestBodyNote, reinterpret_cast<const char *>(brigade));
    }
    if (length != nullptr) *length = collected;
    return text;
}

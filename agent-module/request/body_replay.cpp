// The input filter that replays a posted body the handler has already read.
//
// The handler reads a form post looking for a token and keeps the buckets it
// took in a brigade noted under "request-body-brigade". Whoever reads the body
// next gets those buckets first, in the amounts asked for, then the rest of
// the body straight from the filters below once the saved ones are used up.
#include "request/body_replay.h"

#include "config/config_file.h"
#include "config/module_log.h"
#include "config/server_config.h"

#include <apr_buckets.h>

namespace {

// An input mode and its name in log lines.
struct ModeName {
    ap_input_mode_t mode;
    const char *name;
};
constexpr ModeName kModeNames[] = {
    {AP_MODE_READBYTES, "READBYTES"},     {AP_MODE_GETLINE, "GETLINE"}, {AP_MODE_EATCRLF, "EATCRLF"},
    {AP_MODE_SPECULATIVE, "SPECULATIVE"}, {AP_MODE_EXHAUSTIVE, "EXHAUSTIVE"}, {AP_MODE_INIT, "INIT"},
};

const char *blocking_name(apr_read_type_e block) { return block == APR_BLOCK_READ ? "blocking" : "non-blocking"; }

const char *next_filter_name(const ap_filter_t *f) {
    if (f->next == nullptr || f->next->frec == nullptr || f->next->frec->name == nullptr) return "";
    return f->next->frec->name;
}

// The brigade a note holds in place of a string.
apr_bucket_brigade *noted_brigade(const request_rec *r) {
    const char *note = apr_table_get(r->notes, kRequestBodyNote);
    return note == nullptr ? nullptr : reinterpret_cast<apr_bucket_brigade *>(const_cast<char *>(note));
}

struct SavedBody {
    bool noted = false;
    apr_bucket_brigade *brigade = nullptr;  // holds buckets when set
};

// The saved body of the request. After an internal redirect the filters of
// the first request serve the last one, and each request keeps what it read
// in notes of its own: the latest request that still holds buckets counts.
SavedBody saved_body(const request_rec *r) {
    while (r->next != nullptr) r = r->next;
    SavedBody saved;
    for (const request_rec *at = r; at != nullptr; at = at->prev) {
        apr_bucket_brigade *brigade = noted_brigade(at);
        if (brigade == nullptr) continue;
        saved.noted = true;
        if (!APR_BRIGADE_EMPTY(brigade)) {
            saved.brigade = brigade;
            break;
        }
    }
    return saved;
}

bool has_eos(const apr_bucket_brigade *brigade) {
    for (const apr_bucket *b = APR_BRIGADE_FIRST(brigade); b != APR_BRIGADE_SENTINEL(brigade); b = APR_BUCKET_NEXT(b))
        if (APR_BUCKET_IS_EOS(b)) return true;
    return false;
}

// True when nothing but metadata (end of stream, flush) follows the bucket.
bool only_metadata_from(const apr_bucket_brigade *brigade, const apr_bucket *from) {
    for (const apr_bucket *b = from; b != APR_BRIGADE_SENTINEL(brigade); b = APR_BUCKET_NEXT(b))
        if (!APR_BUCKET_IS_METADATA(b)) return false;
    return true;
}

void log_contents(const agent_server_config *config, const apr_bucket_brigade *brigade) {
    log_detailed(config, " The contents of resultant brigade:");
    for (const apr_bucket *b = APR_BRIGADE_FIRST(brigade); b != APR_BRIGADE_SENTINEL(brigade); b = APR_BUCKET_NEXT(b)) {
        const long length = static_cast<long>(b->length);
        if (APR_BUCKET_IS_EOS(b)) {
            log_detailed(config, "  Bucket length: %li (EOS)", length);
            break;
        }
        const char *kind = APR_BUCKET_IS_METADATA(b) ? "metadata" : "data";
        if (b->type != nullptr && b->type->name != nullptr)
            log_detailed(config, "  Bucket length: %li (%s, type=\"%s\")", length, kind, b->type->name);
        else
            log_detailed(config, "  Bucket length: %li (%s)", length, kind);
    }
}

// Moves the first `limit` bytes of the saved body (all of it when limit is not
// above 0) to the front of the caller's brigade. A reader that asked for fewer
// bytes than were saved must not be handed more: readers such as
// ap_get_client_block copy what they asked for and drop the rest.
apr_status_t move_saved(apr_bucket_brigade *saved, apr_bucket_brigade *bb, apr_off_t limit) {
    apr_bucket *after = APR_BRIGADE_SENTINEL(saved);
    if (limit > 0) {
        const apr_status_t status = apr_brigade_partition(saved, limit, &after);
        if (status != APR_SUCCESS && status != APR_INCOMPLETE) return status;
        // The end of stream goes with the last data, as the filters below send it.
        if (only_metadata_from(saved, after)) after = APR_BRIGADE_SENTINEL(saved);
    }
    apr_bucket_brigade *rest = nullptr;
    if (after != APR_BRIGADE_SENTINEL(saved)) rest = apr_brigade_split_ex(saved, after, nullptr);
    APR_BRIGADE_PREPEND(bb, saved);
    if (rest != nullptr) {
        APR_BRIGADE_CONCAT(saved, rest);
        apr_brigade_destroy(rest);
    }
    return APR_SUCCESS;
}

// A look at the saved body that leaves it in place: copies of its first
// `limit` bytes and of an end of stream within them.
apr_status_t copy_saved(apr_bucket_brigade *saved, apr_bucket_brigade *bb, apr_off_t limit) {
    apr_off_t left = limit > 0 ? limit : APR_INT64_MAX;
    for (apr_bucket *b = APR_BRIGADE_FIRST(saved); b != APR_BRIGADE_SENTINEL(saved); b = APR_BUCKET_NEXT(b)) {
        // An end of stream right after the last byte copied is part of the look.
        if (left <= 0 && !APR_BUCKET_IS_EOS(b)) break;
        if (b->length == static_cast<apr_size_t>(-1)) {
            const char *data = nullptr;
            apr_size_t size = 0;
            if (const apr_status_t status = apr_bucket_read(b, &data, &size, APR_BLOCK_READ); status != APR_SUCCESS)
                return status;
        }
        apr_bucket *copy = nullptr;
        if (const apr_status_t status = apr_bucket_copy(b, &copy); status != APR_SUCCESS) return status;
        APR_BRIGADE_INSERT_TAIL(bb, copy);
        if (static_cast<apr_off_t>(copy->length) > left) {
            apr_bucket_split(copy, static_cast<apr_size_t>(left));
            apr_bucket_delete(APR_BUCKET_NEXT(copy));
            break;
        }
        left -= static_cast<apr_off_t>(copy->length);
        if (APR_BUCKET_IS_EOS(b)) break;
    }
    return APR_SUCCESS;
}

// Once the saved body is handed over, later reads go straight to the filters
// below. Not so after an internal redirect: there the handler reads the body
// again through this filter, and the application after it needs the filter
// still in place to get what the handler saved in its turn.
void remove_when_used_up(ap_filter_t *f, const agent_server_config *config, const apr_bucket_brigade *saved) {
    if (!APR_BRIGADE_EMPTY(saved) || f->r->prev != nullptr) return;
    log_basic(config, "Removing the current input filter, since the data has been passed either to the other module "
                      "or to the request finalizer...");
    ap_remove_input_filter(f);
}

}  // namespace

const char *input_mode_name(ap_input_mode_t mode) {
    for (const ModeName &entry : kModeNames)
        if (entry.mode == mode) return entry.name;
    return "U-N-K-N-O-W-N";
}

apr_status_t agent_input_filter(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                apr_read_type_e block, apr_off_t readbytes) {
    // A filter function reports failures as APR statuses; these stand for "internal error".
    if (f == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    const agent_server_config *config =
        f->c != nullptr && f->c->base_server != nullptr ? server_config_of(f->c->base_server) : nullptr;
    if (config == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    if (f->r == nullptr) {
        log_error(config, "Cannot execute the input filter - parameter 'r' is null");
        return HTTP_INTERNAL_SERVER_ERROR;
    }

    // Line and look-ahead reads are served from the saved body too, so that
    // no reader sees the body out of order; other modes have no body to replay.
    const bool replays = mode == AP_MODE_READBYTES || mode == AP_MODE_GETLINE || mode == AP_MODE_SPECULATIVE;
    const SavedBody saved = replays ? saved_body(f->r) : SavedBody{};
    if (mode != AP_MODE_READBYTES && saved.brigade == nullptr) {
        log_basic(config, "Input filter has been called in the mode %s (%s) - ignoring...", input_mode_name(mode),
                  blocking_name(block));
        return ap_get_brigade(f->next, bb, mode, block, readbytes);
    }
    log_basic(config, "Input filter has been called in the mode %s (%s) with input buffer of %li bytes size",
              input_mode_name(mode), blocking_name(block), static_cast<long>(static_cast<int32_t>(readbytes)));

    if (saved.brigade == nullptr) {
        if (!saved.noted)
            log_detailed(config,
                         " The request data has not been read yet - retrieving the filled out bucket brigade with the "
                         "request data from the next filter \"%s\" on the filter stack...",
                         next_filter_name(f));
        else
            log_detailed(config,
                         " The already read and saved request data is empty - retrieving the filled out bucket "
                         "brigade with the request data from the next filter \"%s\" on the filter stack...",
                         next_filter_name(f));
        return ap_get_brigade(f->next, bb, AP_MODE_READBYTES, block, readbytes);
    }

    if (has_eos(saved.brigade))
        log_detailed(config, "The request data has been already read completely and saved (the saved brigade is "
                             "terminated with the EOS bucket)");
    else
        log_detailed(config, "The request data has been already read partially and saved (the saved brigade is not "
                             "terminated with the EOS bucket)");

    apr_status_t status = APR_SUCCESS;
    if (mode == AP_MODE_SPECULATIVE) {
        status = copy_saved(saved.brigade, bb, readbytes);
    } else {
        log_detailed(config, " Prepending the saved bucket brigade onto the brigade, provided by caller...");
        status = mode == AP_MODE_GETLINE ? apr_brigade_split_line(bb, saved.brigade, block, HUGE_STRING_LEN)
                                         : move_saved(saved.brigade, bb, readbytes);
    }
    if (status != APR_SUCCESS) return status;
    log_contents(config, bb);
    if (mode != AP_MODE_SPECULATIVE) remove_when_used_up(f, config, saved.brigade);
    log_basic(config, "Returning APR_SUCCESS to the higher filter to identify that the brigade has been successully "
                      "filled out...");
    return APR_SUCCESS;
}

apr_status_t agent_body_cleanup(void *data) {
    auto *r = static_cast<request_rec *>(data);
    if (r == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    const agent_server_config *config = server_config_of(r->server);
    apr_bucket_brigade *brigade = noted_brigade(r);
    if (brigade == nullptr) return APR_SUCCESS;
    log_detailed(config, "Removing the address of saved bucket brigade from request notes...");
    apr_table_unset(r->notes, kRequestBodyNote);
    log_detailed(config, "Destroying the saved bucket brigade with data, posted by the client...");
    if (const apr_status_t status = apr_brigade_destroy(brigade); status != APR_SUCCESS) {
        log_warning(config, "Cannot destroy the bucket brigade - %s", apr_error_text(status).text);
        return status;
    }
    return APR_SUCCESS;
}

// The input filter that replays a posted body the handler has already read.
#include "body_replay.h"

#include "config_file.h"
#include "hooks.h"
#include "module_log.h"
#include "server_config.h"
#include "token_discovery.h"

#include <apr_buckets.h>

apr_status_t agent_input_filter(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                apr_read_type_e block, apr_off_t readbytes) {
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
}

apr_status_t agent_body_cleanup(void *data) {
    auto *r = static_cast<request_rec *>(data);
    if (r == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    const agent_server_config *config = server_config_of(r->server);
    const char *note = apr_table_get(r->notes, kRequestBodyNote);
    if (note == nullptr) return APR_SUCCESS;
    log_detailed(config, "Removing the address of saved bucket brigade from request notes...");
    apr_table_unset(r->notes, kRequestBodyNote);
    log_detailed(config, "Destroying the saved bucket brigade with data, posted by the client...");
    // The note carries the brigade's address in place of a string.
    auto *brigade = reinterpret_cast<apr_bucket_brigade *>(const_cast<char *>(note));
    if (const apr_status_t status = apr_brigade_destroy(brigade); status != APR_SUCCESS) {
        log_warning(config, "Cannot destroy the bucket brigade - %s", apr_error_text(status).text);
        return status;
    }
    return APR_SUCCESS;
}

// The input filter that replays a posted body the handler has already read.
#include "hooks.h"

apr_status_t agent_input_filter(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                apr_read_type_e block, apr_off_t readbytes) {
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
}

// mod_qv: the module record Apache loads, and the registration of the module's hooks.
#include "config/directives.h"
#include "config/revocation_store.h"
#include "config/server_config.h"
#include "request/access.h"
#include "request/admission.h"
#include "request/authorization.h"
#include "request/body_replay.h"
#include "request/cached_tokens.h"
#include "request/token_discovery.h"
#include "response/pages.h"
#include "startup/startup.h"

#include <mod_status.h>

ap_filter_rec_t *agent_input_filter_handle = nullptr;

namespace {

void agent_register_hooks(apr_pool_t *pool) {
    ap_hook_check_config(agent_check_config, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_pre_config(revocation_pre_config, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_child_init(revocation_child_init, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_post_config(agent_post_config, nullptr, nullptr, APR_HOOK_FIRST);
    // Before any other module reads the headers a client may not send.
    ap_hook_post_read_request(agent_post_read_request, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
    // Per URI: sub-requests and internal redirects that share their parent's
    // directory configuration are decided too, since the filters are URL patterns.
    ap_hook_check_access(agent_check_access, nullptr, nullptr, APR_HOOK_FIRST, AP_AUTH_INTERNAL_PER_URI);
    ap_hook_check_authn(agent_check_user, nullptr, nullptr, APR_HOOK_FIRST, AP_AUTH_INTERNAL_PER_URI);
    ap_hook_note_auth_failure(agent_note_auth_failure, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_fixups(agent_mark_authorized, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
    ap_hook_log_transaction(agent_log_refusal, nullptr, nullptr, APR_HOOK_MIDDLE);
    register_attribute_providers(pool);
    ap_hook_handler(agent_handler, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
    ap_hook_insert_filter(agent_insert_filter, nullptr, nullptr, APR_HOOK_FIRST);
    ap_hook_child_init(agent_child_init, nullptr, nullptr, APR_HOOK_MIDDLE);
    APR_OPTIONAL_HOOK(ap, status_hook, agent_status_hook, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_insert_error_filter(agent_insert_error_filter, nullptr, nullptr, APR_HOOK_MIDDLE);
    register_answer_type_filter();
    agent_input_filter_handle =
        ap_register_input_filter(kInputFilterName, agent_input_filter, nullptr, AP_FTYPE_RESOURCE);
}

}  // namespace

// STANDARD20_MODULE_STUFF stamps the record with the magic number of the
// Apache 2.4 headers it is built against and names the module after this
// file, which is what <IfModule mod_qv.cpp> and "apache2 -L" show.
extern "C" {
module AP_MODULE_DECLARE_DATA qv_module = {
    STANDARD20_MODULE_STUFF,
    nullptr,                     // no per-directory configuration
    nullptr,
    agent_create_server_config,
    agent_merge_server_config,
    agent_directives,
    agent_register_hooks,
    AP_MODULE_FLAG_NONE,
};
}

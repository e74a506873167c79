// mod_qv: the module record Apache loads, and the registration of the module's hooks.
#include "config/directives.h"
#include "hooks.h"
#include "config/server_config.h"

ap_filter_rec_t *agent_input_filter_handle = nullptr;

namespace {

void agent_register_hooks(apr_pool_t *) {
    ap_hook_post_config(agent_post_config, nullptr, nullptr, APR_HOOK_FIRST);
    ap_hook_post_read_request(agent_post_read_request, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_fixups(agent_fixups, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_handler(agent_handler, nullptr, nullptr, APR_HOOK_FIRST);
    ap_hook_insert_filter(agent_insert_filter, nullptr, nullptr, APR_HOOK_FIRST);
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
    nullptr,                     // no merging: a virtual host holds only what its own section sets
    agent_directives,
    agent_register_hooks,
    AP_MODULE_FLAG_NONE,
};
}

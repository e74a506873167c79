#include "redirects.h"

#include "server_config.h"

char *build_base_url(request_rec *, const agent_server_config *, int, const char *, const char *, int) {
    return nullptr;
}
char *build_request_url(request_rec *, const agent_server_config *, int, const char *, const char *, int) {
    return nullptr;
}
char *build_url_without_token(const agent_server_config *, request_rec *, int, const char *, const char *, int) {
    return nullptr;
}
int redirect_to_login_page(request_rec *, const agent_server_config *, int) { return HTTP_INTERNAL_SERVER_ERROR; }
int is_error_page_request(request_rec *, const agent_server_config *) { return 0; }
int redirect_to_error_page(request_rec *, const agent_server_config *, int) { return HTTP_SERVICE_UNAVAILABLE; }
int respond_with_error(request_rec *, const agent_server_config *, int, const char *, const char *) {
    return HTTP_INTERNAL_SERVER_ERROR;
}

#include "pages.h"

#include "config_file.h"
#include "module_log.h"
#include "server_config.h"

int load_page_template(agent_server_config *config, int type, apr_pool_t *pool) {
    if (config == nullptr) return -1;
    const char *path = nullptr;
    const char *name = nullptr;
    char *agent_server_config::*target = nullptr;
    switch (type) {
    case TEMPLATE_ERROR_PAGE:
        path = config->error_page_template_file;
        name = "error page";
        target = &agent_server_config::error_page_template;
        break;
    case TEMPLATE_START_PAGE:
        path = config->start_page_template_file;
        name = "start page";
        target = &agent_server_config::start_page_template;
        break;
    default: log_error(config, "Cannot load the template file of type %i - the type is unknown", type); return -1;
    }
    if (path == nullptr || path[0] == '\0') return 0;

    log_basic(config, "Opening the %s template file \"%s\" for reading...", name, path);
    apr_file_t *file = nullptr;
    if (const apr_status_t status = apr_file_open(&file, path, APR_READ | APR_BINARY, APR_OS_DEFAULT, pool);
        status != APR_SUCCESS) {
        log_error(config, "Cannot open the %s template file \"%s\" - %s", name, path, apr_error_text(status).text);
        return -1;
    }
    int result = -1;
    log_basic(config, " Gathering statistics for the %s template file...", name);
    apr_finfo_t info;
    if (const apr_status_t status = apr_file_info_get(&info, APR_FINFO_MIN, file); status != APR_SUCCESS) {
        log_error(config, "Cannot get statistics for the %s template file - %s", name, apr_error_text(status).text);
    } else if (info.size == 0) {
        log_error(config, "Cannot read the %s template file - file is empty", name);
    } else if (auto *text = static_cast<char *>(apr_palloc(pool, static_cast<apr_size_t>(info.size) + 1));
               text == nullptr) {
        log_error(config, "Cannot read the %s template file - out of APR configuration pool", name);
    } else {
        apr_size_t read = 0;
        const apr_status_t status = apr_file_read_full(file, text, static_cast<apr_size_t>(info.size), &read);
        if (status != APR_SUCCESS && status != APR_EOF) {
            log_error(config, "Cannot read the %s template file - %s", name, apr_error_text(status).text);
        } else if (read < static_cast<apr_size_t>(info.size)) {
            log_error(config, "Cannot read the %s template file - the file has been read partially, %i bytes rather "
                              "than %i",
                      name, static_cast<int>(read), static_cast<int>(info.size));
        } else {
            text[read] = '\0';
            config->*target = text;
            log_detailed(config, " Succeeded to read the %s template file", name);
            result = 0;
        }
    }
    log_detailed(config, " Closing the %s template file...", name);
    apr_file_close(file);
    return result;
}

char *render_error_page(request_rec *, const agent_server_config *, const char *, const char *) { return nullptr; }
char *render_start_page(request_rec *, const agent_server_config *, const char *, const char *) { return nullptr; }
int append_header_row(void *, const char *, const char *) { return 0; }
int send_html_response(request_rec *, const agent_server_config *, int, const char *) {
    return HTTP_INTERNAL_SERVER_ERROR;
}
int log_inbound_request(const agent_server_config *config, request_rec *) { return config == nullptr ? -1 : 0; }

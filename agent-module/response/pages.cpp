#include "response/pages.h"

#include "config/config_file.h"
#include "config/module_log.h"
#include "config/server_config.h"

#include "response/page_text.h"

#include <cstring>
#include <string>
#include <vector>

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

namespace {

char *pool_copy(request_rec *r, const std::string &text) { return apr_pstrmemdup(r->pool, text.data(), text.size()); }

}  // namespace

char *render_error_page(request_rec *r, const agent_server_config *config, const char *title,
                        const char *description) {
    if (r == nullptr || config == nullptr) return nullptr;
    if (title == nullptr) title = qv::kDefaultErrorTitle.data();
    const bool configured = config->error_page_template != nullptr;
    const char *kind = configured ? "configured" : "static";
    const std::string_view page = configured ? std::string_view(config->error_page_template) : qv::kBuiltinErrorPage;
    log_basic(config, "Constructing the response body using a %s error page template...", kind);

    const std::string row = description != nullptr ? qv::error_description_row(description) : std::string();
    const qv::FilledPage filled = qv::fill_placeholders(
        page, {{qv::kErrorTitlePlaceholder, title}, {qv::kErrorDescriptionPlaceholder, row}});

    if (filled.found[0])
        log_detailed(config, " Setting the title of error page to \"%s\"", title);
    else
        log_detailed(config, " The format specifier for the error title insertion is not provided in the template");
    if (!filled.found[1])
        log_detailed(config, " The format specifier for the error description insertion is not provided in the template");
    else if (description != nullptr)
        log_detailed(config, " Setting the error description...");
    else
        log_detailed(config, " Removing the format specifier for an error description...");

    char *text = pool_copy(r, filled.text);
    if (text == nullptr)
        log_error(config, "Cannot replace the format specifier by an error page title in the %s error page template - "
                          "out of APR request pool",
                  kind);
    return text;
}

char *render_start_page(request_rec *r, const agent_server_config *config, const char *request_header_rows,
                        const char *session_header_rows) {
    if (r == nullptr || config == nullptr) return nullptr;
    const bool configured = config->start_page_template != nullptr;
    const char *kind = configured ? "configured" : "static";
    const std::string_view page = configured ? std::string_view(config->start_page_template) : qv::kBuiltinStartPage;
    log_basic(config, "Constructing the response body using a %s start page template...", kind);

    const bool has_request_rows = request_header_rows != nullptr && request_header_rows[0] != '\0';
    const bool has_session_rows = session_header_rows != nullptr && session_header_rows[0] != '\0';
    const qv::FilledPage filled = qv::fill_placeholders(
        page, {{qv::kKitNamePlaceholder, qv::kModuleName},
               {qv::kKitVersionPlaceholder, qv::kModuleVersion},
               {qv::kRequestHeadersPlaceholder, has_request_rows ? request_header_rows : ""},
               {qv::kSessionHeadersPlaceholder, has_session_rows ? session_header_rows : ""}});

    if (filled.found[0])
        log_detailed(config, " Inserting the Apache Agent's module name into the start page");
    else
        log_detailed(config, " The format specifier for insertion of the Apache Agent's module name is not provided in "
                             "the template");
    if (filled.found[1])
        log_detailed(config, " Inserting the Apache Agent's version into the start page");
    else
        log_detailed(config, " The format specifier for insertion of the Apache Agent's version is not provided in the "
                             "template");
    if (!filled.found[2])
        log_detailed(config, " The format specifier for the request headers insertion is not provided in the template");
    else if (has_request_rows)
        log_detailed(config, " Inserting the request headers into the start page");
    else
        log_detailed(config, " Removing the format specifier for the request headers...");
    if (!filled.found[3])
        log_detailed(config, " The format specifier for the session-specific headers insertion is not provided in the "
                             "template");
    else if (has_session_rows)
        log_detailed(config, " Inserting the session-specific headers into the start page");
    else
        log_detailed(config, " Removing the format specifier for the session-specific headers...");

    char *text = pool_copy(r, filled.text);
    if (text == nullptr)
        log_error(config, "Cannot replace the format specifier by the request headers in the %s start page template - "
                          "out of APR request pool",
                  kind);
    return text;
}

int append_header_row(void *context, const char *name, const char *value) {
    auto *row_context = static_cast<header_row_context *>(context);
    if (name == nullptr) return 1;
    if (row_context == nullptr || row_context->request == nullptr) return 0;
    const agent_server_config *config = row_context->config;
    if (row_context->rows == nullptr) {
        log_error(config, "Cannot build the buffer with the session-specific request headers for insertion into the "
                          "start page template - output storage is null");
        return 0;
    }
    apr_pool_t *pool = row_context->request->pool;
    // Names and values both come from the client: everything that could open
    // markup or leave an attribute is escaped.
    const std::string row = qv::header_row(name, value != nullptr ? value : "");
    char *&rows = *row_context->rows;
    char *extended = rows == nullptr || rows[0] == '\0' ? apr_pstrmemdup(pool, row.data(), row.size())
                                                        : apr_pstrcat(pool, rows, row.c_str(), nullptr);
    if (extended == nullptr) {
        log_error(config, "Cannot append the session-specific request header for insertion into the start page "
                          "template - out of APR request pool");
        return 0;
    }
    rows = extended;
    return 1;
}

int send_html_response(request_rec *r, const agent_server_config *config, int status, const char *page) {
    if (page == nullptr || r == nullptr) {
        log_error(config, "Cannot send response to the user - 'response' is null");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    log_basic(config, "Sending response to the user...");
    r->status = status;
    r->status_line = ap_get_status_line(status);
    log_basic(config, " Setting the HTTP status of response to %i (%s)", status,
              r->status_line != nullptr ? r->status_line : "");

    log_detailed(config, " Setting the Content-Type of response to \"%s\"", "text/html");
    ap_set_content_type(r, "text/html");

    const size_t length = std::strlen(page);
    if (const char *text = apr_psprintf(r->pool, "%i", static_cast<int>(length)); text != nullptr) {
        log_detailed(config, " Setting the Content-Length header to the size of response body (%s)", text);
        apr_table_setn(r->headers_out, "Content-Length", text);
    } else {
        log_error(config, "Cannot update the Content-Length header of response - out of APR request pool");
    }

    log_detailed(config, " Adding the response body to the output filters for the user...");
    apr_bucket_brigade *brigade = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    ap_fputstrs(r->output_filters, brigade, page, nullptr);
    ap_fflush(r->output_filters, brigade);
    ap_pass_brigade(r->output_filters, brigade);
    apr_brigade_cleanup(brigade);
    apr_brigade_destroy(brigade);

    log_detailed(config, " Sending to the user browser has completed");
    log_basic(config, "Returning DONE to tell Apache that module has served the response completely - it's safe to "
                      "immediately close connection and exit with no more output");
    return DONE;
}

namespace {

// Request note: the Content-Type of an answer that is not HTML.
constexpr const char *kAnswerTypeNote = "qv-answer-type";
constexpr const char *kAnswerTypeFilterName = "QV_ANSWER_TYPE";
ap_filter_rec_t *answer_type_filter = nullptr;

// Apache labels every error response text/html after the error hooks have
// run: the label is replaced once the body goes out.
apr_status_t set_answer_type(ap_filter_t *filter, apr_bucket_brigade *brigade) {
    if (const char *type = apr_table_get(filter->r->notes, kAnswerTypeNote); type != nullptr)
        ap_set_content_type(filter->r, type);
    ap_remove_output_filter(filter);
    return ap_pass_brigade(filter->next, brigade);
}

}  // namespace

int refuse_with_answer(request_rec *r, const agent_server_config *config, int status, const char *body,
                       const char *content_type) {
    if (body == nullptr || r == nullptr) {
        log_error(config, "Cannot send response to the user - 'response' is null");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    log_basic(config, "Sending response to the user...");
    const char *status_line = ap_get_status_line(status);
    log_basic(config, " Setting the HTTP status of response to %i (%s)", status, status_line != nullptr ? status_line : "");
    log_detailed(config, " Setting the Content-Type of response to \"%s\"", content_type);
    // Without this Apache labels its error responses "charset=iso-8859-1".
    apr_table_setn(r->subprocess_env, "suppress-error-charset", "1");
    if (std::strcmp(content_type, "text/html") != 0) apr_table_setn(r->notes, kAnswerTypeNote, content_type);
    // Apache takes a text that starts with '/' or a scheme for the address of
    // an error document: such a page is sent after a line feed instead.
    if (body[0] == '/' || ap_is_url(body)) body = apr_pstrcat(r->pool, "\n", body, nullptr);
    const char *length = apr_psprintf(r->pool, "%i", static_cast<int>(std::strlen(body)));
    log_detailed(config, " Setting the Content-Length header to the size of response body (%s)", length);
    // Apache's error response keeps err_headers_out as its headers.
    apr_table_setn(r->err_headers_out, "Content-Length", length);
    ap_custom_response(r, status, body);
    log_detailed(config, " Handing the response body to Apache's error response...");
    return status;
}

int refuse_with_page(request_rec *r, const agent_server_config *config, int status, const char *page) {
    return refuse_with_answer(r, config, status, page, "text/html");
}

void register_answer_type_filter() {
    answer_type_filter = ap_register_output_filter(kAnswerTypeFilterName, set_answer_type, nullptr, AP_FTYPE_RESOURCE);
}

void agent_insert_error_filter(request_rec *r) {
    if (answer_type_filter != nullptr && apr_table_get(r->notes, kAnswerTypeNote) != nullptr)
        ap_add_output_filter_handle(answer_type_filter, nullptr, r, r->connection);
}

int log_inbound_request(const agent_server_config *config, request_rec *r) {
    if (config == nullptr) return -1;
    if (config->verbose_level < 4 || r == nullptr) return 0;
    // 2.0's ap_run_http_method is Apache 2.4's scheme hook.
    const char *scheme = ap_run_http_scheme(r);
    log_debug(config, "The inbound %s message:", scheme != nullptr ? scheme : "");
    log_debug_text(config, r->the_request);
    const apr_array_header_t *entries = apr_table_elts(r->headers_in);
    const auto *entry = reinterpret_cast<const apr_table_entry_t *>(entries->elts);
    for (int i = 0; i < entries->nelts; ++i)
        if (entry[i].key != nullptr)
            log_debug(config, "  %s: %s", entry[i].key, entry[i].val != nullptr ? entry[i].val : "");
    return 0;
}

// Pages the module answers with itself, built from HTML templates.
#pragma once

#include "config/apache.h"

struct agent_server_config;

enum : int {
    TEMPLATE_ERROR_PAGE = 0,
    TEMPLATE_START_PAGE = 1,
};

// Reads the template file configured for the type into the pool. 0 when it
// was loaded or when no file is configured (the built-in template serves),
// -1 after logging otherwise.
int load_page_template(agent_server_config *config, int type, apr_pool_t *pool);

// The error page from the configured or built-in template: the title (null
// renders as "Error.") and the description row filled in. Request-pool text,
// or null after logging.
char *render_error_page(request_rec *r, const agent_server_config *config, const char *title,
                        const char *description);

// The start page from the configured or built-in template with the module's
// name and version and the two lists of header rows (either may be null).
// Request-pool text, or null after logging.
char *render_start_page(request_rec *r, const agent_server_config *config, const char *request_header_rows,
                        const char *session_header_rows);

// What append_header_row extends while apr_table_do walks a header table.
struct header_row_context {
    const agent_server_config *config;
    request_rec *request;
    // The row list so far (null before the first row); replaced by the longer list.
    char **rows;
};

// apr_table_do callback (context is a header_row_context): appends one HTML
// row for the header, name and value escaped. 1 to go on, 0 to stop after a
// failure (logged).
int append_header_row(void *context, const char *name, const char *value);

// Sends the page as a complete text/html response with the status, from a
// handler. DONE, or 500 when the page is null.
int send_html_response(request_rec *r, const agent_server_config *config, int status, const char *page);

// The page as the answer of the access phase: the request is refused with the
// status, and Apache's error response carries the page (text/html) as its
// body, in place of any ErrorDocument. Nothing after the access phase runs, so
// no other module's handler can answer instead. The status, or 500 when the
// page is null.
int refuse_with_page(request_rec *r, const agent_server_config *config, int status, const char *page);

// The same with a body of another Content-Type (application/json, say).
int refuse_with_answer(request_rec *r, const agent_server_config *config, int status, const char *body,
                       const char *content_type);

// The output filter that gives such an answer its Content-Type, registered
// with the module's hooks, and the insert_error_filter hook that adds it to
// the error response of a request that needs it.
void register_answer_type_filter();
void agent_insert_error_filter(request_rec *r);

// At verbose level 4 and above logs the request line and every request
// header. 0, or -1 for a null record.
int log_inbound_request(const agent_server_config *config, request_rec *r);

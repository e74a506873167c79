// A test application that reads the request body the way it is told and
// answers with what every read brought, so that tests can see exactly what an
// application behind the agent receives.
//
// The query string is a comma-separated plan of reads before the rest of the
// body is read in READBYTES pieces of 8192 bytes:
//   bN  READBYTES of N bytes     sN  SPECULATIVE of N bytes     l  GETLINE
// The answer is "[step]data" for each read, "<EOS>" marking an end of stream,
// "[step]!status" for a failed read, and "[rest]..." for the remainder. The
// error log gets the same (its first 300 bytes) and the number of body bytes
// read, for requests whose answer Apache replaces with an error page.
#include <httpd.h>
#include <http_config.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <util_filter.h>

#include <apr_buckets.h>
#include <apr_strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

extern "C" {
extern module AP_MODULE_DECLARE_DATA qv_body_reader_module;
}
APLOG_USE_MODULE(qv_body_reader);

namespace {

struct Step {
    ap_input_mode_t mode = AP_MODE_READBYTES;
    apr_off_t bytes = HUGE_STRING_LEN;
};

Step parse_step(std::string_view text) {
    Step step;
    if (text.empty()) return step;
    if (text[0] == 'l') step.mode = AP_MODE_GETLINE;
    if (text[0] == 's') step.mode = AP_MODE_SPECULATIVE;
    if (text.size() > 1) step.bytes = std::strtoll(std::string(text.substr(1)).c_str(), nullptr, 10);
    return step;
}

// Appends the data of the brigade; true when it ends the stream.
bool describe(apr_bucket_brigade *bb, std::string &out, apr_size_t &total) {
    bool eos = false;
    for (apr_bucket *b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb); b = APR_BUCKET_NEXT(b)) {
        if (APR_BUCKET_IS_EOS(b)) {
            out += "<EOS>";
            eos = true;
            break;
        }
        const char *data = nullptr;
        apr_size_t size = 0;
        if (apr_bucket_read(b, &data, &size, APR_BLOCK_READ) == APR_SUCCESS) {
            out.append(data, size);
            total += size;
        }
    }
    apr_brigade_cleanup(bb);
    return eos;
}

int reader_handler(request_rec *r) {
    if (r->handler == nullptr || std::strcmp(r->handler, "qv-body-reader") != 0) return DECLINED;
    apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    std::string out;
    bool eos = false;
    apr_size_t total = 0;
    std::string_view plan = r->args != nullptr ? r->args : "";
    while (!plan.empty() && !eos) {
        const size_t comma = plan.find(',');
        const std::string_view text = plan.substr(0, comma);
        plan = comma == std::string_view::npos ? std::string_view() : plan.substr(comma + 1);
        const Step step = parse_step(text);
        out += "[" + std::string(text) + "]";
        const apr_status_t status = ap_get_brigade(r->input_filters, bb, step.mode, APR_BLOCK_READ, step.bytes);
        if (status != APR_SUCCESS) {
            out += "!" + std::to_string(status);
            eos = true;
            break;
        }
        apr_size_t looked_at = 0;  // a look ahead reads nothing
        const bool ended = describe(bb, out, step.mode == AP_MODE_SPECULATIVE ? looked_at : total);
        if (step.mode != AP_MODE_SPECULATIVE) eos = ended;
    }
    out += "[rest]";
    while (!eos) {
        const apr_status_t status =
            ap_get_brigade(r->input_filters, bb, AP_MODE_READBYTES, APR_BLOCK_READ, HUGE_STRING_LEN);
        if (status != APR_SUCCESS) {
            out += "!" + std::to_string(status);
            break;
        }
        if (APR_BRIGADE_EMPTY(bb)) break;
        eos = describe(bb, out, total);
    }
    ap_log_rerror(APLOG_MARK, APLOG_NOTICE, 0, r, "qv-body-reader: %.300s", out.c_str());
    ap_log_rerror(APLOG_MARK, APLOG_NOTICE, 0, r, "qv-body-reader: %lu bytes", static_cast<unsigned long>(total));
    ap_set_content_type(r, "text/plain");
    ap_rwrite(out.data(), static_cast<int>(out.size()), r);
    return OK;
}

void register_hooks(apr_pool_t *) { ap_hook_handler(reader_handler, nullptr, nullptr, APR_HOOK_MIDDLE); }

}  // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA qv_body_reader_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, register_hooks, AP_MODULE_FLAG_NONE,
};
}

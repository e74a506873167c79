#include "config/module_log.h"

#include "config/server_config.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr size_t kLineCapacity = 1024;

struct Role {
    int threshold;
    int level;
};

constexpr Role kFatal{0, APLOG_EMERG};
constexpr Role kError{0, APLOG_ERR};
constexpr Role kWarning{1, APLOG_WARNING};
constexpr Role kBasic{2, APLOG_INFO};
constexpr Role kDetailed{3, APLOG_INFO};
constexpr Role kDebug{4, APLOG_INFO};
constexpr Role kTrace{5, APLOG_NOTICE};

bool enabled(const agent_server_config *config, Role role) {
    return config != nullptr && config->verbose_level >= role.threshold;
}

// While Apache reads its configuration a virtual host has neither a log nor a
// log level yet, and Apache drops what is logged against it; such lines go to
// the start-up log instead, like those of the main server.
const server_rec *log_target(const server_rec *server) {
    if (server == nullptr || !server->is_virtual) return server;
    const int state = ap_state_query(AP_SQ_MAIN_STATE);
    return state == AP_SQ_MS_CREATE_PRE_CONFIG || state == AP_SQ_MS_CREATE_CONFIG ? nullptr : server;
}

// Lines written for a virtual host's record while Apache starts all land in
// the main log, so they name the host: its ServerName (and the port of its
// address when it names one), or where its section begins when Apache has not
// named it yet.
const char *host_label(const server_rec *server, char *buffer, size_t size) {
    const unsigned port = server->addrs != nullptr ? server->addrs->host_port : server->port;
    if (server->server_hostname != nullptr && port != 0)
        std::snprintf(buffer, size, "%s:%u", server->server_hostname, port);
    else if (server->server_hostname != nullptr)
        std::snprintf(buffer, size, "%s", server->server_hostname);
    else
        std::snprintf(buffer, size, "%s:%d", server->defn_name != nullptr ? server->defn_name : "?",
                      server->defn_line_number);
    return buffer;
}

void write(const agent_server_config *config, Role role, const char *text) {
    if (text == nullptr || text[0] == '\0') return;
    const server_rec *target = log_target(config->server);
    char labelled[kLineCapacity];
    if (target == nullptr && config->server != nullptr && config->server->is_virtual) {
        char label[256];
        std::snprintf(labelled, sizeof labelled, "Virtual host %s: %s", host_label(config->server, label, sizeof label),
                      text);
        text = labelled;
    }
    // The module index makes "LogLevel qv:..." apply to these lines.
    ap_log_error("mod_qv", __LINE__, APLOG_MODULE_INDEX, role.level | APLOG_NOERRNO, 0, target, "%s", text);
}

void vlog(const agent_server_config *config, Role role, const char *format, va_list args) {
    if (!enabled(config, role)) return;
    char buffer[kLineCapacity];
    if (std::vsnprintf(buffer, sizeof buffer, format, args) <= 0) return;
    write(config, role, buffer);
}

}  // namespace

#define QV_DEFINE_LOG_FUNCTION(name, role)                                  \
    void name(const agent_server_config *config, const char *format, ...) { \
        va_list args;                                                       \
        va_start(args, format);                                             \
        vlog(config, role, format, args);                                   \
        va_end(args);                                                       \
    }

QV_DEFINE_LOG_FUNCTION(log_fatal, kFatal)
QV_DEFINE_LOG_FUNCTION(log_error, kError)
QV_DEFINE_LOG_FUNCTION(log_warning, kWarning)
QV_DEFINE_LOG_FUNCTION(log_basic, kBasic)
QV_DEFINE_LOG_FUNCTION(log_detailed, kDetailed)
QV_DEFINE_LOG_FUNCTION(log_debug, kDebug)
QV_DEFINE_LOG_FUNCTION(log_trace, kTrace)

void log_debug_text(const agent_server_config *config, const char *text) {
    if (!enabled(config, kDebug) || text == nullptr || text[0] == '\0') return;
    // A finished string is still cut like every other line.
    char buffer[kLineCapacity];
    std::snprintf(buffer, sizeof buffer, "%s", text);
    write(config, kDebug, buffer);
}

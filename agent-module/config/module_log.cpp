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

void write(const agent_server_config *config, Role role, const char *text) {
    if (text == nullptr || text[0] == '\0') return;
    // The module index makes "LogLevel qv:..." apply to these lines.
    ap_log_error("mod_qv", __LINE__, APLOG_MODULE_INDEX, role.level | APLOG_NOERRNO, 0, log_target(config->server),
                 "%s", text);
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

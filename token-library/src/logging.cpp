// Library-wide verbose level, log destination, and the writing of log lines.
#include "internal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

// Inside httpd the web server's logger is bound; elsewhere (the command-line
// tool, tests) this weak reference stays null and lines go to stderr.
extern "C" void ap_log_error_(const char *file, int line, int module_index, int level, int status,
                              const struct server_rec *server, const char *format, ...)
    __attribute__((weak));

// Also httpd's: the module record of a module that is loaded, by the name of
// its source file. Only the leading fields of the record are read (below).
extern "C" void *ap_find_linked_module(const char *name) __attribute__((weak));

namespace {

// Apache's log levels; the values are part of httpd's stable interface.
constexpr int kAplogErr = 3;
constexpr int kAplogWarning = 4;
constexpr int kAplogInfo = 6;
constexpr int kAplogNoErrno = 16;
constexpr int kAplogNoModule = -1;

constexpr size_t kLineCapacity = 1024;

std::atomic<struct server_rec *> g_server{nullptr};

// The module that hands the library its server record is mod_qv; logging
// under its index makes its tag ("[qv:info]") and its per-module LogLevel
// ("LogLevel warn qv:info") apply to the library's lines too.
constexpr const char *kModuleSourceName = "mod_qv.cpp";
std::atomic<int> g_module_index{kAplogNoModule};

// The first fields of httpd's module record, unchanged through 2.4.
struct ModuleRecordStart {
    int version;
    int minor_version;
    int module_index;
    const char *name;
};

int loaded_module_index() {
    if (ap_find_linked_module == nullptr) return kAplogNoModule;
    const auto *module = static_cast<const ModuleRecordStart *>(ap_find_linked_module(kModuleSourceName));
    return module != nullptr ? module->module_index : kAplogNoModule;
}

struct ClassInfo {
    int level;
    const char *name;
};

constexpr ClassInfo class_info(nubrel::LogClass cls) {
    switch (cls) {
    case nubrel::LogClass::error: return {kAplogErr, "error"};
    case nubrel::LogClass::warning: return {kAplogWarning, "warn"};
    case nubrel::LogClass::progress: return {kAplogInfo, "info"};
    case nubrel::LogClass::detail: return {kAplogInfo, "info"};
    case nubrel::LogClass::dump: return {kAplogInfo, "info"};
    }
    return {kAplogErr, "error"};
}

// Writes one finished line; the text is passed as an argument, never as a format.
void emit(const char *file, int line, nubrel::LogClass cls, const char *text) {
    const ClassInfo info = class_info(cls);
    if (ap_log_error_ != nullptr) {
        ap_log_error_(file, line, g_module_index.load(std::memory_order_relaxed), info.level | kAplogNoErrno, 0,
                      g_server.load(std::memory_order_relaxed), "%s", text);
    } else {
        std::fprintf(stderr, "[nubrel:%s] %s\n", info.name, text);
    }
}

void finish_and_emit(const char *file, int line, nubrel::LogClass cls, char *buffer, size_t length) {
    if (length >= kLineCapacity) length = kLineCapacity - 1;
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) --length;
    buffer[length] = '\0';
    if (length == 0) return;
    emit(file, line, cls, buffer);
}

}  // namespace

namespace nubrel {

std::atomic<uint32_t> g_verbose_level{0};

void write_log(const char *file, int line, LogClass cls, const char *format, ...) noexcept {
    if (!log_enabled(cls)) return;
    char buffer[kLineCapacity];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (written <= 0) return;
    finish_and_emit(file, line, cls, buffer, static_cast<size_t>(written));
}

void write_raw_dump(const char *file, int line, const char *text) noexcept {
    if (!log_enabled(LogClass::dump) || text == nullptr) return;
    char buffer[kLineCapacity];
    const size_t length = std::strlen(text);
    std::memcpy(buffer, text, length < kLineCapacity ? length : kLineCapacity - 1);
    finish_and_emit(file, line, LogClass::dump, buffer, length);
}

void write_hex_dump(const char *file, int line, const char *label, const unsigned char *bytes,
                    size_t count) noexcept {
    if (!log_enabled(LogClass::dump)) return;
    if (count == 0 || bytes == nullptr) {
        if (label != nullptr) write_log(file, line, LogClass::dump, "%s\n", label);
        return;
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    try {
        hex.resize(count * 2);
    } catch (...) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        hex[2 * i] = digits[bytes[i] >> 4];
        hex[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    if (label == nullptr) {
        write_raw_dump(file, line, hex.c_str());
    } else if (std::strlen(label) + 2 * count + 3 <= kLineCapacity) {
        write_log(file, line, LogClass::dump, "%s %s", label, hex.c_str());
    } else {
        write_log(file, line, LogClass::dump, "%s\n", label);
        write_raw_dump(file, line, hex.c_str());
    }
}

bool valid_handle(const nubrel_instance *handle, const char *null_message,
                  const char *invalid_message) noexcept {
    if (handle == nullptr) {
        write_log(__FILE_NAME__, __LINE__, LogClass::error, "%s", null_message);
        return false;
    }
    if (handle->self != handle) {
        NBR_LOG(error, "The handle of NBR API instance is not valid\n");
        write_log(__FILE_NAME__, __LINE__, LogClass::error, "%s", invalid_message);
        return false;
    }
    return true;
}

}  // namespace nubrel

extern "C" {

NUBREL_API int32_t set_nubrel_verbose_level(uint32_t level) {
    const uint32_t current = nubrel::g_verbose_level.load(std::memory_order_relaxed);
    if (level > 5 || level == current) return static_cast<int32_t>(current);
    nubrel::g_verbose_level.store(level, std::memory_order_relaxed);
    NBR_LOG(detail, "Changed verbose level of the Nubrel library from %i to %i\n",
            static_cast<int>(current), static_cast<int>(level));
    return static_cast<int32_t>(level);
}

NUBREL_API void nubrel_set_module_servrec(struct server_rec *server) {
    NBR_LOG(detail, "Setting calling module's servrec to %p\n", static_cast<void *>(server));
    g_server.store(server, std::memory_order_relaxed);
    // Looked up again with every new server record: a restart may load the
    // module anew, under another index.
    g_module_index.store(server != nullptr ? loaded_module_index() : kAplogNoModule, std::memory_order_relaxed);
}

}  // extern "C"

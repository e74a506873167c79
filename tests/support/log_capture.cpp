#include "log_capture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex g_mutex;
std::vector<testlog::Line> g_lines;
}  // namespace

extern "C" __attribute__((visibility("default"))) void ap_log_error_(const char *, int, int, int level, int,
                                                                     const void *, const char *format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::lock_guard lock(g_mutex);
    g_lines.push_back({level & 15, buffer});
}

namespace testlog {

void clear() {
    std::lock_guard lock(g_mutex);
    g_lines.clear();
}

std::vector<Line> lines() {
    std::lock_guard lock(g_mutex);
    return g_lines;
}

bool has(const std::string &text) {
    for (const auto &line : lines())
        if (line.text == text) return true;
    return false;
}

bool has_fragment(const std::string &fragment) {
    for (const auto &line : lines())
        if (line.text.find(fragment) != std::string::npos) return true;
    return false;
}

std::string dump() {
    std::string all;
    for (const auto &line : lines()) all += "  [" + std::to_string(line.level) + "] " + line.text + "\n";
    return all;
}

}  // namespace testlog

#include "config/config_file.h"

#include "config/config_lines.h"
#include "config/directives.h"
#include "config/module_log.h"
#include "config/server_config.h"

#include <climits>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

AprErrorText apr_error_text(apr_status_t status) {
    AprErrorText error{};
    apr_strerror(status, error.text, sizeof error.text);
    return error;
}

apr_status_t config_file_size(const char *path, apr_pool_t *pool, apr_off_t *size) {
    apr_finfo_t info;
    const apr_status_t status = apr_stat(&info, path, APR_FINFO_SIZE, pool);
    if (status == APR_SUCCESS) *size = info.size;
    return status;
}

std::unique_ptr<char[]> config_file_buffer(apr_off_t size) {
    if (size < 0 || static_cast<unsigned long long>(size) >= SIZE_MAX) return nullptr;
    return std::unique_ptr<char[]>(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
}

namespace {

// Files being read right now, outermost first. Configuration is read by one
// thread, so a plain list is enough to notice a file that includes itself.
std::vector<std::string> g_files_being_read;

// The same file under another spelling or through a link is the same file.
std::string canonical_path(const char *path) {
    char *resolved = realpath(path, nullptr);
    if (resolved == nullptr) return path;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

struct ReadingMark {
    explicit ReadingMark(std::string path) { g_files_being_read.push_back(std::move(path)); }
    ~ReadingMark() { g_files_being_read.pop_back(); }
    ReadingMark(const ReadingMark &) = delete;
    ReadingMark &operator=(const ReadingMark &) = delete;
};

bool is_being_read(const std::string &path) {
    for (const std::string &open : g_files_being_read)
        if (open == path) return true;
    return false;
}

// Hands every directive line to its handler; -1 when reading must stop.
int dispatch_lines(agent_server_config *config, cmd_parms *cmd, void *mconfig, const char *path,
                   std::string_view text) {
    qv::LineReader reader(text);
    std::string_view raw;
    while (reader.next(raw)) {
        const qv::ConfigLine line = qv::parse_directive_line(raw);
        if (line.kind != qv::LineKind::entry) continue;
        const std::string key(line.key);
        if (line.key.empty()) {
            log_warning(config, "Configuration file \"%s\" has line %i without a key", path, reader.number);
            continue;
        }
        const directive_handler handler = find_directive_handler(key.c_str());
        if (handler == nullptr) {
            // Only reported: a name Apache would not know either is no reason to refuse.
            log_error(config, "Configuration option \"%s\" [line %i] is unhandled", key.c_str(), reader.number);
            continue;
        }
        const char *value = apr_pstrmemdup(cmd->pool, line.value.data(), line.value.size());
        if (value == nullptr) {
            log_fatal(config, "Cannot duplicate value \"%.*s\" of configuration file - out of APR configuration pool",
                      static_cast<int>(line.value.size()), line.value.data());
            return -1;
        }
        const int errors_before = config->error_count;
        handler(cmd, mconfig, value);
        if (config->error_count > errors_before) log_refused_location(config, path, reader.number);
    }
    return 0;
}

int read_file(agent_server_config *config, cmd_parms *cmd, void *mconfig, const char *path) {
    std::string canonical = canonical_path(path);
    if (is_being_read(canonical)) {
        log_fatal(config,
                  "Cannot read configuration file \"%s\" - the file includes itself, directly or through other files",
                  path);
        return -1;
    }
    const ReadingMark mark(std::move(canonical));

    apr_off_t size = 0;
    if (const apr_status_t status = config_file_size(path, cmd->temp_pool, &size); status != APR_SUCCESS) {
        log_fatal(config, "Cannot get statistics for configuration file \"%s\" - %s", path,
                  apr_error_text(status).text);
        return -1;
    }
    if (size == 0) {
        log_fatal(config, "Configuration file \"%s\" is empty", path);
        return -1;
    }
    std::unique_ptr<char[]> buffer = config_file_buffer(size);
    if (!buffer) {
        log_fatal(config, "Cannot allocate buffer with %lu bytes for loading configuration file \"%s\"",
                  static_cast<unsigned long>(size), path);
        return -1;
    }
    log_basic(config, "Opening configuration file \"%s\" for reading...", path);
    apr_file_t *file = nullptr;
    if (const apr_status_t status = apr_file_open(&file, path, APR_READ | APR_BINARY, APR_OS_DEFAULT, cmd->temp_pool);
        status != APR_SUCCESS) {
        log_fatal(config, "Cannot open configuration file \"%s\" for reading - %s", path,
                  apr_error_text(status).text);
        return -1;
    }
    int result = 0;
    apr_size_t read = 0;
    const apr_status_t status = apr_file_read_full(file, buffer.get(), static_cast<apr_size_t>(size), &read);
    if (status != APR_SUCCESS && status != APR_EOF) {
        log_fatal(config, "Cannot read the contents of configuration file \"%s\" - %s", path,
                  apr_error_text(status).text);
        result = -1;
    } else if (read < static_cast<apr_size_t>(size)) {
        log_fatal(config,
                  "Cannot read the contents of configuration file \"%s\" - the file has been read partially, %i "
                  "bytes rather than %i",
                  path, static_cast<int>(read), static_cast<int>(size));
        result = -1;
    } else {
        // A NUL byte ends the text, as it would for any C string reader.
        buffer[read] = '\0';
        log_detailed(config, "Succeeded to read the configuration file");
        result = dispatch_lines(config, cmd, mconfig, path, std::string_view(buffer.get()));
    }
    log_trace(config, "Closing configuration file...");
    apr_file_close(file);
    return result;
}

}  // namespace

bool reading_module_file() { return !g_files_being_read.empty(); }

void log_refused_location(const agent_server_config *config, const char *file, int line) {
    log_error(config, "The refused value is on line %i of \"%s\"", line, file != nullptr ? file : "?");
}

int read_module_config_file(agent_server_config *config, cmd_parms *cmd, void *mconfig) {
    const char *path = config->module_config_file;
    if (path == nullptr) {
        log_error(config, "Cannot parse the Quorvel Apache Agent's configuration file - null path");
        return -1;
    }
    // Nothing may leave towards Apache as an exception; the lists here only fail without memory.
    try {
        return read_file(config, cmd, mconfig, path);
    } catch (...) {
        log_fatal(config, "Cannot read configuration file \"%s\" - out of memory", path);
        return -1;
    }
}

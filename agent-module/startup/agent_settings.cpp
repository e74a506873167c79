#include "startup/agent_settings.h"

#include "config/config_file.h"
#include "config/config_lines.h"
#include "config/config_values.h"
#include "config/module_log.h"
#include "config/server_config.h"

#include <nubrel.h>

#include <cstring>
#include <string>

namespace {

using key_handler = void (*)(agent_server_config *, char *);

void count_error(agent_server_config *config) { ++config->error_count; }

void set_token_name(agent_server_config *config, char *value) {
    config->agent_token_name = value;
    log_basic(config, "Quorvel cookie name: %s", value);
}

void set_cookie_path(agent_server_config *config, char *value) {
    config->agent_cookie_path = value;
    log_basic(config, "Quorvel cookie path: %s", value);
}

void set_cookie_domain(agent_server_config *config, char *value) {
    config->agent_cookie_domain = value;
    log_basic(config, "Quorvel cookie domain: %s", value);
}

// A number of the agent file that is not a plain number is refused with a
// line naming the file, the key and the value; `part_line` is the older
// message for a value that is no number at all. True when the number is to be used.
bool accept_number(agent_server_config *config, const char *key, const char *value,
                   const qv::IntegerReading &reading, const char *part_line) {
    const std::string_view why = qv::integer_refusal(reading, false);
    if (why.empty()) return true;
    if (reading.fault == qv::NumberFault::not_a_number) log_error(config, "%s", part_line);
    log_error(config, "Quorvel Agent configuration file \"%s\": %s = \"%s\" %.*s%s",
              config->agent_config_file != nullptr ? config->agent_config_file : "", key, value,
              static_cast<int>(why.size()), why.data(),
              reading.fault == qv::NumberFault::trailing_text && std::strcmp(key, "cipher-suite") != 0
                  ? " - write whole seconds, without a unit"
                  : "");
    count_error(config);
    return false;
}

// A number of seconds, 0 or more, into `field`; `refused` and `accepted`
// are the setting's own lines, each with the number.
void set_seconds(agent_server_config *config, const char *key, char *value, const char *unreadable,
                 int agent_server_config::*field, const char *refused, const char *accepted) {
    const qv::IntegerReading seconds = qv::read_integer(value);
    if (!accept_number(config, key, value, seconds, unreadable)) return;
    config->*field = seconds.value;
    if (seconds.value < 0) {
        log_error(config, refused, seconds.value);
        return count_error(config);
    }
    log_basic(config, accepted, seconds.value);
}

void set_token_lifetime(agent_server_config *config, char *value) {
    set_seconds(config, "token-lifetime", value, "Cannot parse the Quorvel token lifetime",
                &agent_server_config::token_lifetime, "Quorvel token lifetime is incorrect: %i sec",
                "Quorvel token lifetime: %i sec");
}

void set_cipher_suite(agent_server_config *config, char *value) {
    const qv::IntegerReading suite = qv::read_integer(value);
    if (!accept_number(config, "cipher-suite", value, suite, "Cannot parse the Quorvel cipher suite")) return;
    if (is_valid_cipher_suite(suite.value) == 0) {
        log_error(config, "Quorvel cipher suite %i is incorrect", suite.value);
        return count_error(config);
    }
    config->cipher_suite = suite.value;
    const char *name = nubrel_get_cipher_suite_name(suite.value);
    log_basic(config, "Quorvel cipher suite: %i (%s)", suite.value, name != nullptr ? name : "NULL");
}

void set_use_cookie(agent_server_config *config, char *value) {
    log_basic(config, "Quorvel feature \"use-cookie\": %s", value);
    const auto flag = qv::parse_true_false(value);
    if (!flag) {
        log_error(config, "Quorvel feature \"use-cookie\": should be either true or false");
        return count_error(config);
    }
    config->use_cookie = *flag ? 1 : 0;
}

void set_notbefore_tolerance(agent_server_config *config, char *value) {
    set_seconds(config, "token-notbefore-tolerance", value, "Cannot parse the Quorvel Apache Agent notbefore tolerance period",
                &agent_server_config::notbefore_tolerance,
                "Quorvel Apache Agent notbefore tolerance period %i sec is incorrect",
                "Quorvel Apache Agent notbefore tolerance period: %i sec");
}

void set_obfuscate_password(agent_server_config *config, char *value) {
    const auto flag = qv::parse_true_false(value);
    if (!flag) {
        log_error(config,
                  "Cannot get a true or false value of the Quorvel password-obfuscation option - value \"%s\" does "
                  "not match",
                  value);
        return count_error(config);
    }
    config->obfuscate_password = *flag ? 1 : 0;
    if (*flag)
        log_basic(config, "Quorvel password-obfuscation feature is turned on");
    else
        log_basic(config, "Quorvel password-obfuscation feature is turned off");
}

// Empty once the roll-over is over.
void set_previous_password(agent_server_config *config, char *value) {
    config->previous_password = value[0] != '\0' ? value : nullptr;
    log_basic(config, config->previous_password != nullptr
                          ? "Quorvel previous password is configured - tokens issued under it are still accepted"
                          : "Quorvel previous password is empty - only the current password is accepted");
}

struct KeyEntry {
    const char *key;
    key_handler handler;
};

// The password and every other key belong to the library or the federation
// server; the library ignores previous-password, which the module applies to
// an instance of its own.
constexpr KeyEntry kKeys[] = {
    {"token-name", set_token_name},
    {"cookie-path", set_cookie_path},
    {"cookie-domain", set_cookie_domain},
    {"token-lifetime", set_token_lifetime},
    {"cipher-suite", set_cipher_suite},
    {"use-cookie", set_use_cookie},
    {"token-notbefore-tolerance", set_notbefore_tolerance},
    {"obfuscate-password", set_obfuscate_password},
    {"previous-password", set_previous_password},
};

key_handler find_key(std::string_view key) {
    for (const KeyEntry &entry : kKeys)
        if (key == entry.key) return entry.handler;
    return nullptr;
}

// Applies the lines of the file; -1 when a line stops reading.
int dispatch_lines(agent_server_config *config, const char *path, apr_pool_t *value_pool, std::string_view text) {
    qv::LineReader reader(text);
    std::string_view raw;
    while (reader.next(raw)) {
        const qv::ConfigLine line = qv::parse_agent_line(raw);
        switch (line.kind) {
        case qv::LineKind::skip: continue;
        case qv::LineKind::no_key:
            log_warning(config, "Configuration file \"%s\" has line without a key", path);
            continue;
        case qv::LineKind::no_assignment:
            log_error(config, "Cannot parse definition of Quorvel Agent's configuration file - assignment is absent");
            return -1;
        case qv::LineKind::entry: break;
        }
        // The library keys tokens with the password; the agent keys session
        // identifiers with what it derives from the same text, silently.
        if (line.key == "password") {
            config->agent_password = apr_pstrmemdup(value_pool, line.value.data(), line.value.size());
            continue;
        }
        const key_handler handler = find_key(line.key);
        if (handler == nullptr) continue;
        const std::string key(line.key);
        char *value = apr_pstrmemdup(value_pool, line.value.data(), line.value.size());
        if (value == nullptr) {
            log_error(config,
                      "Cannot duplicate value of Quorvel Agent's configuration file for key \"%s\" - out of APR "
                      "configuration pool",
                      key.c_str());
            return -1;
        }
        log_detailed(config, "Calling a function for processing property \"%s\"", key.c_str());
        handler(config, value);
    }
    return 0;
}

int read_file(agent_server_config *config, apr_pool_t *temp_pool, apr_pool_t *value_pool) {
    const char *path = config->agent_config_file;
    if (path == nullptr) {
        log_error(config, "Cannot parse Quorvel Agent configuration file - path is not configured");
        return -1;
    }
    apr_off_t size = 0;
    if (const apr_status_t status = config_file_size(path, temp_pool, &size); status != APR_SUCCESS) {
        log_error(config, "Cannot get statistics for Quorvel Agent configuration file \"%s\" - %s", path,
                  apr_error_text(status).text);
        return -1;
    }
    if (size == 0) {
        log_error(config, "Cannot parse Quorvel Agent configuration file \"%s\" - file is empty", path);
        return -1;
    }
    log_basic(config, "Parsing the Quorvel Agent configuration file \"%s\"...", path);
    std::unique_ptr<char[]> buffer = config_file_buffer(size);
    if (!buffer) {
        log_error(config,
                  "Cannot allocate buffer with %lu bytes for loading the Quorvel Agent configuration file \"%s\" - "
                  "out of memory",
                  static_cast<unsigned long>(size), path);
        return -1;
    }
    log_basic(config, "Opening the Quorvel Agent configuration file for reading...");
    apr_file_t *file = nullptr;
    if (const apr_status_t status = apr_file_open(&file, path, APR_READ | APR_BINARY, APR_OS_DEFAULT, temp_pool);
        status != APR_SUCCESS) {
        log_error(config, "Cannot open the Quorvel Agent configuration file \"%s\" - %s", path,
                  apr_error_text(status).text);
        return -1;
    }
    const int errors_before = config->error_count;
    int result = 0;
    apr_size_t read = 0;
    const apr_status_t status = apr_file_read_full(file, buffer.get(), static_cast<apr_size_t>(size), &read);
    if (status != APR_SUCCESS && status != APR_EOF) {
        log_fatal(config, "Cannot read the contents of Quorvel Agent configuration file \"%s\" - %s", path,
                  apr_error_text(status).text);
        result = -1;
    } else if (read < static_cast<apr_size_t>(size)) {
        log_fatal(config,
                  "Cannot read the contents of Quorvel Agent configuration file \"%s\" - the file has been read "
                  "partially, %i bytes rather than %i",
                  path, static_cast<int>(read), static_cast<int>(size));
        result = -1;
    } else {
        // A NUL byte ends the text, as it would for any C string reader.
        buffer[read] = '\0';
        log_detailed(config, "Succeeded to read the Quorvel Agent configuration file");
        result = dispatch_lines(config, path, value_pool, std::string_view(buffer.get()));
        if (result == 0 && config->error_count != errors_before) result = -1;
    }
    log_detailed(config, "Closing Quorvel Agent's configuration file...");
    apr_file_close(file);
    return result;
}

}  // namespace

int read_agent_config_file(agent_server_config *config, apr_pool_t *temp_pool, apr_pool_t *value_pool) {
    if (config == nullptr) return -1;
    try {
        return read_file(config, temp_pool, value_pool);
    } catch (...) {
        log_error(config, "Cannot parse Quorvel Agent configuration file \"%s\" - out of memory",
                  config->agent_config_file);
        return -1;
    }
}

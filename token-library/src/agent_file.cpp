// The agent configuration file: key=value lines shared with the federation
// server, of which the library applies password, cipher-suite and
// obfuscate-password.
#include "internal.h"

#include <openssl/crypto.h>

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr const char *kFlagNull =
    "Cannot set flag, which dictates for the NBR API instance, whether to enable or disable 3DES-decryption of "
    "password - handle is null\n";
constexpr const char *kFlagInvalid =
    "Cannot set flag, which dictates for the NBR API instance, whether to enable or disable 3DES-decryption of "
    "password - handle is not valid\n";

// White space as the C locale's isspace sees it, so CR of CR LF files goes too.
constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim_front(std::string_view text) noexcept {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view trim_back(std::string_view text) noexcept {
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// One line of the file after comments and trimming.
enum class LineKind { ignored, assignment, missing_assignment };

struct Line {
    LineKind kind;
    std::string_view key;
    std::string_view value;
};

Line parse_line(std::string_view line) noexcept {
    line = trim_front(line);
    if (line.empty() || line.front() == '#') return {LineKind::ignored, {}, {}};
    if (const auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    size_t key_end = 0;
    while (key_end < line.size() && !is_space(line[key_end]) && line[key_end] != '=') ++key_end;
    const std::string_view key = line.substr(0, key_end);
    const std::string_view rest = trim_front(line.substr(key_end));
    if (rest.empty() || rest.front() != '=') return {LineKind::missing_assignment, key, {}};
    return {LineKind::assignment, key, trim_back(trim_front(rest.substr(1)))};
}

using Setter = int (*)(nubrel_instance *, const char *);

struct KeyEntry {
    const char *key;
    Setter apply;
};

constexpr std::array<KeyEntry, 3> kKeys{{
    {"password", [](nubrel_instance *handle, const char *value) -> int { return set_nubrel_password(handle, value); }},
    {"cipher-suite",
     [](nubrel_instance *handle, const char *value) -> int { return set_nubrel_cipher_suite_str(handle, value); }},
    {"obfuscate-password", nubrel::set_obfuscation_flag},
}};

// The file's bytes may hold the password: wipe them before they are freed.
struct WipedBuffer {
    char *bytes = nullptr;
    size_t size = 0;
    WipedBuffer() = default;
    WipedBuffer(const WipedBuffer &) = delete;
    WipedBuffer &operator=(const WipedBuffer &) = delete;
    ~WipedBuffer() {
        if (bytes == nullptr) return;
        OPENSSL_cleanse(bytes, size);
        std::free(bytes);
    }
};

struct FileCloser {
    void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Applies one value to every table entry of the key; false when the value
// could not even be copied, which ends the reading.
bool apply_value(nubrel_instance *handle, std::string_view key, std::string_view value, int &errors) noexcept {
    for (const auto &entry : kKeys) {
        if (key != entry.key) continue;
        WipedBuffer copy;
        copy.bytes = static_cast<char *>(std::malloc(value.size() + 1));
        if (copy.bytes == nullptr) {
            NBR_LOG(error, "Cannot duplicate value from Quorvel Agent's configuration file for key \"%s\"- out of memory\n",
                    entry.key);
            ++errors;
            return false;
        }
        copy.size = value.size() + 1;
        std::memcpy(copy.bytes, value.data(), value.size());
        copy.bytes[value.size()] = '\0';
        NBR_LOG(detail, "Calling a function for processing value of a configuration file property \"%s\"\n", entry.key);
        if (entry.apply(handle, copy.bytes) == -1) ++errors;
    }
    return true;
}

}  // namespace

namespace nubrel {

int set_obfuscation_flag(nubrel_instance *handle, const char *value) noexcept {
    if (!valid_handle(handle, kFlagNull, kFlagInvalid)) return -1;
    if (value == nullptr) {
        NBR_LOG(error, "Cannot set flag, which dictates for the NBR API instance, whether to enable or disable "
                       "3DES-decryption of password  - string is null\n");
        return -1;
    }
    if (*value == '\0') {
        NBR_LOG(error, "Cannot set flag, which dictates for the NBR API instance, whether to enable or disable "
                       "3DES-decryption of password - string is empty\n");
        return -1;
    }
    if (equals_ignoring_case(value, "true")) {
        handle->obfuscate_password = 1;
        NBR_LOG(detail, "Changed the password obfuscation flag for the NBR API instance to \"true\"\n");
        return 0;
    }
    if (equals_ignoring_case(value, "false")) {
        handle->obfuscate_password = 0;
        NBR_LOG(detail, "Changed the password obfuscation flag for the NBR API instance to \"false\"\n");
        return 0;
    }
    NBR_LOG(error,
            "Cannot set flag, which dictates for the NBR API instance, whether to enable or disable 3DES-decryption "
            "of password - value \"%s\" does not match \"false\" or \"true\"\n",
            value);
    return -1;
}

}  // namespace nubrel

extern "C" {

NUBREL_API int32_t set_quorvelagent_configuration_file(nubrel_instance *handle, const char *path) {
    if (!nubrel::valid_handle(handle,
                              "Cannot parse Quorvel Agent's configuration file - NBR instance handle is null\n",
                              "Cannot parse Quorvel Agent's configuration file - NBR instance handle is not valid\n"))
        return -1;
    if (path == nullptr) {
        NBR_LOG(error, "Cannot parse Quorvel Agent's configuration file - path is NULL\n");
        return -1;
    }
    if (*path == '\0') {
        NBR_LOG(error, "Cannot parse Quorvel Agent's configuration file - path is empty\n");
        return -1;
    }

    struct stat status {};
    if (stat(path, &status) != 0) {
        const bool not_found = errno == ENOENT || errno == ENOTDIR;
        NBR_LOG(error, "Cannot get statistics on Quorvel Agent's configuration file \"%s\" - %s\n", path,
                not_found ? "the filename or path could not be found" : "unhandled error");
        return -1;
    }
    if (status.st_size == 0) {
        NBR_LOG(error, "Cannot parse Quorvel Agent's configuration file \"%s\" - it is empty\n", path);
        return -1;
    }
    NBR_LOG(progress, "Parsing Quorvel Agent's configuration file: \"%s\"\n", path);
    const auto size = static_cast<size_t>(status.st_size);
    WipedBuffer buffer;
    buffer.bytes = status.st_size > 0 ? static_cast<char *>(std::malloc(size + 1)) : nullptr;
    if (buffer.bytes == nullptr) {
        NBR_LOG(error, "Cannot allocate buffer with %lu bytes for loading Quorvel Agent's configuration file\n",
                static_cast<unsigned long>(status.st_size));
        return -1;
    }
    buffer.size = size + 1;

    File file(std::fopen(path, "rb"));
    if (!file) {
        NBR_LOG(error, "Cannot open Quorvel Agent's configuration file \"%s\"\n", path);
        return -1;
    }
    const size_t read = std::fread(buffer.bytes, 1, size, file.get());
    if (read == 0 || std::ferror(file.get()) != 0) {
        NBR_LOG(error, "Cannot read the contents of Quorvel Agent's configuration file \"%s\"\n", path);
        return -1;
    }
    if (read < size)
        NBR_LOG(warning, "Quorvel Agent's configuration file \"%s\" has been read partially: %i bytes rather than %i\n",
                path, static_cast<int>(read), static_cast<int>(size));
    buffer.bytes[read] = '\0';

    int errors = 0;
    bool complete = true;
    std::string_view rest(buffer.bytes, read);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view text = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);

        const Line line = parse_line(text);
        if (line.kind == LineKind::ignored) continue;
        if (line.kind == LineKind::missing_assignment) {
            NBR_LOG(error, "Cannot parse definition of Quorvel Agent's configuration file - assignment is absent\n");
            ++errors;
            complete = false;
            break;
        }
        if (!apply_value(handle, line.key, line.value, errors)) {
            complete = false;
            break;
        }
    }

    if (complete) {
        if (handle->password == nullptr) {
            NBR_LOG(error, "Configuration file is not valid - password is not defined\n");
            ++errors;
        } else if (handle->obfuscate_password != 0 && nubrel::deobfuscate_password(handle) != 0) {
            ++errors;
        }
        // Only a file that was wholly accepted is reported as parsed.
        if (errors == 0) NBR_LOG(progress, "Succeeded to parse the Quorvel Agent's configuration file\n");
    }
    return errors == 0 ? 0 : -1;
}

}  // extern "C"

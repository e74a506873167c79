// The tool's side of libnubrel: owners for what the library hands out, and
// calls whose log lines are caught so that a failure is reported as one
// line carrying the library's own reason.
#pragma once

#include "cli.h"
#include "nubrel.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tool {

struct InstanceRelease {
    void operator()(nubrel_instance *handle) const noexcept { nubrel_release_instance(handle); }
};
using Instance = std::unique_ptr<nubrel_instance, InstanceRelease>;

struct LibraryFree {
    void operator()(void *pointer) const noexcept { nubrel_free(pointer); }
};
// A buffer handed out by the library.
template <typename T>
using LibraryBuffer = std::unique_ptr<T, LibraryFree>;

// A record filled by nubrel_decode; releases its payload.
struct DecodedToken {
    nubrel_tokendata data{};
    DecodedToken() = default;
    DecodedToken(const DecodedToken &) = delete;
    DecodedToken &operator=(const DecodedToken &) = delete;
    ~DecodedToken() { nubrel_free_tokendata(&data); }
};

// Outside the web server the library writes its lines to standard error as
// "[nubrel:<class>] <text>". Each call below diverts them: error lines are
// kept as the reason of a failure, and all lines are passed on when the
// operator asked for a verbose level above 0.
struct LibraryLog {
    std::string_view command;
    uint32_t verbose = 0;
    std::vector<std::string> errors{};  // error lines of the latest call
};

struct DivertedStderr {
    int saved = -1;
    std::FILE *file = nullptr;
};
DivertedStderr divert_stderr() noexcept;
std::string restore_stderr(DivertedStderr &diverted) noexcept;
void take_library_output(LibraryLog &log, std::string_view text);

template <typename Call>
auto library_call(LibraryLog &log, Call &&call) {
    log.errors.clear();
    DivertedStderr diverted = divert_stderr();
    auto result = std::forward<Call>(call)();
    take_library_output(log, restore_stderr(diverted));
    return result;
}

// Ends the command with "nubrel <command>: <what>: <library's reason>".
[[noreturn]] void library_failure(const LibraryLog &log, int status, std::string_view what);

// "--verbose LEVEL": the library's verbose level (0 to 5) for the run.
inline constexpr OptionInfo kVerboseOption{"--verbose", "LEVEL"};
void apply_verbose_option(LibraryLog &log, const Arguments &args);

// Where the keys come from: the agent configuration file, or a password
// given on the command line; salt and iteration count for non-default set-ups.
struct KeySettings {
    std::optional<std::string> agent_config;
    std::optional<std::string> password_b64;
    std::vector<unsigned char> salt;  // empty: the library's built-in salt
    std::optional<int32_t> iterations;
};

// An instance together with the salt it points to (the library does not copy it).
struct Keyring {
    std::vector<unsigned char> salt;
    Instance instance;
};

// The key options shared by the token commands.
inline constexpr std::array<OptionInfo, 4> kKeyOptions{{
    {"--agent-config", "FILE"},
    {"--password-b64", "B64"},
    {"--salt-hex", "HEX"},
    {"--iterations", "N"},
}};
KeySettings key_settings(const Arguments &args);

// Initialises the library and builds an instance from the settings. A file
// that fails ends the command with status 1; a bad option value with status 2.
Keyring open_keyring(LibraryLog &log, const KeySettings &settings);

// The whole text of an agent configuration file, or nothing when it cannot be read.
std::optional<std::string> read_agent_file(const std::string &path);

// The last value of a key in an agent configuration file, read with the
// file's own syntax; for the agent's keys that the library leaves alone.
std::optional<std::string> agent_file_value(const std::string &path, std::string_view key);

// Suite the agent expects when its file names none.
constexpr int32_t kAgentDefaultSuite = 2;

// The cipher suite the agent checks tokens against: the file's
// "cipher-suite" as the library read it, or the agent's default.
int32_t agent_cipher_suite(LibraryLog &log, const Keyring &keyring, const std::string &path);

// "1 (AES, key size 256 bits, CBC mode, PKCS5 padding)"
std::string suite_text(int32_t suite);

}  // namespace tool

#include "library.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>

namespace tool {

namespace {

constexpr std::string_view kErrorPrefix = "[nubrel:error] ";

}  // namespace

DivertedStderr divert_stderr() noexcept {
    DivertedStderr diverted;
    std::fflush(stderr);
    diverted.file = std::tmpfile();
    if (diverted.file == nullptr) return diverted;  // lines then reach stderr directly
    diverted.saved = dup(STDERR_FILENO);
    if (diverted.saved < 0 || dup2(fileno(diverted.file), STDERR_FILENO) < 0) {
        if (diverted.saved >= 0) close(diverted.saved);
        std::fclose(diverted.file);
        diverted = {};
    }
    return diverted;
}

std::string restore_stderr(DivertedStderr &diverted) noexcept {
    if (diverted.file == nullptr) return {};
    std::fflush(stderr);
    dup2(diverted.saved, STDERR_FILENO);
    close(diverted.saved);
    std::string text;
    std::rewind(diverted.file);
    char chunk[4096];
    size_t count = 0;
    try {
        while ((count = std::fread(chunk, 1, sizeof chunk, diverted.file)) > 0) text.append(chunk, count);
    } catch (...) {
        // Out of memory while keeping log text: the reason is lost, not the run.
    }
    std::fclose(diverted.file);
    diverted = {};
    return text;
}

void take_library_output(LibraryLog &log, std::string_view text) {
    if (log.verbose > 0 && !text.empty()) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (line.starts_with(kErrorPrefix)) log.errors.emplace_back(line.substr(kErrorPrefix.size()));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
}

void library_failure(const LibraryLog &log, int status, std::string_view what) {
    std::string message = "nubrel";
    if (!log.command.empty()) message.append(" ").append(log.command);
    message += ": ";
    message.append(what);
    std::string reason;
    for (const std::string &error : log.errors) {
        if (!reason.empty()) reason += "; ";
        reason += error;
    }
    if (reason.empty()) reason = "the library gave no reason";
    message.append(what.empty() ? "" : ": ").append(reason);
    throw ToolExit{status, message};
}

void apply_verbose_option(LibraryLog &log, const Arguments &args) {
    const auto text = option_value(args, kVerboseOption.name);
    if (!text) return;
    const auto level = static_cast<uint32_t>(integer_option(args, kVerboseOption.name, *text, 0, 5));
    library_call(log, [&] { return set_nubrel_verbose_level(level); });
    log.verbose = level;
}

KeySettings key_settings(const Arguments &args) {
    KeySettings settings;
    if (const auto path = option_value(args, "--agent-config")) {
        if (path->empty()) usage_error(args.command, "option \"--agent-config\" needs a file name");
        settings.agent_config = std::string(*path);
    }
    if (const auto password = option_value(args, "--password-b64")) settings.password_b64 = std::string(*password);
    if (settings.agent_config && settings.password_b64)
        usage_error(args.command, "options \"--agent-config\" and \"--password-b64\" exclude each other");
    if (const auto hex = option_value(args, "--salt-hex")) {
        auto salt = parse_hex(*hex);
        if (!salt) usage_error(args.command, "option \"--salt-hex\" expects pairs of hexadecimal digits");
        if (salt->size() > INT32_MAX) usage_error(args.command, "option \"--salt-hex\" is too long");
        settings.salt = std::move(*salt);
    }
    if (const auto count = option_value(args, "--iterations"))
        settings.iterations = static_cast<int32_t>(integer_option(args, "--iterations", *count, 2, INT32_MAX));
    return settings;
}

Keyring open_keyring(LibraryLog &log, const KeySettings &settings) {
    if (library_call(log, [] { return nubrel_initialize(); }) != 0)
        library_failure(log, kExitFailure, "cannot initialise the token library");
    Keyring keyring;
    keyring.salt = settings.salt;
    keyring.instance.reset(library_call(log, [] { return nubrel_create_instance(); }));
    if (!keyring.instance) library_failure(log, kExitFailure, "cannot create a library instance");
    nubrel_instance *handle = keyring.instance.get();

    if (settings.agent_config && library_call(log, [&] {
                                     return set_quorvelagent_configuration_file(handle, settings.agent_config->c_str());
                                 }) != 0)
        library_failure(log, kExitFailure, "cannot use the agent configuration file " + quoted(*settings.agent_config));
    if (settings.password_b64 &&
        library_call(log, [&] { return set_nubrel_password(handle, settings.password_b64->c_str()); }) != 0)
        library_failure(log, kExitUsage, "option \"--password-b64\" is not usable");
    if (!keyring.salt.empty() && library_call(log, [&] {
                                     return set_nubrel_salt(handle, keyring.salt.data(),
                                                            static_cast<int32_t>(keyring.salt.size()));
                                 }) != 0)
        library_failure(log, kExitFailure, "cannot set the salt");
    if (settings.iterations &&
        library_call(log, [&] { return set_nubrel_iterations_number(handle, *settings.iterations); }) != 0)
        library_failure(log, kExitUsage, "option \"--iterations\" is not usable");
    return keyring;
}

std::optional<std::string> read_agent_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return std::string{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::optional<std::string> agent_file_value(const std::string &path, std::string_view key) {
    const std::optional<std::string> contents = read_agent_file(path);
    if (!contents) return std::nullopt;
    std::optional<std::string> found;
    std::string_view rest = *contents;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        while (!line.empty() && is_space(line.front())) line.remove_prefix(1);
        if (line.empty() || line.front() == '#') continue;
        line = line.substr(0, line.find('#'));
        size_t key_end = 0;
        while (key_end < line.size() && !is_space(line[key_end]) && line[key_end] != '=') ++key_end;
        const std::string_view assignment = trim(line.substr(key_end));
        // A line without "=" ends the file for its readers.
        if (assignment.empty() || assignment.front() != '=') break;
        if (line.substr(0, key_end) == key) found = std::string(trim(assignment.substr(1)));
    }
    return found;
}

int32_t agent_cipher_suite(LibraryLog &log, const Keyring &keyring, const std::string &path) {
    if (!agent_file_value(path, "cipher-suite")) return kAgentDefaultSuite;
    int32_t suite = kAgentDefaultSuite;
    if (library_call(log, [&] { return get_nubrel_cipher_suite(keyring.instance.get(), &suite); }) != 0)
        library_failure(log, kExitFailure, "cannot read the configured cipher suite");
    return suite;
}

std::string suite_text(int32_t suite) {
    const char *name = nubrel_get_cipher_suite_name(suite);
    return std::to_string(suite) + " (" + (name != nullptr ? name : "unknown") + ")";
}

}  // namespace tool

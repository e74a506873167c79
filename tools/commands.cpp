#include "commands.h"

#include "library.h"
#include "obfuscation_key.h"
#include "session.h"
#include "startup/agent_file_rules.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <ctime>

namespace tool {

namespace {

constexpr uint8_t kTokenVersion = 1;
// Far above any real token (a token's payload field holds at most 65535 bytes).
constexpr size_t kMaxTokenText = 1024 * 1024;
constexpr size_t kMaxPassword = 64 * 1024;
constexpr int64_t kDefaultLifetime = 3600;
constexpr int64_t kDefaultMaxLifetime = 28800;
// Keys that mint writes itself.
constexpr std::array<std::string_view, 5> kSessionKeys{"subject", "not-before", "not-on-or-after", "renew-until",
                                                       "qv_attribute_list"};

template <size_t... N>
constexpr auto join_options(const std::array<OptionInfo, N> &...parts) {
    std::array<OptionInfo, (N + ...)> all{};
    size_t at = 0;
    ((std::copy(parts.begin(), parts.end(), all.begin() + at), at += N), ...);
    return all;
}

constexpr std::array<OptionInfo, 1> kVerbose{kVerboseOption};

[[noreturn]] void failure(const Arguments &args, std::string_view message) {
    throw ToolExit{kExitFailure, "nubrel " + std::string(args.command) + ": " + std::string(message)};
}

void no_operands(const Arguments &args) {
    if (!args.operands.empty()) usage_error(args.command, "unexpected argument " + quoted(args.operands.front()));
}

// ---- standard input and output ----------------------------------------------

struct Input {
    std::string bytes;
    bool too_long = false;
};

Input read_standard_input(const Arguments &args, size_t limit) {
    Input input;
    char chunk[65536];
    size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
        if (count > limit - input.bytes.size()) {
            input.too_long = true;
            break;
        }
        input.bytes.append(chunk, count);
    }
    if (std::ferror(stdin)) failure(args, "cannot read standard input");
    return input;
}

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// ---- tokens ----------------------------------------------------------------

std::optional<int> hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return std::nullopt;
}

std::string percent_decoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto high = i + 2 < text.size() && text[i] == '%' ? hex_value(text[i + 1]) : std::nullopt;
        const auto low = high ? hex_value(text[i + 2]) : std::nullopt;
        if (high && low) {
            out += static_cast<char>(*high << 4 | *low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool starts_without_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

// A token as operators copy it: alone, as NAME=value, as a "Cookie:" header
// line or in a URL. Among pairs the one named `name` wins, else the first
// whose value starts like a token ("TkJS", the encoded "NBR").
std::string token_from_text(const Arguments &args, std::string_view text, const std::optional<std::string> &name) {
    text = trim(text);
    if (starts_without_case(text, "cookie:")) text = trim(text.substr(7));
    if (text.find('=') == std::string_view::npos) return std::string(text);
    std::string_view rest = text.substr(0, text.find('#'));
    std::optional<std::string_view> first;
    while (!rest.empty()) {
        const size_t end = rest.find_first_of(";&?, \t");
        const std::string_view piece = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        const size_t equals = piece.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view value = trim(piece.substr(equals + 1));
        if (name && trim(piece.substr(0, equals)) == *name) return percent_decoded(value);
        if (!first && value.starts_with("TkJS")) first = value;
    }
    if (first) return percent_decoded(*first);
    usage_error(args.command, "no token in the text given (a token, NAME=TOKEN, a Cookie: line or a URL)");
}

std::string read_token(const Arguments &args, const KeySettings &settings) {
    if (args.operands.empty()) usage_error(args.command, "a token is needed (or \"-\" to read it from standard input)");
    if (args.operands.size() > 1) usage_error(args.command, "only one token can be given");
    const std::optional<std::string> name =
        settings.agent_config ? agent_file_value(*settings.agent_config, "token-name") : std::nullopt;
    if (args.operands.front() != "-") return token_from_text(args, args.operands.front(), name);
    const Input input = read_standard_input(args, kMaxTokenText);
    if (input.too_long) failure(args, "the text on standard input is too long for a token");
    return token_from_text(args, input.bytes, name);
}

void decode_token(LibraryLog &log, const Keyring &keyring, const std::string &token, DecodedToken &decoded) {
    // The text is bounded by the argument size or kMaxTokenText.
    if (library_call(log, [&] { return is_nubrel(token.c_str(), static_cast<int32_t>(token.size())); }) != 1)
        library_failure(log, kExitFailure, "not a Nubrel token");
    if (library_call(log, [&] {
            return nubrel_decode(keyring.instance.get(), token.c_str(), &decoded.data, nullptr, nullptr, nullptr);
        }) != 0)
        library_failure(log, kExitFailure, "cannot decode the token");
}

void print_token(const nubrel_tokendata &data) {
    std::string text = "Version: " + std::to_string(data.version) + "\n";
    text += "Cipher suite: " + suite_text(data.cipher_suite) + "\n";
    text += "Payload (" + std::to_string(data.payload_length) + " bytes):\n";
    if (data.payload != nullptr && data.payload_length > 0) {
        text.append(data.payload, data.payload_length);
        if (text.back() != '\n') text += '\n';
    }
    print(text);
}

std::string encode_payload(LibraryLog &log, const Keyring &keyring, int32_t suite, std::string &payload) {
    nubrel_tokendata data{};
    data.version = kTokenVersion;
    data.cipher_suite = static_cast<uint8_t>(suite);
    data.payload_length = static_cast<uint32_t>(payload.size());
    data.payload = payload.empty() ? nullptr : payload.data();
    LibraryBuffer<char> token(
        library_call(log, [&] { return nubrel_encode(keyring.instance.get(), &data, nullptr, nullptr, nullptr); }));
    if (!token) library_failure(log, kExitFailure, "cannot encode the token");
    return token.get();
}

// ---- payload lines ---------------------------------------------------------

// One payload line in the writer's stored form (quoting, escapes).
std::string payload_line(LibraryLog &log, const std::string &key, const std::string &value) {
    char *raw = nullptr;
    const int32_t result =
        library_call(log, [&] { return nubrel_set_payload_value(&raw, key.c_str(), value.c_str()); });
    LibraryBuffer<char> line(raw);
    if (result != 0 || !line) library_failure(log, kExitFailure, "cannot write the payload item " + quoted(key));
    return line.get();
}

std::string payload_time_line(LibraryLog &log, const std::string &key, int64_t time) {
    char *raw = nullptr;
    const int32_t result = library_call(log, [&] { return nubrel_set_payload_time(&raw, key.c_str(), time); });
    LibraryBuffer<char> line(raw);
    if (result != 0 || !line) library_failure(log, kExitFailure, "cannot write the payload time " + quoted(key));
    return line.get();
}

// The payload writer does not escape line breaks: one in a value would
// split it into lines of its own.
void check_value(const Arguments &args, std::string_view option, std::string_view value) {
    if (value.find_first_of("\r\n") != std::string_view::npos)
        usage_error(args.command, "the value of " + quoted(option) + " cannot hold a line break");
}

struct Attribute {
    std::string key;
    std::string value;
};

// Keys become request header names and items of the comma-separated
// "qv_attribute_list", so blanks, controls and commas are refused.
Attribute parse_attribute(const Arguments &args, std::string_view text) {
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0)
        usage_error(args.command, "option \"--attr\" expects key=value, not " + quoted(text));
    const std::string_view key = text.substr(0, equals);
    const std::string_view value = text.substr(equals + 1);
    if (std::any_of(key.begin(), key.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte <= 0x20 || byte == 0x7f || c == ',';
        }))
        usage_error(args.command, "attribute key " + quoted(key) + " cannot hold blanks, control characters or commas");
    if (std::find(kSessionKeys.begin(), kSessionKeys.end(), key) != kSessionKeys.end())
        usage_error(args.command, "attribute key " + quoted(key) + " is written by mint itself");
    check_value(args, "--attr", value);
    return {std::string(key), std::string(value)};
}

// ---- decode ----------------------------------------------------------------

constexpr std::array<OptionInfo, 1> kDecodeOwn{{{"--payload-only", ""}}};
constexpr auto kDecodeOptions = join_options(kDecodeOwn, kKeyOptions, kVerbose);

int run_decode(const Arguments &args) {
    LibraryLog log{args.command};
    apply_verbose_option(log, args);
    const KeySettings settings = key_settings(args);
    const std::string token = read_token(args, settings);
    const Keyring keyring = open_keyring(log, settings);
    DecodedToken decoded;
    decode_token(log, keyring, token, decoded);
    if (has_flag(args, "--payload-only")) {
        if (decoded.data.payload != nullptr) print({decoded.data.payload, decoded.data.payload_length});
    } else {
        print_token(decoded.data);
    }
    return 0;
}

// ---- inspect ---------------------------------------------------------------

constexpr std::array<OptionInfo, 3> kInspectOwn{
    {{"--at", "TIME"}, {"--notbefore-tolerance", "SECONDS"}, {"--prefix", "TEXT"}}};
constexpr auto kInspectOptions = join_options(kInspectOwn, kKeyOptions, kVerbose);

void read_session_time(LibraryLog &log, const char *payload, SessionTime &time) {
    if (payload == nullptr) return;
    const std::string key(time.key);
    LibraryBuffer<char> text(library_call(log, [&] { return nubrel_get_payload_value(payload, key.c_str()); }));
    if (!text) return;
    time.present = true;
    time.text = text.get();
    int64_t value = 0;
    if (library_call(log, [&] { return nubrel_get_payload_time(payload, key.c_str(), &value); }) == 0)
        time.value = value;
}

std::string session_time_row(const SessionTime &time, int64_t now) {
    std::string row = "  " + std::string(time.key) + ":";
    row.resize(std::max<size_t>(row.size() + 1, 19), ' ');
    if (!time.present) return row + "missing\n";
    if (!time.value) return row + "not a time: " + quoted(time.text) + "\n";
    return row + iso_time(*time.value) + " (" + relative_time(*time.value, now) + ")\n";
}

bool known_suite(int suite) { return is_valid_cipher_suite(suite) == 1; }

// The agent's own keys of an agent file, as start-up judges them.
qv::AgentFileFindings judge_file(const Arguments &args, const std::string &path) {
    const std::optional<std::string> text = read_agent_file(path);
    if (!text) failure(args, "cannot read the agent configuration file " + quoted(path));
    return qv::judge_agent_file(*text, known_suite);
}

std::string problem_text(const std::string &path, const qv::AgentFileProblem &problem) {
    return path + (problem.line > 0 ? ", line " + std::to_string(problem.line) : std::string()) + ": " + problem.text;
}

bool has_payload_key(LibraryLog &log, const char *payload, const char *key) {
    if (payload == nullptr) return false;
    const LibraryBuffer<char> value(library_call(log, [&] { return nubrel_get_payload_value(payload, key); }));
    return value != nullptr;
}

int run_inspect(const Arguments &args) {
    LibraryLog log{args.command};
    apply_verbose_option(log, args);
    const KeySettings settings = key_settings(args);
    SessionCheck check;
    std::optional<qv::AgentFileFindings> file;
    if (settings.agent_config) file = judge_file(args, *settings.agent_config);
    if (const auto text = option_value(args, "--notbefore-tolerance"))
        check.notbefore_tolerance = integer_option(args, "--notbefore-tolerance", *text, 0, INT32_MAX);
    else if (file)
        check.notbefore_tolerance = file->notbefore_tolerance;
    // The module file keeps quotes: "" written there is the empty prefix too.
    if (const auto prefix = option_value(args, "--prefix")) check.empty_prefix = prefix->empty() || *prefix == "\"\"";
    const std::optional<std::string_view> at = option_value(args, "--at");
    check.now = static_cast<int64_t>(std::time(nullptr));
    if (at) {
        const std::string text(*at);
        if (library_call(log, [&] { return nubrel_get_time(text.c_str(), &check.now); }) != 0)
            usage_error(args.command,
                        "option \"--at\" expects a time such as 2001-09-09T01:46:40Z, not " + quoted(text));
    }
    const std::string token = read_token(args, settings);
    const Keyring keyring = open_keyring(log, settings);
    DecodedToken decoded;
    decode_token(log, keyring, token, decoded);
    print_token(decoded.data);

    check.token_suite = decoded.data.cipher_suite;
    if (settings.agent_config) check.agent_suite = agent_cipher_suite(log, keyring, *settings.agent_config);
    check.has_attribute_list = has_payload_key(log, decoded.data.payload, "qv_attribute_list");
    SessionTimes times;
    for (SessionTime *time : {&times.not_before, &times.not_on_or_after, &times.renew_until})
        read_session_time(log, decoded.data.payload, *time);

    std::string text = "Session times (" + std::string(at ? "at " : "now is ") + iso_time(check.now) + "):\n";
    for (const SessionTime *time : {&times.not_before, &times.not_on_or_after, &times.renew_until})
        text += session_time_row(*time, check.now);
    if (file && file->token_lifetime > 0)
        text += "Each accepted request renews the session for " + duration_text(file->token_lifetime) +
                " (token-lifetime).\n";
    Verdict verdict = judge_session(times, check);
    // An agent that would not start accepts no token at all.
    if (file && !file->problems.empty())
        verdict = {false, "the agent would not start with " + problem_text(*settings.agent_config,
                                                                             file->problems.front())};
    text += at ? "Valid at that time: " : "Valid now: ";
    text += verdict.valid ? "yes\n" : "no - " + verdict.reason + "\n";
    print(text);
    return verdict.valid ? 0 : kExitFailure;
}

// ---- check-config ----------------------------------------------------------

int run_check_config(const Arguments &args) {
    LibraryLog log{args.command};
    apply_verbose_option(log, args);
    if (args.operands.size() != 1) usage_error(args.command, "one agent configuration file is needed");
    const std::string path(args.operands.front());
    const qv::AgentFileFindings file = judge_file(args, path);

    std::vector<std::string> problems;
    // What the library reads itself: the password, its obfuscation, the suite.
    if (library_call(log, [] { return nubrel_initialize(); }) != 0)
        library_failure(log, kExitFailure, "cannot initialise the token library");
    const Instance instance(library_call(log, [] { return nubrel_create_instance(); }));
    if (!instance) library_failure(log, kExitFailure, "cannot create a library instance");
    if (library_call(log, [&] { return set_quorvelagent_configuration_file(instance.get(), path.c_str()); }) != 0)
        for (const std::string &error : log.errors) problems.push_back(path + ": " + error);
    for (const qv::AgentFileProblem &problem : file.problems) problems.push_back(problem_text(path, problem));

    for (const std::string &problem : problems) std::fprintf(stderr, "nubrel check-config: %s\n", problem.c_str());
    if (!problems.empty()) return kExitFailure;
    std::string text = path + ": the agent accepts this file (cipher suite " + suite_text(file.cipher_suite) +
                       ", token lifetime " + duration_text(file.token_lifetime) + ")\n";
    if (file.cipher_suite == 0)
        text += "Warning: cipher suite 0 encrypts nothing and anyone can forge its tokens: never use it in "
                "production.\n";
    print(text);
    return 0;
}

// ---- encode ----------------------------------------------------------------

constexpr std::array<OptionInfo, 2> kEncodeOwn{{{"--suite", "N"}, {"--level", "N"}}};
constexpr auto kEncodeOptions = join_options(kEncodeOwn, kKeyOptions, kVerbose);

int run_encode(const Arguments &args) {
    LibraryLog log{args.command};
    apply_verbose_option(log, args);
    no_operands(args);
    const KeySettings settings = key_settings(args);
    std::optional<int32_t> suite;
    if (const auto text = option_value(args, "--suite"))
        suite = static_cast<int32_t>(integer_option(args, "--suite", *text, 0, 3));
    std::optional<int32_t> level;
    if (const auto text = option_value(args, "--level"))
        level = static_cast<int32_t>(integer_option(args, "--level", *text, -1, 9));

    Input input = read_standard_input(args, NUBREL_MAX_PAYLOAD_LENGTH);
    if (input.too_long)
        failure(args, "the payload is longer than " + std::to_string(NUBREL_MAX_PAYLOAD_LENGTH) +
                          " bytes, the most a token may carry");
    if (input.bytes.find('\0') != std::string::npos)
        failure(args, "the payload holds a NUL byte, which no reader of the token would see past");

    const Keyring keyring = open_keyring(log, settings);
    if (!suite)
        suite = settings.agent_config ? agent_cipher_suite(log, keyring, *settings.agent_config)
                                      : NUBREL_DEFAULT_CIPHER_SUITE;
    if (level &&
        library_call(log, [&] { return set_nubrel_zlib_compression_level(keyring.instance.get(), *level); }) != 0)
        library_failure(log, kExitUsage, "option \"--level\" is not usable");
    print(encode_payload(log, keyring, *suite, input.bytes) + "\n");
    return 0;
}

// ---- mint ------------------------------------------------------------------

// The agent derives its keys from its file with the built-in salt and
// iteration count, so mint takes its keys from that file alone.
constexpr std::array<OptionInfo, 5> kMintOwn{{
    {"--agent-config", "FILE"},
    {"--subject", "NAME"},
    {"--lifetime", "SECONDS"},
    {"--max-lifetime", "SECONDS"},
    {"--attr", "KEY=VALUE", true},
}};
constexpr auto kMintOptions = join_options(kMintOwn, kVerbose);

int run_mint(const Arguments &args) {
    LibraryLog log{args.command};
    apply_verbose_option(log, args);
    no_operands(args);
    const KeySettings settings = key_settings(args);
    if (!settings.agent_config) usage_error(args.command, "option \"--agent-config\" is required");
    const auto subject = option_value(args, "--subject");
    if (!subject || subject->empty()) usage_error(args.command, "option \"--subject\" is required");
    check_value(args, "--subject", *subject);
    const auto lifetime_text = option_value(args, "--lifetime");
    const int64_t lifetime =
        lifetime_text ? integer_option(args, "--lifetime", *lifetime_text, 0, INT32_MAX) : kDefaultLifetime;
    const auto max_lifetime_text = option_value(args, "--max-lifetime");
    const int64_t max_lifetime = max_lifetime_text
                                     ? integer_option(args, "--max-lifetime", *max_lifetime_text, 0, INT32_MAX)
                                     : kDefaultMaxLifetime;
    std::vector<Attribute> attributes;
    for (const std::string_view text : option_values(args, "--attr")) attributes.push_back(parse_attribute(args, text));

    const Keyring keyring = open_keyring(log, settings);
    const int32_t suite = agent_cipher_suite(log, keyring, *settings.agent_config);
    const auto now = static_cast<int64_t>(std::time(nullptr));

    // Each line comes from the library's writer; concatenating them keeps
    // repeated attribute keys as separate lines, which the agent joins.
    std::string payload = payload_line(log, "subject", std::string(*subject));
    payload += payload_time_line(log, "not-before", now);
    payload += payload_time_line(log, "not-on-or-after", now + lifetime);
    payload += payload_time_line(log, "renew-until", now + max_lifetime);
    std::string attribute_list = "subject";
    std::vector<std::string_view> listed;
    for (const Attribute &attribute : attributes) {
        payload += payload_line(log, attribute.key, attribute.value);
        if (std::find(listed.begin(), listed.end(), attribute.key) != listed.end()) continue;
        listed.push_back(attribute.key);
        attribute_list += "," + attribute.key;
    }
    payload += payload_line(log, "qv_attribute_list", attribute_list);
    print(encode_payload(log, keyring, suite, payload) + "\n");
    return 0;
}

// ---- passwords -------------------------------------------------------------

std::string read_password(const Arguments &args) {
    no_operands(args);
    Input input = read_standard_input(args, kMaxPassword);
    if (input.too_long) failure(args, "the password is longer than " + std::to_string(kMaxPassword) + " bytes");
    std::string &password = input.bytes;
    if (password.ends_with("\r\n"))
        password.resize(password.size() - 2);
    else if (password.ends_with('\n'))
        password.pop_back();
    if (password.empty()) failure(args, "the password on standard input is empty");
    return password;
}

std::string base64_text(LibraryLog &log, const unsigned char *bytes, size_t length) {
    char *raw = nullptr;
    int32_t raw_length = 0;
    const int32_t result =
        library_call(log, [&] { return base64_encode(bytes, static_cast<int32_t>(length), &raw, &raw_length); });
    LibraryBuffer<char> text(raw);
    if (result != 0 || !text) library_failure(log, kExitFailure, "cannot encode the password");
    return {text.get(), static_cast<size_t>(raw_length)};
}

int run_encode_password(const Arguments &args) {
    LibraryLog log{args.command};
    const std::string password = read_password(args);
    print(base64_text(log, reinterpret_cast<const unsigned char *>(password.data()), password.size()) + "\n");
    return 0;
}

int run_obfuscate_password(const Arguments &args) {
    LibraryLog log{args.command};
    const std::string password = read_password(args);
    const std::vector<unsigned char> obfuscated = nubrel::obfuscation::obfuscate(password);
    if (obfuscated.empty()) failure(args, "cannot obfuscate the password");
    print(base64_text(log, obfuscated.data(), obfuscated.size()) + "\n");
    return 0;
}

// ---- help texts and the table ----------------------------------------------

constexpr std::string_view kKeyOptionsHelp =
    "  --agent-config FILE     password, its obfuscation and the cipher suite from\n"
    "                          the agent configuration file (the file the agent reads)\n"
    "  --password-b64 B64      the password as standard base64 text instead\n"
    "  --salt-hex HEX          PBKDF2 salt in hexadecimal (default: the built-in salt)\n"
    "  --iterations N          PBKDF2 iteration count, 2 or more (default: 1000)\n";

constexpr std::string_view kVerboseHelp =
    "  --verbose LEVEL         library log lines on standard error, 0 to 5\n"
    "                          (default 0: only the reason of a failure)\n";

constexpr std::string_view kExitHelp =
    "Exit status: 0 on success, 1 when a token, a file or the library fails,\n"
    "2 for a usage error.\n";

constexpr std::array<Command, 7> kCommands{{
    {"decode", "decode a token and print its payload",
     "Usage: nubrel decode [OPTIONS] TOKEN\n"
     "       nubrel decode [OPTIONS] -        (token on standard input)\n",
     "Decodes a Nubrel token and prints its format version, its cipher suite\n"
     "(number and name) and its payload. Tokens under cipher suite 0 need no key.\n",
     "  --payload-only          print the payload alone, byte for byte\n", true, kDecodeOptions, run_decode},
    {"inspect", "decode a token and check its session times",
     "Usage: nubrel inspect [OPTIONS] TOKEN\n"
     "       nubrel inspect [OPTIONS] -       (token on standard input)\n",
     "Prints what decode prints, then the session times \"not-before\",\n"
     "\"not-on-or-after\" and \"renew-until\" (ISO 8601 and relative to now), and\n"
     "whether the agent would accept the session now. With --agent-config the\n"
     "token is judged with that file as the agent judges it: its password, its\n"
     "cipher suite (2 when the file names none), its not-before tolerance, and\n"
     "its own keys as start-up checks them. TOKEN may also be NAME=TOKEN, a\n"
     "\"Cookie:\" header line or a URL holding the token. The exit status is 1\n"
     "for a token the agent would refuse.\n",
     "  --at TIME               judge at this time instead of now\n"
     "                          (such as 2001-09-09T01:46:40Z)\n"
     "  --notbefore-tolerance SECONDS\n"
     "                          seconds a \"not-before\" may lie in the future\n"
     "                          (default: token-notbefore-tolerance of the agent\n"
     "                          file, else 0)\n"
     "  --prefix TEXT           the agent's QuorvelAuthnPrefix; an empty one\n"
     "                          makes it refuse tokens without \"qv_attribute_list\"\n",
     true, kInspectOptions, run_inspect},
    {"check-config", "check an agent configuration file as the agent does",
     "Usage: nubrel check-config [OPTIONS] AGENT-FILE\n",
     "Reads the agent configuration file as the token library and the agent's\n"
     "start-up read it: the password (and its obfuscation), the cipher suite,\n"
     "the token lifetime, the not-before tolerance and the flags. Prints each\n"
     "problem on standard error with its line, or one line saying that the\n"
     "agent accepts the file. Exit status 0 when it does, 1 otherwise.\n",
     "", false, kVerbose, run_check_config},
    {"encode", "encode a payload read from standard input", "Usage: nubrel encode [OPTIONS] < PAYLOAD\n",
     "Encodes the payload read from standard input, byte for byte, into a token\n"
     "(format version 1) and prints it.\n",
     "  --suite N               cipher suite: 0 none, 1 AES-256, 2 AES-128,\n"
     "                          3 Triple-DES (default: the agent's suite with\n"
     "                          --agent-config, 2 when the file names none; else 1)\n"
     "  --level N               zlib compression level, -1 to 9 (default: 9)\n",
     true, kEncodeOptions, run_encode},
    {"mint", "issue a session token as the federation server does",
     "Usage: nubrel mint --agent-config FILE --subject NAME [OPTIONS]\n",
     "Issues a session token with \"subject\", \"not-before\" (now),\n"
     "\"not-on-or-after\" (now + lifetime), \"renew-until\" (now + max-lifetime),\n"
     "the attributes, and \"qv_attribute_list\" naming \"subject\" and the attribute\n"
     "keys. The cipher suite is the agent file's (2 when the file names none).\n"
     "A key given to --attr more than once gives one line per value.\n",
     "  --agent-config FILE     the agent configuration file: password, its\n"
     "                          obfuscation and the cipher suite (required)\n"
     "  --subject NAME          the user name (required)\n"
     "  --lifetime SECONDS      inactivity limit (default: 3600)\n"
     "  --max-lifetime SECONDS  overall session limit (default: 28800)\n"
     "  --attr KEY=VALUE        a session attribute; repeatable\n",
     false, kMintOptions, run_mint},
    {"encode-password", "print the \"password\" value of an agent file", "Usage: nubrel encode-password < PASSWORD\n",
     "Reads a plain password from standard input (one trailing line feed or\n"
     "CR LF is dropped) and prints it as standard base64 text: the value of the\n"
     "agent configuration file's \"password\" key with obfuscate-password=false.\n",
     "", false, kVerbose, run_encode_password},
    {"obfuscate-password", "print the obfuscated \"password\" value of an agent file",
     "Usage: nubrel obfuscate-password < PASSWORD\n",
     "Reads a plain password from standard input (one trailing line feed or\n"
     "CR LF is dropped) and prints its obfuscated form: the value of the agent\n"
     "configuration file's \"password\" key with obfuscate-password=true.\n",
     "", false, kVerbose, run_obfuscate_password},
}};

}  // namespace

const Command *find_command(std::string_view name) {
    for (const Command &command : kCommands)
        if (command.name == name) return &command;
    return nullptr;
}

std::string command_help(const Command &command) {
    std::string text(command.usage);
    text += "\n";
    text += command.description;
    text += "\nOptions:\n";
    text += command.options_help;
    if (command.key_options) text += kKeyOptionsHelp;
    text += kVerboseHelp;
    text += "  -h, --help              show this help\n\n";
    text += kExitHelp;
    return text;
}

std::string tool_help() {
    std::string text =
        "Usage: nubrel COMMAND [OPTIONS]\n"
        "       nubrel --version\n"
        "\n"
        "Decodes, inspects, encodes and issues Nubrel session tokens, and prepares\n"
        "the password of the agent configuration file.\n"
        "\n"
        "Commands:\n";
    for (const Command &command : kCommands) {
        std::string line = "  " + std::string(command.name);
        line.resize(22, ' ');
        text += line + std::string(command.summary) + "\n";
    }
    text += "\nRun \"nubrel COMMAND --help\" for the options of a command.\n";
    text += kExitHelp;
    return text;
}

}  // namespace tool

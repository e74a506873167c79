#include "cli.h"

#include <algorithm>
#include <charconv>

namespace tool {

namespace {

const OptionInfo *find_info(std::span<const OptionInfo> known, std::string_view name) {
    const auto found =
        std::find_if(known.begin(), known.end(), [&](const OptionInfo &info) { return info.name == name; });
    return found == known.end() ? nullptr : &*found;
}

std::optional<int> hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return std::nullopt;
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string result = "\"";
    result.append(text);
    result += '"';
    return result;
}

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

void usage_error(std::string_view command, std::string_view message) {
    std::string prefix = "nubrel";
    std::string help = "nubrel";
    if (!command.empty()) {
        prefix.append(" ").append(command);
        help.append(" ").append(command);
    }
    throw ToolExit{kExitUsage, prefix + ": " + std::string(message) + " (see \"" + help + " --help\")"};
}

Arguments parse_arguments(std::string_view command, std::span<const OptionInfo> known,
                          std::span<const std::string_view> args) {
    Arguments parsed;
    parsed.command = command;
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (options_ended || arg == "-" || !arg.starts_with("-")) {
            parsed.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        const OptionInfo *info = find_info(known, name);
        if (info == nullptr) usage_error(command, "unknown option " + quoted(name));
        if (!info->repeatable &&
            std::any_of(parsed.options.begin(), parsed.options.end(), [&](const Option &o) { return o.name == name; }))
            usage_error(command, "option " + quoted(name) + " is given more than once");
        std::string_view value;
        if (info->value_name.empty()) {
            if (equals != std::string_view::npos) usage_error(command, "option " + quoted(name) + " takes no value");
        } else if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            usage_error(command, "option " + quoted(name) + " needs a value (" + std::string(info->value_name) + ")");
        }
        parsed.options.push_back({info->name, value});
    }
    return parsed;
}

std::optional<std::string_view> option_value(const Arguments &args, std::string_view name) {
    for (const Option &option : args.options)
        if (option.name == name) return option.value;
    return std::nullopt;
}

std::vector<std::string_view> option_values(const Arguments &args, std::string_view name) {
    std::vector<std::string_view> values;
    for (const Option &option : args.options)
        if (option.name == name) values.push_back(option.value);
    return values;
}

bool has_flag(const Arguments &args, std::string_view name) { return option_value(args, name).has_value(); }

std::optional<int64_t> parse_integer(std::string_view text) {
    int64_t value = 0;
    const char *end = text.data() + text.size();
    // from_chars takes a '-' but no '+' and no blanks, which is the strictness wanted.
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

std::optional<std::vector<unsigned char>> parse_hex(std::string_view text) {
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const auto high = hex_digit(text[i]);
        const auto low = hex_digit(text[i + 1]);
        if (!high || !low) return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(*high << 4 | *low));
    }
    return bytes;
}

int64_t integer_option(const Arguments &args, std::string_view name, std::string_view text, int64_t min, int64_t max) {
    const auto value = parse_integer(text);
    if (!value || *value < min || *value > max)
        usage_error(args.command, "option " + quoted(name) + " expects an integer from " + std::to_string(min) +
                                      " to " + std::to_string(max) + ", not " + quoted(text));
    return *value;
}

}  // namespace tool

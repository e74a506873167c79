// Session attributes as the application sees them: names formed from payload
// keys, values cleaned of quotes and escapes, and the matching of request
// header names that the agent removes so that a client cannot pose as it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// The key prefix of the agent's own update flag, never shown to applications.
inline constexpr std::string_view kUpdateFlagKey = "is.subsequent.request";

// One "key=value" line of a payload; the key is not trimmed, the value is raw.
struct PayloadItem {
    std::string_view key;
    std::string_view value;
};

// Takes the next line that holds a '=' from the front of `rest` (lines end
// with '\n', the last one may not); false when no such line is left.
bool next_payload_item(std::string_view &rest, PayloadItem &item);

// Value without surrounding white space and without the pairs of matching
// quotes ("..." or '...') around it, removed as long as they nest.
std::string_view strip_value(std::string_view raw);

// Places where a backslash stands before a quote, a double quote or another
// backslash; each such pair counts once and is stepped over as a whole.
size_t escaped_pair_count(std::string_view value);

// Writes the value without the backslash of each escaped pair, and a NUL:
// value.size() - escaped_pair_count(value) + 1 bytes.
void unescape_into(char *out, std::string_view value);
std::string unescape_value(std::string_view value);

// The exposed name: the prefix and the key, upper-cased, and a NUL
// (prefix.size() + key.size() + 1 bytes). Nothing else in the name changes.
void attribute_name_into(char *out, std::string_view prefix, std::string_view key);
std::string attribute_name(std::string_view prefix, std::string_view key);

// Request header names as applications read them: CGI, FastCGI and most
// frameworks fold letter case and present '-' and '_' alike, so "QV-AUTH-X"
// reaches them under the same name as "QV_AUTH_X". Comparisons that decide
// what a client may not send treat them alike too.
bool header_names_equal(std::string_view a, std::string_view b);
bool header_has_prefix(std::string_view name, std::string_view prefix);

}  // namespace qv

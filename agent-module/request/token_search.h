// Finding the session token and other parameters in request text: the query
// string, a posted form body and Cookie header values.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "config/config_values.h"

namespace qv {

// White space is isspace()'s in the C locale (is_space, trim of config_values.h).
std::string_view trim_left(std::string_view text);
std::string_view trim_right(std::string_view text);

// Position of the first occurrence of name that is followed by '=', or npos.
// An occurrence followed by anything else is passed over and the search goes
// on from its end. What precedes an occurrence is not looked at, so
// "xtok=" counts for "tok". An empty name never matches.
size_t find_assignment(std::string_view text, std::string_view name);

// The token parameter of a query string: nothing when no occurrence of the
// name is followed by '='; else the value, white space trimmed, up to the
// first '&' after it (possibly empty). The value is not percent-decoded.
std::optional<std::string_view> query_token_value(std::string_view args, std::string_view name);

// A query parameter in the strict sense: the name must start the query string
// or follow '?' or '&' (white space between allowed). Nothing when absent,
// else the trimmed value up to the next '&' (possibly empty).
std::optional<std::string_view> query_parameter_value(std::string_view args, std::string_view name);

// True when the text begins with the wire name directly followed by '='.
bool is_token_assignment(std::string_view text, std::string_view wire_name);

// The value of a posted token assignment (the text starts with the wire name
// and '='): everything after the '=' to the end of the body, trimmed; a
// following '&' is part of it.
std::string_view posted_token_value(std::string_view body, size_t wire_name_length);

// The token in one Cookie header value.
enum class CookieTokenKind {
    absent,   // no "name=" in the value
    omitted,  // "name=" with nothing before the next ';' or the end
    found,
};
struct CookieToken {
    CookieTokenKind kind = CookieTokenKind::absent;
    std::string_view value;  // trimmed, up to the next ';'
};
// Apache 2.4 hands several Cookie headers to modules joined into one value,
// so an omitted value does not end the search: a later "name=" in the same
// value, as a second header would have carried it, is looked at too. The
// result is the first non-empty value, or `omitted` when every "name=" in
// the value was empty.
CookieToken cookie_token(std::string_view header_value, std::string_view name);

}  // namespace qv

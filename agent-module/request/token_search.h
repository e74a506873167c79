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

// A query parameter: the name must start the query string or follow '?' or
// '&' (white space between allowed), and '=' must follow the name. Nothing
// when absent, else the trimmed value up to the next '&' (possibly empty).
// The value is not percent-decoded. The session token is searched this way
// too: a parameter whose name merely ends with the token's name is another
// parameter.
std::optional<std::string_view> query_parameter_value(std::string_view args, std::string_view name);

// True when the text begins with the wire name directly followed by '='.
bool is_token_assignment(std::string_view text, std::string_view wire_name);

// The value of a posted token assignment (the text starts with the wire name
// and '='): everything after the '=' to the end of the body, trimmed; a
// following '&' is part of it.
std::string_view posted_token_value(std::string_view body, size_t wire_name_length);

// The token in one Cookie header value, found by its whole name at the start
// of a cookie pair: at the start of the value or after ';' or ',', white
// space skipped. A name that merely ends with the token's name, or text inside
// another cookie's value, is not the token.
enum class CookieTokenKind {
    absent,   // no such pair in the value
    omitted,  // "name=" with nothing before the next ';' or ',' or the end
    found,
};
struct CookieToken {
    CookieTokenKind kind = CookieTokenKind::absent;
    std::string_view value;  // trimmed, up to the next ';' or ','
};
// Apache 2.4 hands several Cookie headers to modules joined into one value
// with ", ", so an omitted value does not end the search: a later pair of the
// name in the same value, as a second header would have carried it, is looked
// at too. The result is the first non-empty value, or `omitted` when every
// pair of the name was empty.
CookieToken cookie_token(std::string_view header_value, std::string_view name);

// The cipher suite a token's text declares, read from its first eight
// characters (the base64 form of "NBR", the version, the suite and a byte of
// the digest) without decoding anything else: nothing when those characters
// are not URL-safe base64.
std::optional<int> declared_cipher_suite(std::string_view token);

}  // namespace qv

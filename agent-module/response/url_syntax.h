// URL-safe encoding and the syntax check of HTTP addresses.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// Letters, digits and "*-.@_".
constexpr bool is_url_safe_byte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
           c == '.' || c == '@' || c == '_';
}

// True for an empty text or one made only of URL-safe bytes.
bool is_url_safe(std::string_view text);

// Bytes that encoding turns into "%XX".
size_t count_url_unsafe(std::string_view text);

// Writes the encoding of the text and a terminating NUL into out, which holds
// at least text.size() + 2 * count_url_unsafe(text) + 1 bytes. Every byte
// outside the URL-safe set becomes '%' and two upper-case hexadecimal digits.
void url_safe_encode_into(char *out, std::string_view text);

std::string url_safe_encode(std::string_view text);

// The syntax check of an HTTP address: the first rule the URL breaks.
struct UrlCheck {
    // Null for a valid address, else a printf format of the reason; the format
    // of the authority rule takes the offending character ("%c").
    const char *problem = nullptr;
    char character = '\0';
};
UrlCheck check_http_url(std::string_view url);

// The reason as text, empty for a valid address.
std::string http_url_problem(std::string_view url);

}  // namespace qv

// Small helpers shared by the demo's CGI programs: form decoding, HTML
// escaping and the page frame.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace demo {

// The value of an environment variable, empty when unset.
std::string env(const char *name);

// Decodes one application/x-www-form-urlencoded component ('+' is a blank,
// %XX a byte); a malformed escape is kept as written.
std::string form_decode(std::string_view text);

// name=value pairs of a query string or a form body; the first of a
// repeated name wins.
std::map<std::string, std::string> parse_form(std::string_view text);

// The request body of a POST, at most `limit` bytes; nullopt when it is
// larger or shorter than announced.
std::optional<std::string> read_body(size_t limit);

std::string html_escape(std::string_view text);

// True when the text holds a control character (line breaks included).
bool has_control(std::string_view text);

// The page frame; `banner` is shown above the title when not empty.
std::string page(std::string_view title, std::string_view body, std::string_view banner = {});

// Writes a complete CGI response that is never cached.
void respond(int status, std::string_view html);

// Sends the browser on with GET (303), uncached.
void see_other(std::string_view location);

}  // namespace demo

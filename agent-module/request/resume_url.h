// The address a logout sends the browser to when the federation server asked
// to resume its own logout sequence: the base URL extended with a resume path.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qv {

// The base URL, a '/' unless it already ends with one, then the resume value
// without its first character when that is '/'.
std::string join_resume_url(std::string_view base_url, std::string_view resume);

// Where a browser would send a request for the URL, as "scheme:host" (scheme
// lower-cased) or "//host" for a URL without a scheme; empty for a relative
// path. Browsers skip any run of '/' and '\' after "scheme:" or at the start
// and read '\' as '/', so "https:/x", "https:\\x" and "/\x" all name host x.
std::string url_origin(std::string_view url);

// The joined URL when it is safe to send as a Location: the resume value holds
// no control character, space or DEL (nothing that could end or split a
// header line), and the result points to the base URL's own scheme and host.
// Nothing otherwise.
std::optional<std::string> resume_redirect_url(std::string_view base_url, std::string_view resume);

}  // namespace qv

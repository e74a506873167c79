// The resume address of a logout.
#include "request/resume_url.h"

#include <algorithm>
#include <cctype>

namespace qv {

namespace {

bool is_scheme_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
}

bool is_slash(char c) { return c == '/' || c == '\\'; }

// A byte that has no place in a header value the browser follows.
bool is_unsafe_byte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f;
}

}  // namespace

std::string join_resume_url(std::string_view base_url, std::string_view resume) {
    if (!resume.empty() && resume.front() == '/') resume.remove_prefix(1);
    std::string url;
    url.reserve(base_url.size() + 1 + resume.size());
    url.append(base_url);
    if (url.empty() || url.back() != '/') url.push_back('/');
    url.append(resume);
    return url;
}

std::string url_origin(std::string_view url) {
    std::string origin;
    size_t at = 0;
    const size_t colon = url.find(':');
    if (colon != std::string_view::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(url[0])) &&
        std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(colon), is_scheme_char)) {
        for (size_t i = 0; i < colon; ++i)
            origin.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(url[i]))));
        origin.push_back(':');
        at = colon + 1;
    } else if (url.size() >= 2 && is_slash(url[0]) && is_slash(url[1])) {
        origin = "//";
    } else {
        return origin;
    }
    while (at < url.size() && is_slash(url[at])) ++at;
    const size_t end = url.find_first_of("/\\?#", at);
    origin.append(url.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
    return origin;
}

std::optional<std::string> resume_redirect_url(std::string_view base_url, std::string_view resume) {
    if (std::any_of(resume.begin(), resume.end(), is_unsafe_byte)) return std::nullopt;
    std::string url = join_resume_url(base_url, resume);
    // Only a base URL without a host of its own (say "https:") lets the resume
    // value name one; the browser must never be sent to another host.
    if (url_origin(url) != url_origin(base_url)) return std::nullopt;
    return url;
}

}  // namespace qv

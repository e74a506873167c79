#include "request/path_forms.h"

#include <algorithm>

namespace qv {

namespace {

// '%' at `at` followed by the two hexadecimal digits high and low, the
// letter in either case.
bool is_escape(std::string_view text, size_t at, char high, char low) {
    return at + 2 < text.size() && text[at + 1] == high && (text[at + 2] | 0x20) == (low | 0x20);
}

// True when none of the rules below can change the path: no ';', '%' or '\',
// no empty segment and no dot segment.
bool is_plain(std::string_view path) {
    if (path.find_first_of(";%\\") != std::string_view::npos) return false;
    if (path.find("//") != std::string_view::npos) return false;
    for (size_t at = path.find("/."); at != std::string_view::npos; at = path.find("/.", at + 1)) {
        const size_t end = path.find('/', at + 1);
        const std::string_view segment = path.substr(at + 1, end == std::string_view::npos ? end : end - at - 1);
        if (segment == "." || segment == "..") return false;
    }
    return true;
}

}  // namespace

std::string without_path_parameters(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    bool in_parameters = false;
    for (const char c : path) {
        if (c == '/') in_parameters = false;
        else if (c == ';') in_parameters = true;
        if (!in_parameters) out.push_back(c);
    }
    return out;
}

std::string with_slashes_folded(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\') {
            out.push_back('/');
        } else if (path[i] == '%' && (is_escape(path, i, '2', 'F') || is_escape(path, i, '5', 'C'))) {
            out.push_back('/');
            i += 2;
        } else {
            out.push_back(path[i]);
        }
    }
    return out;
}

std::string with_dot_segments_resolved(std::string_view path) {
    std::vector<std::string_view> segments;
    const bool absolute = !path.empty() && path.front() == '/';
    bool trailing_slash = false;
    size_t at = 0;
    while (at <= path.size()) {
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string_view segment = path.substr(at, end - at);
        trailing_slash = false;
        if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
            trailing_slash = true;
        } else if (segment == ".") {
            trailing_slash = true;
        } else if (!segment.empty()) {
            segments.push_back(segment);
        } else if (end == path.size() && at > 0) {
            trailing_slash = true;
        }
        at = end + 1;
    }
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < segments.size(); ++i) {
        if (absolute || i > 0) out.push_back('/');
        out.append(segments[i]);
    }
    if (out.empty() ? absolute : trailing_slash) out.push_back('/');
    return out;
}

std::vector<std::string> other_path_forms(std::string_view path) {
    std::vector<std::string> forms;
    if (is_plain(path)) return forms;
    const auto add = [&](std::string form) {
        if (form != path && std::find(forms.begin(), forms.end(), form) == forms.end()) forms.push_back(std::move(form));
    };
    const std::string stripped = without_path_parameters(path);
    const std::string folded = with_slashes_folded(path);
    for (const std::string &form : {std::string(path), stripped, folded, with_slashes_folded(stripped),
                                    without_path_parameters(folded)}) {
        add(form);
        add(with_dot_segments_resolved(form));
    }
    return forms;
}

}  // namespace qv

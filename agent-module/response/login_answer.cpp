#include "response/login_answer.h"

#include <cstdio>

namespace qv {

namespace {

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The weight of a media range's parameters ("q=0.5"); 1 without one.
bool has_zero_weight(std::string_view parameters) {
    while (!parameters.empty()) {
        const size_t semicolon = parameters.find(';');
        const std::string_view parameter = trimmed(parameters.substr(0, semicolon));
        if (parameter.size() > 2 && (parameter[0] == 'q' || parameter[0] == 'Q') && parameter[1] == '=') {
            const std::string_view weight = parameter.substr(2);
            return weight.find_first_not_of("0.") == std::string_view::npos;
        }
        if (semicolon == std::string_view::npos) break;
        parameters.remove_prefix(semicolon + 1);
    }
    return false;
}

}  // namespace

bool accept_names_html(std::string_view accept) {
    while (!accept.empty()) {
        const size_t comma = accept.find(',');
        const std::string_view range = accept.substr(0, comma);
        const size_t semicolon = range.find(';');
        const std::string_view type = trimmed(range.substr(0, semicolon));
        if (same_letters(type, "text/html") &&
            (semicolon == std::string_view::npos || !has_zero_weight(range.substr(semicolon + 1))))
            return true;
        if (comma == std::string_view::npos) break;
        accept.remove_prefix(comma + 1);
    }
    return false;
}

bool is_script_request(const FetchSignals &signals) {
    if (signals.sec_fetch_mode && !same_letters(trimmed(*signals.sec_fetch_mode), "navigate")) return true;
    if (signals.requested_with && same_letters(trimmed(*signals.requested_with), "XMLHttpRequest")) return true;
    if (signals.sec_fetch_mode || signals.sec_fetch_dest) return false;
    return !signals.accept || !accept_names_html(*signals.accept);
}

std::string quoted_string(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted.push_back('"');
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted.push_back('\\');
        quoted.push_back(c);
    }
    quoted.push_back('"');
    return quoted;
}

std::string login_challenge(std::string_view realm, std::string_view login_url) {
    return "Quorvel realm=" + quoted_string(realm) + ", login=" + quoted_string(login_url);
}

std::string login_json(std::string_view login_url) {
    std::string body = "{\"error\":\"unauthenticated\",\"login\":\"";
    for (const char c : login_url) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            body.push_back('\\');
            body.push_back(c);
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            body.append(escaped);
        } else {
            body.push_back(c);
        }
    }
    body.append("\"}\n");
    return body;
}

}  // namespace qv

#include "cgi.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace demo {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char *reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    default: return "Internal Server Error";
    }
}

constexpr std::string_view kStyle =
    "body{font-family:sans-serif;margin:2em auto;max-width:48em;padding:0 1em;color:#222}"
    "h1{font-size:1.5em}"
    ".banner{background:#fff3cd;border:2px solid #d39e00;padding:.6em 1em;font-weight:bold}"
    "table{border-collapse:collapse;margin:1em 0}"
    "td,th{border:1px solid #bbb;padding:.3em .6em;text-align:left;vertical-align:top}"
    "th{background:#eef}"
    "code,td.value{font-family:monospace}"
    "label{display:block;margin:.6em 0 .2em}"
    "input[type=text]{width:22em;padding:.3em}"
    "button{display:block;margin-top:1em;padding:.4em 1.2em}"
    "nav a{margin-right:1.2em}";

}  // namespace

std::string env(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string form_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::map<std::string, std::string> parse_form(std::string_view text) {
    std::map<std::string, std::string> fields;
    while (!text.empty()) {
        const size_t amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (pair.empty()) continue;
        const size_t equals = pair.find('=');
        const std::string name = form_decode(pair.substr(0, equals));
        const std::string value = equals == std::string_view::npos ? std::string() : form_decode(pair.substr(equals + 1));
        fields.emplace(name, value);
    }
    return fields;
}

std::optional<std::string> read_body(size_t limit) {
    const std::string length_text = env("CONTENT_LENGTH");
    if (length_text.empty()) return std::string();
    char *end = nullptr;
    const unsigned long long length = std::strtoull(length_text.c_str(), &end, 10);
    if (end == length_text.c_str() || *end != '\0' || length > limit) return std::nullopt;
    std::string body(static_cast<size_t>(length), '\0');
    if (length > 0 && std::fread(body.data(), 1, body.size(), stdin) != body.size()) return std::nullopt;
    return body;
}

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

bool has_control(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return true;
    }
    return false;
}

std::string page(std::string_view title, std::string_view body, std::string_view banner) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>";
    html += html_escape(title);
    html += "</title>\n<style>";
    html += kStyle;
    html += "</style>\n</head>\n<body>\n";
    if (!banner.empty()) {
        html += "<p class=\"banner\" id=\"banner\">";
        html += banner;
        html += "</p>\n";
    }
    html += "<h1>";
    html += html_escape(title);
    html += "</h1>\n";
    html += body;
    html += "\n</body>\n</html>\n";
    return html;
}

void respond(int status, std::string_view html) {
    std::cout << "Status: " << status << ' ' << reason(status) << "\r\n"
              << "Content-Type: text/html; charset=utf-8\r\n"
              << "Cache-Control: no-store\r\n"
              << "\r\n"
              << html;
    std::cout.flush();
}

void see_other(std::string_view location) {
    std::cout << "Status: 303 See Other\r\n"
              << "Location: " << location << "\r\n"
              << "Cache-Control: no-store\r\n"
              << "Content-Type: text/plain; charset=utf-8\r\n"
              << "\r\n"
              << "See " << location << "\n";
    std::cout.flush();
}

}  // namespace demo

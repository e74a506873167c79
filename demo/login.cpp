// Development login page: stands in for the federation server of a real
// deployment. It asks for a user name and a few attributes, issues a session
// token with libnubrel from the shared agent configuration file, and sends
// the browser back to the requested resource with the token as a query
// parameter named like the session cookie. It checks no password at all, so
// it belongs to the demonstration set-up only and is never installed.
#include "cgi.h"

#include <nubrel.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxBody = 16 * 1024;
constexpr size_t kMaxValue = 200;
constexpr int64_t kDefaultLifetime = 1800;
constexpr int64_t kSessionLimit = 8 * 3600;
constexpr uint8_t kTokenVersion = 1;

constexpr std::string_view kBanner =
    "Development aid: this page signs in anyone, without a password. It stands in for the federation "
    "server of the demonstration set-up and must never be reachable from other machines.";

struct InstanceRelease {
    void operator()(nubrel_instance *handle) const noexcept { nubrel_release_instance(handle); }
};
using Instance = std::unique_ptr<nubrel_instance, InstanceRelease>;

struct LibraryFree {
    void operator()(char *text) const noexcept { nubrel_free(text); }
};
using LibraryText = std::unique_ptr<char, LibraryFree>;

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// The last value of a key in the agent configuration file, read with the
// file's syntax: key = value lines, '#' starts a comment.
std::string agent_file_value(const std::string &path, std::string_view key) {
    std::ifstream file(path, std::ios::binary);
    const std::string contents{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::string found;
    size_t start = 0;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) end = contents.size();
        std::string_view line = std::string_view(contents).substr(start, end - start);
        start = end + 1;
        if (const size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        line = trim(line);
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (trim(line.substr(0, equals)) == key) found = std::string(trim(line.substr(equals + 1)));
    }
    return found;
}

bool same_authority(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The token is a credential: it is only ever sent back to this very server,
// whatever TargetResource says.
bool is_own_url(std::string_view url) {
    if (url.empty() || demo::has_control(url)) return false;
    std::string_view rest;
    if (url.starts_with("http://"))
        rest = url.substr(7);
    else if (url.starts_with("https://"))
        rest = url.substr(8);
    else
        return false;
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.empty()) return false;
    const std::string port = demo::env("SERVER_PORT");
    const std::vector<std::string> own = {demo::env("HTTP_HOST"), "127.0.0.1:" + port, "localhost:" + port};
    return std::any_of(own.begin(), own.end(),
                       [&](const std::string &name) { return !name.empty() && same_authority(authority, name); });
}

std::string default_target() {
    const std::string host = demo::env("HTTP_HOST");
    return "http://" + (host.empty() ? "127.0.0.1:" + demo::env("SERVER_PORT") : host) + "/app/";
}

struct Field {
    const char *name;    // form field
    const char *label;   // shown on the form
    const char *key;     // payload key; null for the subject
    const char *hint;
    const char *sample;  // pre-filled value
};

constexpr Field kFields[] = {
    {"user", "User name", nullptr, "required; becomes \"subject\" and the request's user", "jdoe"},
    {"displayName", "Display name", "displayName", "", "Jo Doe"},
    {"mail", "E-mail", "mail", "", "jdoe@example.test"},
    {"groups", "Groups", "group", "comma-separated; one attribute line per group", "staff, developers"},
};

std::string login_form(std::string_view target, std::string_view message) {
    std::string body;
    if (!message.empty()) body += "<p class=\"banner\" id=\"message\">" + demo::html_escape(message) + "</p>\n";
    body += "<p>After signing in you return to <code id=\"target\">" + demo::html_escape(target) + "</code>.</p>\n";
    body += "<form method=\"post\" action=\"/login\">\n";
    body += "<input type=\"hidden\" name=\"TargetResource\" value=\"" + demo::html_escape(target) + "\">\n";
    for (const Field &field : kFields) {
        body += std::string("<label for=\"") + field.name + "\">" + field.label;
        if (*field.hint != '\0') body += std::string(" <small>(") + demo::html_escape(field.hint) + ")</small>";
        body += std::string("</label>\n<input type=\"text\" id=\"") + field.name + "\" name=\"" + field.name +
                "\" value=\"" + demo::html_escape(field.sample) + "\"";
        if (field.key == nullptr) body += " required autofocus";
        body += ">\n";
    }
    body += "<button type=\"submit\" id=\"sign-in\">Sign in</button>\n</form>\n";
    return demo::page("Development login", body, kBanner);
}

void fail(int status, std::string_view target, std::string_view message) {
    demo::respond(status, login_form(target, message));
}

// One payload line in the library's stored form (quoting, escapes).
bool payload_line(std::string &payload, const std::string &key, const std::string &value) {
    char *raw = nullptr;
    const int32_t result = nubrel_set_payload_value(&raw, key.c_str(), value.c_str());
    LibraryText line(raw);
    if (result != 0 || !line) return false;
    payload += line.get();
    return true;
}

bool payload_time(std::string &payload, const std::string &key, int64_t time) {
    char *raw = nullptr;
    const int32_t result = nubrel_set_payload_time(&raw, key.c_str(), time);
    LibraryText line(raw);
    if (result != 0 || !line) return false;
    payload += line.get();
    return true;
}

std::vector<std::string> split_list(std::string_view text) {
    std::vector<std::string> items;
    while (true) {
        const size_t comma = text.find(',');
        const std::string_view item = trim(text.substr(0, comma));
        if (!item.empty()) items.emplace_back(item);
        if (comma == std::string_view::npos) break;
        text = text.substr(comma + 1);
    }
    return items;
}

// Issues the token the way the federation server does: the user's
// attributes, the three session times, and the list of attribute names.
std::string issue_token(const std::string &agent_file, const std::map<std::string, std::string> &form,
                        std::string &error) {
    if (nubrel_initialize() != 0) {
        error = "the token library cannot start";
        return {};
    }
    const Instance instance(nubrel_create_instance());
    if (!instance || set_quorvelagent_configuration_file(instance.get(), agent_file.c_str()) != 0) {
        error = "the agent configuration file cannot be used (see the error log)";
        return {};
    }
    int32_t suite = 0;
    if (get_nubrel_cipher_suite(instance.get(), &suite) != 0) {
        error = "the cipher suite is unknown";
        return {};
    }
    int64_t lifetime = kDefaultLifetime;
    if (const std::string text = agent_file_value(agent_file, "token-lifetime"); !text.empty())
        lifetime = std::max<int64_t>(1, std::strtoll(text.c_str(), nullptr, 10));

    const auto now = static_cast<int64_t>(std::time(nullptr));
    std::string payload;
    std::string names = "subject";
    bool ok = payload_line(payload, "subject", form.at("user")) && payload_time(payload, "not-before", now) &&
              payload_time(payload, "not-on-or-after", now + lifetime) &&
              payload_time(payload, "renew-until", now + kSessionLimit);
    for (const Field &field : kFields) {
        if (field.key == nullptr || !ok) continue;
        const auto found = form.find(field.name);
        if (found == form.end()) continue;
        const std::vector<std::string> values = field.key == std::string_view("group")
                                                    ? split_list(found->second)
                                                    : std::vector<std::string>{std::string(trim(found->second))};
        bool listed = false;
        for (const std::string &value : values) {
            if (value.empty()) continue;
            ok = ok && payload_line(payload, field.key, value);
            listed = true;
        }
        if (listed) names += std::string(",") + field.key;
    }
    ok = ok && payload_line(payload, "qv_attribute_list", names);
    if (!ok) {
        error = "the payload cannot be written";
        return {};
    }

    nubrel_tokendata data{};
    data.version = kTokenVersion;
    data.cipher_suite = static_cast<uint8_t>(suite);
    data.payload_length = static_cast<uint32_t>(payload.size());
    data.payload = payload.data();
    const LibraryText token(nubrel_encode(instance.get(), &data, nullptr, nullptr, nullptr));
    if (!token) {
        error = "the token cannot be encoded (see the error log)";
        return {};
    }
    return token.get();
}

int sign_in() {
    const std::optional<std::string> body = demo::read_body(kMaxBody);
    if (!body) {
        fail(413, default_target(), "The form is too large.");
        return 0;
    }
    std::map<std::string, std::string> form = demo::parse_form(*body);
    const std::string target = form.contains("TargetResource") ? form["TargetResource"] : default_target();
    if (!is_own_url(target)) {
        fail(400, default_target(), "A session token is only sent back to this server, not to \"" + target + "\".");
        return 0;
    }
    std::string &user = form["user"];
    user = std::string(trim(user));
    if (user.empty()) {
        fail(400, target, "Please enter a user name.");
        return 0;
    }
    for (const Field &field : kFields) {
        const auto found = form.find(field.name);
        if (found != form.end() && (found->second.size() > kMaxValue || demo::has_control(found->second))) {
            fail(400, target, std::string(field.label) + ": at most 200 characters on one line, please.");
            return 0;
        }
    }
    const std::string agent_file = demo::env("DEMO_AGENT_CONFIG");
    const std::string cookie_name = agent_file.empty() ? "" : agent_file_value(agent_file, "token-name");
    if (agent_file.empty() || cookie_name.empty()) {
        fail(500, target, "The demo set-up names no agent configuration file with a token name.");
        return 0;
    }
    std::string error;
    const std::string token = issue_token(agent_file, form, error);
    if (token.empty()) {
        fail(500, target, "Cannot issue a session token: " + error + ".");
        return 0;
    }
    // Back to the resource, with the token where the agent looks for it
    // first; the agent stores it in the cookie and drops it from the address.
    const size_t fragment = target.find('#');
    std::string location = target.substr(0, fragment);
    location += location.find('?') == std::string::npos ? '?' : '&';
    location += cookie_name + "=" + token;
    demo::see_other(location);
    return 0;
}

}  // namespace

int main() {
    const std::string method = demo::env("REQUEST_METHOD");
    if (method == "POST") return sign_in();
    if (method != "GET" && method != "HEAD") {
        demo::respond(405, demo::page("Method not allowed", "<p>Use GET or POST.</p>"));
        return 0;
    }
    const auto query = demo::parse_form(demo::env("QUERY_STRING"));
    const auto found = query.find("TargetResource");
    const std::string target = found != query.end() ? found->second : default_target();
    if (!is_own_url(target)) {
        fail(400, default_target(), "A session token is only sent back to this server, not to \"" + target + "\".");
        return 0;
    }
    demo::respond(200, login_form(target, {}));
    return 0;
}

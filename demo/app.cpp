// The demo's protected application and its two plain pages, chosen by the
// path the program is mapped to: /app (what the agent handed over), /logout
// (after the agent ended the session) and /error (the agent's error page).
#include "cgi.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

extern char **environ;

namespace {

constexpr std::string_view kPrefix = "QV_AUTH_";

std::string nav() {
    return "<nav><a href=\"/app/\" id=\"reload\">Reload</a>"
           "<a href=\"/app/start-page\" id=\"start-page\">Agent start page</a>"
           "<a href=\"/app/admin/\" id=\"admin\">Administration (group admins)</a>"
           "<a href=\"/logout\" id=\"logout\">Sign out</a></nav>\n";
}

int application() {
    std::vector<std::pair<std::string, std::string>> variables;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with(kPrefix)) continue;
        const size_t equals = text.find('=');
        variables.emplace_back(std::string(text.substr(0, equals)),
                               equals == std::string_view::npos ? "" : std::string(text.substr(equals + 1)));
    }
    std::sort(variables.begin(), variables.end());

    const std::string user = demo::env("REMOTE_USER");
    std::string body;
    if (user.empty())
        body += "<p id=\"user\">Nobody is signed in: the agent set no user for this request.</p>\n";
    else
        body += "<p>Signed in as <strong id=\"user\">" + demo::html_escape(user) + "</strong>.</p>\n";
    body += nav();
    body += "<h2>Session attributes</h2>\n";
    body += "<p>The agent passes the session to the application as <code>QV_AUTH_*</code> environment variables "
            "and request headers. A CGI program sees the variables (below) and <code>REMOTE_USER</code>; "
            "the agent start page lists the request headers.</p>\n";
    body += "<table id=\"attributes\">\n<tr><th>Variable</th><th>Value</th></tr>\n";
    body += "<tr><td>REMOTE_USER</td><td class=\"value\">" + demo::html_escape(user) + "</td></tr>\n";
    for (const auto &[name, value] : variables)
        body += "<tr><td>" + demo::html_escape(name) + "</td><td class=\"value\">" + demo::html_escape(value) +
                "</td></tr>\n";
    body += "</table>\n";
    if (variables.empty()) body += "<p id=\"no-attributes\">No <code>QV_AUTH_*</code> variable reached this page.</p>\n";
    demo::respond(200, demo::page("Demo application", body));
    return 0;
}

int signed_out() {
    demo::respond(200, demo::page("Signed out",
                                  "<p id=\"signed-out\">The agent has ended your session and removed its cookie.</p>\n"
                                  "<p><a href=\"/app/\" id=\"again\">Open the application again</a> "
                                  "(you will be asked to sign in).</p>"));
    return 0;
}

int error_page() {
    demo::respond(200, demo::page("Sign-on error",
                                  "<p id=\"sign-on-error\">The agent could not accept the session: the token was "
                                  "not valid here (made with another password, changed, or from another set-up). "
                                  "Its cookie has been removed.</p>\n"
                                  "<p><a href=\"/app/\" id=\"again\">Sign in again</a></p>"));
    return 0;
}

}  // namespace

int main() {
    const std::string script = demo::env("SCRIPT_NAME");
    if (script == "/logout") return signed_out();
    if (script == "/error") return error_page();
    return application();
}

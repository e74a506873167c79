// Runs a real Apache httpd with mod_qv for a test: a private ServerRoot, a
// free port on 127.0.0.1, the process started in the foreground and stopped
// by its PID, and the error log handed back as parsed lines.
//
//   ServerSetup setup;                              // starts as it is
//   setup.agent_directives += "QuorvelCancelURL ^/logout\n";
//   ApacheServer &server = shared_server(setup);    // one server per set-up and program
//   ASSERT_TRUE(server.serving()) << server.log().text();
//   const LogMark mark = server.mark();
//   HttpResponse response = get(server.url("/protected/"), {"Cookie: QVSESSION=" + token});
//   EXPECT_TRUE(server.log_since(mark).has("..."));
//
// A start that must fail gets a server of its own:
//
//   auto server = ApacheServer::start(setup);
//   EXPECT_EQ(server->exit_status(), 2);
//
// The ServerRoot holds htdocs/index.html, htdocs/public/index.html,
// htdocs/protected/index.html and htdocs/cgi-bin/env.cgi (prints its
// environment, then "BODY:" and the request body), conf/agent.conf and
// logs/. Set QV_KEEP_SERVER_ROOTS to keep them, QV_TEST_TMPDIR to place them.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvtest {

// The password that the agent file of the default set-up holds (plain text;
// the file has its base64 form), and the cookie name of the default set-up.
inline constexpr std::string_view kAgentPassword = "correct horse battery staple";
inline constexpr std::string_view kCookieName = "QVSESSION";
inline constexpr std::string_view kLoginPageUrl = "https://login.example.test/sso";
// What both session cookies of the default set-up end with.
inline constexpr std::string_view kCookieAttributes = ";HttpOnly;SameSite=Lax";

// The last line of every refused start.
inline constexpr std::string_view kRefusalLine =
    "The Apache Agent's configuration file is incorrectly configured. The Apache server failed to start.";

// The smallest set of module directives with which Apache starts.
extern const std::string kMinimalAgentDirectives;
// The agent configuration file that goes with them (password, lifetime).
std::string minimal_agent_file();
// Standard base64 text of the bytes, as the agent file holds a password.
std::string base64(std::string_view bytes);

// "{root}" in directives and file contents stands for the ServerRoot.
struct ServerSetup {
    // Module directives in the main server's context.
    std::string agent_directives = kMinimalAgentDirectives;
    // Contents of conf/agent.conf; no file is written when empty.
    std::optional<std::string> agent_file = minimal_agent_file();
    // Further httpd.conf lines after the module's (virtual hosts, headers...).
    std::string server_directives;
    // Further files below the ServerRoot: relative path -> contents.
    std::map<std::string, std::string> files;
    // Folders below the ServerRoot that Apache's children write to (a disk cache).
    std::vector<std::string> writable_folders;
    std::string log_level = "info";
    // Modules from Apache's module folder besides the defaults.
    // Loaded before the agent, as Debian's alphabetical mods-enabled/*.load
    // loads mod_proxy, mod_cache and the like.
    std::vector<std::string> extra_modules;
    // Modules loaded just before mod_qv: module record name -> absolute path.
    std::vector<std::pair<std::string, std::string>> modules_before_agent;
    bool load_agent_module = true;
    // The agent's LoadModule before every other module's instead.
    bool agent_module_first = false;

    // Two set-ups with equal keys give equal servers.
    std::string key() const;
};

// Drops every line that begins with the directive name (and its argument).
std::string without_directive(std::string_view directives, std::string_view name);

// The text with every "{root}" replaced by the ServerRoot.
std::string with_root(std::string_view text, std::string_view root);

struct LogLine {
    std::string level;   // "notice", "error", ...
    std::string module;  // "qv", "core", or empty for lines without a module (the library's)
    std::string message;
};

// Lines of the error log (and of the standard error output Apache writes
// before its log is open), oldest first.
struct ErrorLog {
    std::vector<LogLine> lines;

    bool has(std::string_view message) const;
    bool has(std::string_view level, std::string_view message) const;
    size_t count(std::string_view message) const;
    bool contains(std::string_view fragment) const;
    // Position of the first line with this message at or after `from`, or npos.
    size_t find(std::string_view message, size_t from = 0) const;
    std::vector<std::string> messages_of(std::string_view module) const;
    // All lines, for failure messages.
    std::string text() const;
};

// Lines in the harness's log format, as Apache also writes them to standard error.
ErrorLog parse_log(std::string_view text);

// A place in the logs: lines written after it are what a request produced.
struct LogMark {
    uint64_t error_log = 0;
    uint64_t standard_error = 0;
    uint64_t access_log = 0;
};

class ApacheServer {
public:
    // Writes the ServerRoot and starts Apache; returns once it serves or has ended.
    static std::unique_ptr<ApacheServer> start(const ServerSetup &setup);
    ~ApacheServer();
    ApacheServer(const ApacheServer &) = delete;
    ApacheServer &operator=(const ApacheServer &) = delete;

    bool serving() const { return serving_; }
    // The exit status once the process has ended (128 + signal for a signal).
    std::optional<int> exit_status() const { return exit_status_; }

    uint16_t port() const { return port_; }
    // The parent process, the one that restarts take their signals.
    int pid() const { return pid_; }
    std::string url(std::string_view path = "/") const;
    const std::string &root() const { return root_; }

    ErrorLog log() const;
    LogMark mark() const;
    ErrorLog log_since(const LogMark &mark) const;
    std::vector<std::string> access_log_since(const LogMark &mark) const;
    // Apache writes the access log after the response has gone out: the first
    // line after the mark that contains the fragment, waiting a little for it.
    std::optional<std::string> access_log_line(const LogMark &mark, std::string_view fragment) const;
    // Lines written at the end of a request (its logging phase, its pool's
    // cleanups) come after the response: the error log since the mark once it
    // holds the fragment, or as it stands after a little wait.
    ErrorLog log_once_written(const LogMark &mark, std::string_view fragment) const;

    // SIGUSR1 and wait for the new generation to serve; false if it did not.
    bool graceful_restart();
    // SIGTERM, then SIGKILL if Apache does not end in time.
    void stop();

private:
    ApacheServer() = default;
    bool launch();
    bool wait_until_started(std::chrono::milliseconds timeout, size_t generation);
    void reap(bool block);
    size_t generations() const;

    std::string root_;
    uint16_t port_ = 0;
    int pid_ = -1;
    bool serving_ = false;
    std::optional<int> exit_status_;
};

// A port on 127.0.0.1 that nothing listens on right now.
uint16_t free_port();

// Starts a program (argv[0] is its path) in a process group of its own that
// ends when the test program does, with standard output and error appended
// to the file; the PID, or -1.
int spawn_process(const std::vector<std::string> &argv, const std::string &output);

// One server per distinct set-up, shared by every test of the program that
// asks for it; stopped when the program ends.
ApacheServer &shared_server(const ServerSetup &setup);
void stop_shared_servers();

// Runs apache2 with the set-up's configuration and extra arguments (-L, -t)
// to its end; output is standard output and error together.
struct CommandResult {
    int exit_status = -1;
    std::string output;
    std::string root;  // the ServerRoot it ran with (removed afterwards)
    ErrorLog log() const { return parse_log(output); }
};
CommandResult run_apache_command(const ServerSetup &setup, const std::vector<std::string> &arguments);

// Runs a program with quoted arguments through the shell to its end, with the
// given redirections appended (e.g. "2>&1", "< file"); captures standard output.
CommandResult run_command(const std::string &program, const std::vector<std::string> &arguments,
                          const std::string &redirections);

}  // namespace qvtest

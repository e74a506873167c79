#include "apache_server.h"

#include <nubrel.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace qvtest {

const std::string kMinimalAgentDirectives =
    "QuorvelFilter ^/protected\n"
    "QuorvelCookieName " + std::string(kCookieName) + "\n"
    "QuorvelLoginPageURL " + std::string(kLoginPageUrl) + "\n"
    "QuorvelAgentConfigurationFile conf/agent.conf\n";

namespace {

using namespace std::chrono_literals;

// Modules every test server loads; the rest are built into Debian's httpd.
const std::vector<std::string> kDefaultModules = {"mpm_event", "authz_core", "mime", "dir", "cgid", "env", "headers"};

// A CGI program that shows what the application receives: its environment
// (request headers arrive as HTTP_*), then the request body.
constexpr std::string_view kEnvironmentScript =
    "#!/bin/sh\n"
    "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
    "env | LC_ALL=C sort\n"
    "printf 'BODY:'\n"
    "if [ -n \"$CONTENT_LENGTH\" ]; then head -c \"$CONTENT_LENGTH\"; fi\n";


std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

void write_file(const fs::path &path, std::string_view contents, fs::perms mode = fs::perms(0644)) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
    fs::permissions(path, mode);
}

std::string read_file(const fs::path &path, uint64_t from = 0) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    in.seekg(static_cast<std::streamoff>(from));
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

uint64_t file_size(const fs::path &path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

}  // namespace

uint16_t free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

namespace {

// True when every folder on the path lets other users through.
bool reachable_by_others(const fs::path &folder) {
    for (fs::path at = fs::absolute(folder); !at.empty(); at = at.parent_path()) {
        struct stat info {};
        if (::stat(at.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) return false;
        if (at == at.root_path()) break;
    }
    return true;
}

fs::path make_root_folder() {
    const char *configured = std::getenv("QV_TEST_TMPDIR");
    fs::path base = configured != nullptr ? fs::path(configured) : fs::temp_directory_path();
    // Apache's children run as another user when the tests run as root; a
    // private temporary folder (under /root, say) would hide the ServerRoot from them.
    if (configured == nullptr && ::geteuid() == 0 && !reachable_by_others(base)) base = "/tmp";
    std::string pattern = (base / "qv-apache-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + base.string());
    fs::permissions(pattern, fs::perms(0755));
    return pattern;
}

std::string httpd_conf(const ServerSetup &setup, const fs::path &root, uint16_t port) {
    const std::string r = root.string();
    std::ostringstream conf;
    conf << "# Written by the mod_qv test harness.\n"
         // Level and module first, so that the harness can read lines back unambiguously.
         << "ErrorLogFormat \"[%l] [%m] %M\"\n"
         << "ServerRoot \"" << r << "\"\n"
         << "ServerName 127.0.0.1\n"
         << "Listen 127.0.0.1:" << port << "\n"
         << "PidFile \"" << r << "/run/httpd.pid\"\n"
         << "DefaultRuntimeDir \"" << r << "/run\"\n"
         << "ErrorLog \"" << r << "/logs/error.log\"\n"
         << "LogLevel " << setup.log_level << "\n";
    if (::geteuid() == 0) conf << "User www-data\nGroup www-data\n";
    const std::string agent_module = "LoadModule qv_module \"" + std::string(QV_MODULE_PATH) + "\"\n";
    if (setup.load_agent_module && setup.agent_module_first) conf << agent_module;
    std::vector<std::string> modules = kDefaultModules;
    modules.insert(modules.end(), setup.extra_modules.begin(), setup.extra_modules.end());
    for (const std::string &module : modules)
        conf << "LoadModule " << module << "_module \"" << QV_APACHE_MODULE_DIR << "/mod_" << module << ".so\"\n";
    conf << "StartServers 1\nServerLimit 2\nThreadLimit 16\nThreadsPerChild 16\nMaxRequestWorkers 32\n"
         << "MinSpareThreads 1\nMaxSpareThreads 32\n"
         << "ScriptSock \"" << r << "/run/cgid.sock\"\n"
         << "ServerTokens Full\n"
         << "TypesConfig /etc/mime.types\n"
         << "LogFormat \"%h \\\"%r\\\" %>s user=%u\" qvtest\n"
         << "CustomLog \"" << r << "/logs/access.log\" qvtest\n"
         << "DocumentRoot \"" << r << "/htdocs\"\n"
         << "DirectoryIndex index.html\n"
         << "<Directory />\n  Require all denied\n</Directory>\n"
         << "<Directory \"" << r << "/htdocs\">\n  Require all granted\n</Directory>\n"
         << "<Directory \"" << r << "/htdocs/cgi-bin\">\n  Options +ExecCGI\n  SetHandler cgi-script\n</Directory>\n";
    for (const auto &[name, path] : setup.modules_before_agent) conf << "LoadModule " << name << " \"" << path << "\"\n";
    if (setup.load_agent_module && !setup.agent_module_first) conf << agent_module;
    conf << replace_all(setup.agent_directives, "{root}", r) << "\n"
         << replace_all(setup.server_directives, "{root}", r) << "\n";
    return conf.str();
}

fs::path write_server_root(const ServerSetup &setup, uint16_t port) {
    const fs::path root = make_root_folder();
    const std::string r = root.string();
    fs::create_directories(root / "run");
    fs::create_directories(root / "logs");
    write_file(root / "htdocs/index.html", "index\n");
    write_file(root / "htdocs/public/index.html", "public\n");
    write_file(root / "htdocs/protected/index.html", "protected\n");
    write_file(root / "htdocs/cgi-bin/env.cgi", kEnvironmentScript, fs::perms(0755));
    if (setup.agent_file) write_file(root / "conf/agent.conf", replace_all(*setup.agent_file, "{root}", r));
    for (const auto &[name, contents] : setup.files) write_file(root / name, replace_all(contents, "{root}", r));
    // Whatever the umask, the user Apache's children run as must reach every folder.
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (entry.is_directory()) fs::permissions(entry.path(), fs::perms(0755));
    for (const std::string &folder : setup.writable_folders) {
        fs::create_directories(root / folder);
        fs::permissions(root / folder, fs::perms(0777));
    }
    write_file(root / "httpd.conf", httpd_conf(setup, root, port));
    return root;
}

void remove_root(const std::string &root) {
    if (root.empty() || std::getenv("QV_KEEP_SERVER_ROOTS") != nullptr) return;
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

LogLine parse_log_line(std::string_view raw) {
    LogLine line;
    // "[level] [module] message", the module part missing for lines without one.
    if (raw.size() > 2 && raw.front() == '[') {
        const size_t close = raw.find("] ");
        if (close != std::string_view::npos) {
            line.level = std::string(raw.substr(1, close - 1));
            raw.remove_prefix(close + 2);
            if (!raw.empty() && raw.front() == '[') {
                const size_t end = raw.find("] ");
                if (end != std::string_view::npos && raw.substr(1, end - 1).find(' ') == std::string_view::npos) {
                    line.module = std::string(raw.substr(1, end - 1));
                    raw.remove_prefix(end + 2);
                }
            }
        }
    }
    line.message = std::string(raw);
    return line;
}

void append_lines(ErrorLog &log, std::string_view text) {
    std::istringstream in{std::string(text)};
    std::string raw;
    while (std::getline(in, raw)) log.lines.push_back(parse_log_line(raw));
}

}  // namespace

std::string ServerSetup::key() const {
    std::ostringstream key;
    key << agent_directives << '\x1f' << agent_file.value_or("\x01") << '\x1f' << server_directives << '\x1f'
        << log_level << '\x1f' << load_agent_module << agent_module_first;
    for (const auto &[name, contents] : files) key << '\x1f' << name << '\x1e' << contents;
    for (const auto &module : extra_modules) key << '\x1f' << module;
    for (const auto &folder : writable_folders) key << '\x1f' << folder;
    for (const auto &[name, path] : modules_before_agent) key << '\x1f' << name << '\x1e' << path;
    return key.str();
}

std::string base64(std::string_view bytes) {
    char *text = nullptr;
    int32_t length = 0;
    if (base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int32_t>(bytes.size()), &text,
                      &length) != 0)
        throw std::runtime_error("base64_encode failed");
    std::string result(text, static_cast<size_t>(length));
    nubrel_free(text);
    return result;
}

std::string minimal_agent_file() {
    return "password = " + base64(kAgentPassword) + "\ntoken-lifetime = 3600\n";
}

std::string without_directive(std::string_view directives, std::string_view name) {
    std::string result;
    std::istringstream in{std::string(directives)};
    std::string line;
    while (std::getline(in, line)) {
        const size_t start = line.find_first_not_of(" \t");
        const std::string_view trimmed = start == std::string::npos ? std::string_view() : std::string_view(line).substr(start);
        const bool named = trimmed.substr(0, name.size()) == name &&
                           (trimmed.size() == name.size() || trimmed[name.size()] == ' ' || trimmed[name.size()] == '\t');
        if (!named) result += line + "\n";
    }
    return result;
}

std::string with_root(std::string_view text, std::string_view root) {
    return replace_all(std::string(text), "{root}", root);
}

ErrorLog parse_log(std::string_view text) {
    ErrorLog log;
    append_lines(log, text);
    return log;
}

// ---- ErrorLog --------------------------------------------------------------

bool ErrorLog::has(std::string_view message) const { return find(message) != std::string::npos; }

bool ErrorLog::has(std::string_view level, std::string_view message) const {
    for (const LogLine &line : lines)
        if (line.level == level && line.message == message) return true;
    return false;
}

size_t ErrorLog::count(std::string_view message) const {
    size_t n = 0;
    for (const LogLine &line : lines)
        if (line.message == message) ++n;
    return n;
}

bool ErrorLog::contains(std::string_view fragment) const {
    for (const LogLine &line : lines)
        if (line.message.find(fragment) != std::string::npos) return true;
    return false;
}

size_t ErrorLog::find(std::string_view message, size_t from) const {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].message == message) return i;
    return std::string::npos;
}

std::vector<std::string> ErrorLog::messages_of(std::string_view module) const {
    std::vector<std::string> messages;
    for (const LogLine &line : lines)
        if (line.module == module) messages.push_back(line.message);
    return messages;
}

std::string ErrorLog::text() const {
    std::string all;
    for (const LogLine &line : lines)
        all += "  [" + line.level + "] [" + line.module + "] " + line.message + "\n";
    return all;
}

// ---- ApacheServer ----------------------------------------------------------

std::unique_ptr<ApacheServer> ApacheServer::start(const ServerSetup &setup) {
    // Another program may take the port between our look and Apache's bind; try again then.
    for (int attempt = 0;; ++attempt) {
        std::unique_ptr<ApacheServer> server(new ApacheServer);
        server->port_ = free_port();
        server->root_ = write_server_root(setup, server->port_).string();
        if (!server->launch()) throw std::runtime_error("cannot start " QV_APACHE_BINARY);
        server->wait_until_started(30s, 1);
        const bool port_taken = !server->serving_ && server->log().contains("could not bind to address");
        if (!port_taken || attempt == 4) return server;
    }
}

int spawn_process(const std::vector<std::string> &arguments, const std::string &output) {
    std::vector<std::string> copies = arguments;
    std::vector<char *> argv;
    for (std::string &argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::setsid();
        // A test program that dies takes its servers with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(126);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

bool ApacheServer::launch() {
    const std::string output = root_ + "/logs/stderr.log";
    // Each start writes its own standard error log.
    std::ofstream(output, std::ios::trunc).close();
    pid_ = spawn_process({QV_APACHE_BINARY, "-d", root_, "-f", root_ + "/httpd.conf", "-DFOREGROUND"}, output);
    return pid_ > 0;
}

size_t ApacheServer::generations() const {
    size_t n = 0;
    for (const LogLine &line : log().lines)
        if (line.message.find("resuming normal operations") != std::string::npos) ++n;
    return n;
}

bool ApacheServer::wait_until_started(std::chrono::milliseconds timeout, size_t generation) {
    // Apache listens before its start-up hooks have run, so an answering port
    // proves nothing: the MPM's "resuming normal operations" line does.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        reap(false);
        if (exit_status_) {
            serving_ = false;
            return false;
        }
        // mod_cgid's daemon opens its socket (named after the parent's PID) on
        // its own time; until then CGI requests are answered with 503.
        if (generations() >= generation &&
            fs::exists(fs::path(root_) / "run" / ("cgid.sock." + std::to_string(pid_)))) {
            serving_ = true;
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    serving_ = false;
    return false;
}

void ApacheServer::reap(bool block) {
    if (pid_ <= 0 || exit_status_) return;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done != pid_) return;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    serving_ = false;
}

bool ApacheServer::graceful_restart() {
    if (!serving_) return false;
    const size_t next = generations() + 1;
    ::kill(pid_, SIGUSR1);
    return wait_until_started(30s, next);
}

void ApacheServer::stop() {
    if (pid_ <= 0 || exit_status_) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!exit_status_ && std::chrono::steady_clock::now() < deadline) {
        reap(false);
        if (!exit_status_) std::this_thread::sleep_for(10ms);
    }
    if (!exit_status_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    serving_ = false;
}

ApacheServer::~ApacheServer() {
    stop();
    remove_root(root_);
}

std::string ApacheServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

ErrorLog ApacheServer::log() const { return log_since(LogMark{}); }

LogMark ApacheServer::mark() const {
    return {file_size(root_ + "/logs/error.log"), file_size(root_ + "/logs/stderr.log"),
            file_size(root_ + "/logs/access.log")};
}

ErrorLog ApacheServer::log_since(const LogMark &mark) const {
    // Apache writes to standard error until its log is open, so those lines come first.
    ErrorLog log;
    append_lines(log, read_file(root_ + "/logs/stderr.log", mark.standard_error));
    append_lines(log, read_file(root_ + "/logs/error.log", mark.error_log));
    return log;
}

std::vector<std::string> ApacheServer::access_log_since(const LogMark &mark) const {
    std::vector<std::string> lines;
    std::istringstream in(read_file(root_ + "/logs/access.log", mark.access_log));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

namespace {
// What Apache writes after the response: read again until the reading holds
// what is looked for or 5 s have passed; the last reading either way.
template <typename Read, typename Found>
auto once_written(Read read, Found found) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        auto reading = read();
        if (found(reading) || std::chrono::steady_clock::now() >= deadline) return reading;
        std::this_thread::sleep_for(10ms);
    }
}
}  // namespace

std::optional<std::string> ApacheServer::access_log_line(const LogMark &mark, std::string_view fragment) const {
    return once_written(
        [&]() -> std::optional<std::string> {
            for (const std::string &line : access_log_since(mark))
                if (line.find(fragment) != std::string::npos) return line;
            return std::nullopt;
        },
        [](const std::optional<std::string> &line) { return line.has_value(); });
}

ErrorLog ApacheServer::log_once_written(const LogMark &mark, std::string_view fragment) const {
    return once_written([&] { return log_since(mark); },
                        [&](const ErrorLog &log) { return log.contains(fragment); });
}

// ---- shared servers --------------------------------------------------------

namespace {
std::map<std::string, std::unique_ptr<ApacheServer>> &shared_servers() {
    static std::map<std::string, std::unique_ptr<ApacheServer>> servers;
    return servers;
}
}  // namespace

ApacheServer &shared_server(const ServerSetup &setup) {
    auto &servers = shared_servers();
    const std::string key = setup.key();
    auto found = servers.find(key);
    if (found == servers.end()) found = servers.emplace(key, ApacheServer::start(setup)).first;
    return *found->second;
}

void stop_shared_servers() { shared_servers().clear(); }

// ---- one-off commands ------------------------------------------------------

CommandResult run_command(const std::string &program, const std::vector<std::string> &arguments,
                          const std::string &redirections) {
    std::string command = "'" + program + "'";
    for (const std::string &argument : arguments) command += " '" + argument + "'";
    command += " " + redirections;
    CommandResult result;
    if (FILE *pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
        const int status = ::pclose(pipe);
        result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return result;
}

CommandResult run_apache_command(const ServerSetup &setup, const std::vector<std::string> &arguments) {
    const fs::path root = write_server_root(setup, free_port());
    std::vector<std::string> all = {"-d", root.string(), "-f", (root / "httpd.conf").string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    CommandResult result = run_command(QV_APACHE_BINARY, all, "2>&1");
    result.root = root.string();
    remove_root(root.string());
    return result;
}

}  // namespace qvtest

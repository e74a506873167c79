#include "store_server.h"

#include "apache_server.h"
#include "http_client.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace qvtest {

namespace {

using namespace std::chrono_literals;

std::string stat_value(const std::string &text, const std::string &name) {
    const size_t at = text.find(name);
    if (at == std::string::npos) return {};
    const size_t start = at + name.size();
    return text.substr(start, text.find_first_of("\r\n", start) - start);
}

}  // namespace

std::unique_ptr<StoreServer> StoreServer::start(Kind kind) {
    std::unique_ptr<StoreServer> server(new StoreServer);
    server->kind_ = kind;
    char folder[] = "/tmp/qv-store-XXXXXX";
    if (::mkdtemp(folder) == nullptr) return nullptr;
    server->folder_ = folder;
    server->port_ = free_port();
    if (!server->launch()) return nullptr;
    return server;
}

bool StoreServer::launch() {
    const std::string port = std::to_string(port_);
    std::vector<std::string> arguments;
    if (kind_ == Kind::redis)
        arguments = {"/usr/bin/redis-server", "--port", port, "--bind", "127.0.0.1", "--save", "", "--appendonly",
                     "no", "--dir", folder_, "--logfile", folder_ + "/redis.log", "--daemonize", "no"};
    else
        // -u is read only when running as root, which memcached refuses otherwise.
        arguments = {"/usr/bin/memcached", "-l", "127.0.0.1", "-p", port, "-U", "0", "-m", "16", "-u", "nobody"};
    pid_ = spawn_process(arguments, folder_ + "/output.log");
    if (pid_ <= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!command(kind_ == Kind::redis ? "PING" : "version").empty()) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    stop();
    return false;
}

std::string StoreServer::address() const {
    return std::string(kind_ == Kind::redis ? "redis" : "memcache") + ":127.0.0.1:" + std::to_string(port_);
}

std::string StoreServer::provider_module() const {
    return kind_ == Kind::redis ? "socache_redis" : "socache_memcache";
}

void StoreServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    pid_ = -1;
}

bool StoreServer::restart() {
    stop();
    return launch();
}

StoreServer::~StoreServer() {
    stop();
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string StoreServer::command(std::string_view line) const {
    // Both servers close the connection after answering a quit command.
    return raw_exchange(port_, std::string(line) + (kind_ == Kind::redis ? "\r\nQUIT\r\n" : "\r\nquit\r\n"), 2s);
}

bool StoreServer::holds(std::string_view key) const {
    if (kind_ == Kind::redis) return command("EXISTS " + std::string(key)).rfind(":1", 0) == 0;
    return command("get " + std::string(key)).rfind("VALUE ", 0) == 0;
}

long StoreServer::lookups() const {
    const std::string value = kind_ == Kind::redis ? stat_value(command("INFO commandstats"), "cmdstat_get:calls=")
                                                   : stat_value(command("stats"), "STAT cmd_get ");
    return value.empty() ? 0 : std::atol(value.c_str());
}

}  // namespace qvtest

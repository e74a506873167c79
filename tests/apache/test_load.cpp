// Many users at once, for a bounded time, on the event MPM: every request of
// a valid session is served and its renewed cookie belongs to its own user,
// also while the server restarts gracefully again and again, and the parent
// process does not grow from one restart to the next.
//
// QV_LOAD_SECONDS sets how long each test sends requests (default 5; "make
// stress" runs them for 20), QV_LOAD_CLIENTS how many clients (default 32).
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace qvtest;

namespace {

using namespace std::chrono_literals;

// Per client and per five minutes of the run: the loops end by count as well
// as by time.
constexpr long kMaxRequestsPerClientPerFiveMinutes = 20000;

int setting(const char *name, int fallback, int low, int high) {
    const char *text = std::getenv(name);
    const int value = text != nullptr ? std::atoi(text) : fallback;
    return std::clamp(value, low, high);
}

std::chrono::seconds load_duration() { return std::chrono::seconds(setting("QV_LOAD_SECONDS", 5, 1, 600)); }
int client_count() { return setting("QV_LOAD_CLIENTS", 32, 1, 32); }

// Resident memory of a process in KiB, from /proc.
long resident_kib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// What a client may meet while the listener changes hands: the connection is
// refused, reset or closed before an answer. Anything else is a failure.
bool lost_in_the_switch(const HttpResponse &response) {
    if (response.status != 0) return false;
    for (const char *error : {"Couldn't connect to server", "Failure when receiving data from the peer",
                              "Server returned nothing (no headers, no data)", "Failed sending data to the peer"})
        if (response.error == error) return true;
    return false;
}

struct Tally {
    std::atomic<long> served{0};
    std::atomic<long> lost{0};
    std::atomic<long> failed{0};
    std::mutex mutex;
    std::vector<std::string> failures;  // the first few

    void fail(const std::string &reason) {
        if (failed++ >= 5) return;
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back(reason);
    }
    std::string reasons() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string text;
        for (const std::string &reason : failures) text += reason + "\n";
        return text;
    }
};

// Clients of different users, each carrying on with the cookie it got back,
// until the time is up or its count is reached.
void run_clients(ApacheServer &server, int clients, std::chrono::seconds duration, Tally &tally) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    const long most = kMaxRequestsPerClientPerFiveMinutes * std::max<long>(1, (duration.count() + 299) / 300);
    const std::string url = server.url("/protected/index.html");
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            const std::string user = "user-" + std::to_string(i);
            std::string token = session_token(user, "mail=" + user + "@example.test\n");
            for (long n = 0; n < most && std::chrono::steady_clock::now() < deadline; ++n) {
                const HttpResponse response = get(url, {cookie_header(token)});
                if (lost_in_the_switch(response)) {
                    ++tally.lost;
                    std::this_thread::sleep_for(5ms);
                    continue;
                }
                const auto renewed = renewed_token(response);
                const auto payload = renewed ? token_payload(*renewed) : std::nullopt;
                if (response.status != 200 || response.body != "protected\n") {
                    tally.fail(user + ": status " + std::to_string(response.status) + " " + response.error);
                } else if (!payload || payload_value(*payload, "subject") != user) {
                    tally.fail(user + ": the renewed cookie is not the user's: " + payload.value_or("<none>"));
                } else {
                    ++tally.served;
                    token = *renewed;
                }
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
}

std::unique_ptr<ApacheServer> load_server() {
    ServerSetup setup;
    setup.log_level = "notice";
    setup.extra_modules = {"status"};
    setup.server_directives = "<Location /server-status>\n  SetHandler server-status\n</Location>\n";
    return ApacheServer::start(setup);
}

struct CacheFigures {
    long lookups = -1;
    long hits = -1;
};

// The token cache's figures of the process that answers, from one status page:
// two pages may come from two processes.
CacheFigures cache_figures(ApacheServer &server) {
    const HttpResponse status = get(server.url("/server-status?auto"));
    const auto figure = [&](const std::string &name) {
        const size_t at = status.body.find(name + ": ");
        return at == std::string::npos ? -1 : std::atol(status.body.c_str() + at + name.size() + 2);
    };
    return {figure("QvTokenCacheLookups"), figure("QvTokenCacheHits")};
}

// The resident memory of the server's child processes, in KiB: its workers and
// mod_cgid's daemon.
std::string children_resident_kib(int parent) {
    const CommandResult children = run_command("pgrep", {"-P", std::to_string(parent)}, "");
    std::string figures;
    size_t at = 0;
    while (at < children.output.size()) {
        const size_t end = children.output.find('\n', at);
        const std::string pid = children.output.substr(at, end - at);
        if (!pid.empty()) figures += " " + std::to_string(resident_kib(std::atoi(pid.c_str())));
        at = end == std::string::npos ? children.output.size() : end + 1;
    }
    return figures;
}

TEST(Load, EveryUserKeepsItsOwnSession) {
    auto server = load_server();
    ASSERT_TRUE(server->serving()) << server->log().text();
    Tally tally;
    // Memory along the way, a quarter of the run apart: it levels off once the
    // token cache is full, whatever the number of requests.
    std::thread sampler([&] {
        for (int quarter = 1; quarter < 4; ++quarter) {
            std::this_thread::sleep_for(load_duration() / 4);
            std::printf("[ load ] after %lld s: parent VmRSS %ld KiB, children's VmRSS KiB (workers, cgid daemon):%s\n",
                        static_cast<long long>((load_duration() * quarter / 4).count()), resident_kib(server->pid()),
                        children_resident_kib(server->pid()).c_str());
            std::fflush(stdout);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    run_clients(*server, client_count(), load_duration(), tally);
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    sampler.join();
    EXPECT_EQ(tally.failed.load(), 0) << tally.reasons();
    EXPECT_EQ(tally.lost.load(), 0);
    EXPECT_GT(tally.served.load(), 0);
    // Each client's repeated requests are served from its process's token cache.
    const auto [lookups, hits] = cache_figures(*server);
    EXPECT_GT(hits, 0) << lookups;
    std::printf("[ load ] %d clients, %lld s: %ld requests served; token cache of one process: %ld lookups, %ld hits; "
                "parent VmRSS %ld KiB, children's VmRSS KiB (workers, cgid daemon):%s\n",
                client_count(), static_cast<long long>(elapsed.count()), tally.served.load(), lookups, hits,
                resident_kib(server->pid()), children_resident_kib(server->pid()).c_str());
    const ErrorLog log = server->log();
    EXPECT_FALSE(log.contains("exit signal")) << log.text();
}

TEST(Load, GracefulRestartsUnderLoad) {
    auto server = load_server();
    ASSERT_TRUE(server->serving()) << server->log().text();
    constexpr int kRestarts = 5;
    const std::chrono::seconds duration = std::max(load_duration(), std::chrono::seconds(3));
    const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(duration) / (kRestarts + 1);

    Tally tally;
    std::thread clients([&] { run_clients(*server, client_count(), duration, tally); });
    const long before = resident_kib(server->pid());
    std::vector<long> resident;  // the parent after each restart
    bool restarted = true;
    for (int i = 0; i < kRestarts && restarted; ++i) {
        std::this_thread::sleep_for(interval);
        restarted = server->graceful_restart();
        std::this_thread::sleep_for(200ms);
        resident.push_back(resident_kib(server->pid()));
    }
    clients.join();
    ASSERT_TRUE(restarted) << server->log().text();

    EXPECT_EQ(tally.failed.load(), 0) << tally.reasons();
    EXPECT_GT(tally.served.load(), 0);
    std::string figures;
    for (long kib : resident) figures += " " + std::to_string(kib);
    std::printf("[ load ] %d clients, %lld s, %d graceful restarts: %ld served, %ld lost in the switch; "
                "parent VmRSS KiB %ld before, after each restart:%s\n",
                client_count(), static_cast<long long>(duration.count()), kRestarts, tally.served.load(),
                tally.lost.load(), before, figures.c_str());
    // The first restart may still settle the parent's pools; after it the
    // parent stays within a small margin.
    ASSERT_EQ(resident.size(), static_cast<size_t>(kRestarts));
    for (long kib : resident) ASSERT_GT(kib, 0);
    for (size_t i = 2; i < resident.size(); ++i)
        EXPECT_LE(resident[i], resident[1] + 512) << "restart " << i + 1 << ":" << figures;

    const ErrorLog log = server->log();
    EXPECT_FALSE(log.contains("exit signal")) << log.text();
    // The new generation serves sessions as the first did.
    EXPECT_EQ(get(server->url("/protected/index.html"), {cookie_header(session_token("after"))}).status, 200);
}

}  // namespace

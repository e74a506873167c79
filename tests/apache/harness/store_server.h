// A Redis or memcached server for tests: started on a free 127.0.0.1 port
// without persistence, stopped by its PID, and started again on the same
// port (empty, as a store that lost its memory would be).
//
//   auto store = StoreServer::start(StoreServer::Kind::redis);
//   setup.agent_directives += "QuorvelRevocationStore " + store->address() + "\n";
//   store->stop(); ... store->restart();
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qvtest {

class StoreServer {
public:
    enum class Kind { redis, memcached };

    // Null when the program is missing or does not listen in time.
    static std::unique_ptr<StoreServer> start(Kind kind);
    ~StoreServer();
    StoreServer(const StoreServer &) = delete;
    StoreServer &operator=(const StoreServer &) = delete;

    Kind kind() const { return kind_; }
    uint16_t port() const { return port_; }
    // As QuorvelRevocationStore takes it: "redis:127.0.0.1:PORT", "memcache:127.0.0.1:PORT".
    std::string address() const;
    // The Apache module that provides it ("socache_redis").
    std::string provider_module() const;

    // SIGTERM, then SIGKILL if it does not end in time.
    void stop();
    bool restart();

    // One command in the server's text protocol ("EXISTS key", "get key"),
    // answered with what the server sends back until it pauses.
    std::string command(std::string_view line) const;
    // True when the server holds the key.
    bool holds(std::string_view key) const;
    // Look-ups the server has answered since it started (GET commands).
    long lookups() const;

private:
    StoreServer() = default;
    bool launch();

    Kind kind_ = Kind::redis;
    uint16_t port_ = 0;
    int pid_ = -1;
    std::string folder_;
};

}  // namespace qvtest

// zlib streams kept in a pool shared by all threads and reset between tokens.
// Setting a deflate stream up at level 9 allocates and clears a quarter of a
// megabyte, far more work than compressing a session payload; a reset costs
// next to nothing. A pool rather than one stream per thread: a web server
// runs hundreds of threads, but only as many streams are ever open as tokens
// are coded at the same moment, and the last stream given back, still warm
// in the cache, is the next one handed out.
#include "token_common.h"

#include <zlib.h>

#include <mutex>
#include <new>
#include <vector>

namespace nubrel {

struct PooledStream {
    z_stream stream{};
    bool deflating = false;
    int level = 0;
};

namespace {

// Every reset clears the match-finder's hash table: 64 KiB at zlib's default
// memory level 8, 16 KiB at 6. Session payloads compress to the same bytes
// at both; beyond a few kilobytes the output grows by well under 1%. The
// window, and so the zlib header, stays zlib's default.
constexpr int kMemoryLevel = 6;

// Idle streams kept per kind; more are closed when given back.
constexpr size_t kMaxIdle = 16;

struct Pool {
    std::mutex lock;
    std::vector<PooledStream *> idle;
};

// Never destroyed: threads may still give streams back while the process ends.
Pool &pool_of(bool deflating) {
    static Pool *const compression = new Pool;
    static Pool *const decompression = new Pool;
    return deflating ? *compression : *decompression;
}

void close_stream(PooledStream *held) noexcept {
    if (held->deflating) {
        NBR_LOG(detail, "Releasing dynamic structures of compression stream...\n");
        deflateEnd(&held->stream);
    } else {
        NBR_LOG(detail, "Releasing dynamic structures of decompression stream...\n");
        inflateEnd(&held->stream);
    }
    delete held;
}

PooledStream *take_idle(bool deflating) noexcept {
    Pool &pool = pool_of(deflating);
    std::lock_guard<std::mutex> guard(pool.lock);
    if (pool.idle.empty()) return nullptr;
    PooledStream *held = pool.idle.back();
    pool.idle.pop_back();
    return held;
}

PooledStream *new_stream(bool deflating, int level) noexcept {
    auto *held = new (std::nothrow) PooledStream;
    if (held == nullptr) return nullptr;
    held->deflating = deflating;
    held->level = level;
    return held;
}

}  // namespace

void StreamLease::give_back() noexcept {
    if (held == nullptr) return;
    PooledStream *returned = held;
    held = nullptr;
    Pool &pool = pool_of(returned->deflating);
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        if (pool.idle.size() < kMaxIdle) {
            try {
                pool.idle.push_back(returned);
                return;
            } catch (...) {
            }
        }
    }
    close_stream(returned);
}

z_stream *StreamLease::get() const noexcept { return held != nullptr ? &held->stream : nullptr; }

StreamLease compression_stream(int32_t level) noexcept {
    StreamLease lease;
    if (PooledStream *idle = take_idle(true); idle != nullptr) {
        if (idle->level == level && deflateReset(&idle->stream) == Z_OK) {
            NBR_LOG(detail, "Resetting a pooled compression stream...\n");
            lease.held = idle;
            return lease;
        }
        close_stream(idle);
    }
    NBR_LOG(detail, "Initializing stream for compression of payload...\n");
    PooledStream *created = new_stream(true, level);
    if (created == nullptr) {
        NBR_LOG(error, "Cannot initialize stream for compression - out of memory\n");
        return lease;
    }
    switch (const int status =
                deflateInit2_(&created->stream, level, Z_DEFLATED, MAX_WBITS, kMemoryLevel, Z_DEFAULT_STRATEGY,
                              kZlibVersion, static_cast<int>(sizeof(z_stream)))) {
    case Z_OK: lease.held = created; return lease;
    case Z_VERSION_ERROR:
        NBR_LOG(error, "Cannot initialize stream for compression - not an expected version of library\n");
        break;
    case Z_MEM_ERROR: NBR_LOG(error, "Cannot initialize stream for compression - out of memory\n"); break;
    case Z_STREAM_ERROR:
        NBR_LOG(error, "Cannot initialize stream for compression - compression level %i is incorrect\n", level);
        break;
    default: NBR_LOG(error, "Cannot initialize stream for compression - unhandled error %i\n", status); break;
    }
    delete created;
    return lease;
}

StreamLease decompression_stream() noexcept {
    StreamLease lease;
    if (PooledStream *idle = take_idle(false); idle != nullptr) {
        if (inflateReset(&idle->stream) == Z_OK) {
            NBR_LOG(detail, "Resetting a pooled decompression stream...\n");
            lease.held = idle;
            return lease;
        }
        close_stream(idle);
    }
    NBR_LOG(detail, "Initializing stream for decompression of payload...\n");
    PooledStream *created = new_stream(false, 0);
    if (created == nullptr) {
        NBR_LOG(error, "Cannot initialize stream for decompression - out of memory\n");
        return lease;
    }
    switch (const int status = inflateInit_(&created->stream, kZlibVersion, static_cast<int>(sizeof(z_stream)))) {
    case Z_OK: lease.held = created; return lease;
    case Z_VERSION_ERROR:
        NBR_LOG(error, "Cannot initialize stream for decompression - not an expected version of library\n");
        break;
    case Z_MEM_ERROR: NBR_LOG(error, "Cannot initialize stream for decompression - out of memory\n"); break;
    default: NBR_LOG(error, "Cannot initialize stream for decompression - unhandled error %i\n", status); break;
    }
    delete created;
    return lease;
}

}  // namespace nubrel

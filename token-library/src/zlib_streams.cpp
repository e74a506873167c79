// zlib streams kept per thread and reset between tokens. Setting a deflate
// stream up at level 9 allocates and clears a quarter of a megabyte, far more
// work than compressing a session payload; a reset costs next to nothing.
#include "token_common.h"

#include <zlib.h>

namespace nubrel {

namespace {

struct ThreadStream {
    z_stream stream{};
    bool open = false;
    bool deflating = false;
    int level = 0;

    ThreadStream() = default;
    ThreadStream(const ThreadStream &) = delete;
    ThreadStream &operator=(const ThreadStream &) = delete;
    ~ThreadStream() { close(); }
    void close() noexcept {
        if (!open) return;
        if (deflating)
            deflateEnd(&stream);
        else
            inflateEnd(&stream);
        stream = z_stream{};
        open = false;
    }
};

thread_local ThreadStream t_deflate;
thread_local ThreadStream t_inflate;

}  // namespace

z_stream *compression_stream(int32_t level) noexcept {
    ThreadStream &state = t_deflate;
    if (state.open && state.level == level) {
        NBR_LOG(detail, "Resetting the compression stream of this thread...\n");
        if (deflateReset(&state.stream) == Z_OK) return &state.stream;
        state.close();
    }
    state.close();
    NBR_LOG(detail, "Initializing stream for compression of payload...\n");
    switch (const int status =
                deflateInit_(&state.stream, level, kZlibVersion, static_cast<int>(sizeof(z_stream)))) {
    case Z_OK:
        state.open = true;
        state.deflating = true;
        state.level = level;
        return &state.stream;
    case Z_VERSION_ERROR:
        NBR_LOG(error, "Cannot initialize stream for compression - not an expected version of library\n");
        return nullptr;
    case Z_MEM_ERROR: NBR_LOG(error, "Cannot initialize stream for compression - out of memory\n"); return nullptr;
    case Z_STREAM_ERROR:
        NBR_LOG(error, "Cannot initialize stream for compression - compression level %i is incorrect\n", level);
        return nullptr;
    default:
        NBR_LOG(error, "Cannot initialize stream for compression - unhandled error %i\n", status);
        return nullptr;
    }
}

z_stream *decompression_stream() noexcept {
    ThreadStream &state = t_inflate;
    if (state.open) {
        NBR_LOG(detail, "Resetting the decompression stream of this thread...\n");
        if (inflateReset(&state.stream) == Z_OK) return &state.stream;
        state.close();
    }
    NBR_LOG(detail, "Initializing stream for decompression of payload...\n");
    switch (const int status = inflateInit_(&state.stream, kZlibVersion, static_cast<int>(sizeof(z_stream)))) {
    case Z_OK:
        state.open = true;
        state.deflating = false;
        return &state.stream;
    case Z_VERSION_ERROR:
        NBR_LOG(error, "Cannot initialize stream for decompression - not an expected version of library\n");
        return nullptr;
    case Z_MEM_ERROR: NBR_LOG(error, "Cannot initialize stream for decompression - out of memory\n"); return nullptr;
    default:
        NBR_LOG(error, "Cannot initialize stream for decompression - unhandled error %i\n", status);
        return nullptr;
    }
}

}  // namespace nubrel

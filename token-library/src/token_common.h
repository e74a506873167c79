// Pieces shared by the token decoder and encoder.
#pragma once

#include "internal.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace nubrel {

constexpr unsigned char kLiteral[3] = {'N', 'B', 'R'};
constexpr uint8_t kHighestVersion = 1;
constexpr int32_t kDigestLength = 20;
// "NBR", version, suite, digest, IV length, KeyInfo length, payload length.
constexpr int32_t kFixedLength = 3 + 1 + 1 + kDigestLength + 1 + 1 + 2;
constexpr int32_t kMaxCompressedLength = 65535;
// zlib checks the version its caller was written against.
constexpr const char *kZlibVersion = "1.2.5";

// A malloc'd buffer released (with its detail line) when it goes out of scope.
struct OwnedBuffer {
    unsigned char *data = nullptr;
    const char *release_message = nullptr;

    OwnedBuffer() = default;
    explicit OwnedBuffer(const char *message) : release_message(message) {}
    OwnedBuffer(const OwnedBuffer &) = delete;
    OwnedBuffer &operator=(const OwnedBuffer &) = delete;
    ~OwnedBuffer() { reset(); }
    void reset() noexcept;
    // Hands the buffer over; nothing is released afterwards.
    unsigned char *release() noexcept {
        unsigned char *taken = data;
        data = nullptr;
        return taken;
    }
};

// A key for one token operation: a copy of the instance's derived key, or a
// buffer from the key manager (malloc'd, ours to free). Overwritten with
// zeros and released (with its detail line) when it goes out of scope.
struct KeyBuffer {
    unsigned char *data = nullptr;
    int32_t length = 0;            // after fitting to the suite
    int32_t capacity = 0;          // bytes to overwrite
    bool owned = false;            // data came from the key manager
    unsigned char derived[kMaxKeyLength];
    const char *release_message = nullptr;

    explicit KeyBuffer(const char *message) : release_message(message) {}
    KeyBuffer(const KeyBuffer &) = delete;
    KeyBuffer &operator=(const KeyBuffer &) = delete;
    ~KeyBuffer() { reset(); }
    void reset() noexcept;
    // Fills the buffer with the instance's password-based key for the suite.
    int use_password_key(nubrel_instance *handle, int32_t suite) noexcept;
    // Takes over a key the key manager handed out.
    void adopt(unsigned char *key, int32_t key_length) noexcept;
};

// Encrypts or decrypts data in place with the suite's cipher in CBC mode; the
// data is already padded to the block size. Logs the suite's own lines.
int run_cipher(int32_t suite, bool encrypt, const unsigned char *key, const unsigned char *iv, unsigned char *data,
               int32_t length) noexcept;

// The token digest: HMAC-SHA-1 keyed with the suite key for suites 1 to 3,
// plain SHA-1 for the null suite.
int compute_digest(int32_t suite, const unsigned char *key, int32_t key_length, uint8_t version,
                   const unsigned char *iv, int32_t iv_length, const char *payload, size_t payload_length,
                   unsigned char digest[kDigestLength]) noexcept;

struct PooledStream;

// A zlib stream lent from the library's pool for one payload; given back,
// still open, when the lease ends.
struct StreamLease {
    PooledStream *held = nullptr;

    StreamLease() = default;
    StreamLease(StreamLease &&other) noexcept : held(other.held) { other.held = nullptr; }
    StreamLease(const StreamLease &) = delete;
    StreamLease &operator=(const StreamLease &) = delete;
    StreamLease &operator=(StreamLease &&) = delete;
    ~StreamLease() { give_back(); }
    // Null when no stream could be set up (already logged).
    z_stream *get() const noexcept;
    void give_back() noexcept;
};

// zlib-format streams, reset and ready for one payload.
StreamLease compression_stream(int32_t level) noexcept;
StreamLease decompression_stream() noexcept;

// Checks a record's or token's version ("Verifying the token's version...").
int check_version(uint8_t version) noexcept;

}  // namespace nubrel

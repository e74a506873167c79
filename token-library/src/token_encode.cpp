// Encoding a record into a token.
#include "token_common.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace {

using nubrel::KeyBuffer;
using nubrel::OwnedBuffer;

// Compresses the payload as one zlib stream into a buffer of at most 65535
// bytes. On success `capacity` is the buffer's size (room for padding).
int deflate_payload(int32_t level, const char *payload, uint32_t payload_length, OwnedBuffer &compressed,
                    int32_t &compressed_length, int32_t &capacity) {
    const nubrel::StreamLease lease = nubrel::compression_stream(level);
    z_stream *stream_handle = lease.get();
    if (stream_handle == nullptr) return -1;
    z_stream &stream = *stream_handle;

    NBR_LOG(detail, "Payload length: %i bytes\n", static_cast<int>(payload_length));
    NBR_LOG(detail, "Requesting upper bound of the compressed size...\n");
    uLong bound = deflateBound(&stream, payload_length);
    if (bound > static_cast<uLong>(nubrel::kMaxCompressedLength)) {
        NBR_LOG(detail,
                "Truncating upper bound on the compressed size from %i to %i bytes as per the NBR specification "
                "limit...\n",
                static_cast<int>(bound), nubrel::kMaxCompressedLength);
        bound = nubrel::kMaxCompressedLength;
    }
    NBR_LOG(detail, "Allocating buffer of %i bytes for the compressed payload...\n", static_cast<int>(bound));
    compressed.data = static_cast<unsigned char *>(std::malloc(bound));
    if (compressed.data == nullptr) {
        NBR_LOG(error, "Cannot allocate buffer for a compressed payload - out of memory\n");
        return -1;
    }
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(payload));
    stream.avail_in = payload_length;
    stream.next_out = compressed.data;
    stream.avail_out = static_cast<uInt>(bound);
    NBR_LOG(progress, "Compressing payload...\n");
    switch (const int status = deflate(&stream, Z_FINISH)) {
    case Z_STREAM_END: break;
    case Z_BUF_ERROR: NBR_LOG(error, "Cannot compress - insufficient output buffer\n"); return -1;
    case Z_STREAM_ERROR: NBR_LOG(error, "Cannot compress - incorrect initialization\n"); return -1;
    case Z_OK:
        NBR_LOG(error, "Cannot compress - output buffer of %i bytes is small\n", static_cast<int>(bound));
        return -1;
    default: NBR_LOG(error, "Cannot compress - unhandled error %i\n", status); return -1;
    }
    compressed_length = static_cast<int32_t>(bound - stream.avail_out);
    NBR_LOG(detail, "Succeeded to compress from %i to %i bytes (%i%%)\n", static_cast<int>(payload_length),
            compressed_length, static_cast<int>(int64_t{compressed_length} * 100 / payload_length));
    capacity = static_cast<int32_t>(bound);
    if (capacity - compressed_length >= 16) {
        NBR_LOG(detail, "Reallocating compressed buffer from %i to a smaller size %i...\n", capacity,
                compressed_length);
        auto *smaller = static_cast<unsigned char *>(std::realloc(compressed.data, compressed_length));
        if (smaller == nullptr) {
            NBR_LOG(error, "Cannot reallocate compressed buffer to a smaller size\n");
            return -1;
        }
        compressed.data = smaller;
        capacity = compressed_length;
    } else {
        NBR_LOG(detail, "Shall not reallocate compressed buffer to a smaller size due to small difference\n");
    }
    return 0;
}

// The key for suites 1 to 3: derived from the password when it is
// configured, else from the key manager.
int obtain_encryption_key(nubrel_instance *handle, bool password_available, int32_t suite, KeyBuffer &key,
                          void *arg1, void *arg2, void *arg3) {
    if (password_available) {
        NBR_LOG(detail, "Shall generate a password based key...\n");
        if (key.use_password_key(handle, suite) != 0) return -1;
        NBR_LOG(detail, "Succeded to generate a password based key of length %i\n", key.length);
    } else {
        if (handle->keymanager == nullptr) {
            NBR_LOG(error, "Cannot query encryption key by KeyInfo - key manager interface is not provided\n");
            return -1;
        }
        NBR_LOG(detail, "Quering an encryption key by the KeyInfo meta data from the Key Manager...\n");
        unsigned char *supplied = nullptr;
        int32_t supplied_length = 0;
        const int result = handle->keymanager(NUBREL_KEY_FOR_ENCRYPTION, nullptr, 0, suite, &supplied,
                                              &supplied_length, arg1, arg2, arg3);
        key.adopt(supplied, supplied_length);
        if (result != 0 || key.data == nullptr) {
            NBR_LOG(warning, "Could not get encryption key from KeyManager by the null KeyInfo\n");
            return -1;
        }
        NBR_LOG(detail, "Succeded to get encryption key by KeyInfo - key length is %i\n", key.length);
    }
    return nubrel::fit_key(suite, &key.length);
}

}  // namespace

extern "C" {

NUBREL_API char *nubrel_encode(nubrel_instance *handle, const nubrel_tokendata *data, void *arg1, void *arg2,
                               void *arg3) {
    NBR_LOG(progress, "Encoding the token...\n");
    if (!nubrel::valid_handle(handle, "Cannot create token - NBR instance handle is null\n",
                              "Cannot create token - NBR instance handle is not valid\n"))
        return nullptr;
    const int32_t level = handle->compression_level;
    if (level < -1 || level > 9) {
        NBR_LOG(error, "Cannot create token - the NBR API instance's compression level %i is not valid\n", level);
        return nullptr;
    }
    if (data == nullptr) {
        NBR_LOG(error, "Cannot create token - input data is not supplied\n");
        return nullptr;
    }
    NBR_LOG(progress, "Verifying the input data...\n");
    if (nubrel::check_version(data->version) != 0 || nubrel::check_suite(data->cipher_suite) != 0) return nullptr;
    if (data->payload == nullptr && data->payload_length != 0) {
        NBR_LOG(error, "A non-zero payload length %i is specified, while payload is NULL\n",
                static_cast<int>(data->payload_length));
        return nullptr;
    }
    if (data->keyinfo != nullptr || data->keyinfo_length != 0) {
        NBR_LOG(error,
                "Cannot encode the token - KeyInfo metadata is not supported in this version of the Nubrel library\n");
        return nullptr;
    }
    const int32_t suite = data->cipher_suite;
    const bool has_payload = data->payload != nullptr && data->payload_length > 0;

    OwnedBuffer payload("Releasing the compressed buffer...\n");
    int32_t payload_length = 0;
    int32_t capacity = 0;
    if (has_payload &&
        deflate_payload(level, data->payload, data->payload_length, payload, payload_length, capacity) != 0)
        return nullptr;

    // Suites 1 to 3 always carry an IV and a digest keyed with the suite key,
    // also for an empty payload, so that no token can be made without the key.
    KeyBuffer key("Cleaning up and releasing the encryption key...\n");
    unsigned char iv[16];
    int32_t iv_length = 0;
    if (suite != NUBREL_SUITE_NULL) {
        const bool manager_available = is_keymanager_available(handle) == 1;
        const bool password_available = is_password_based_generation_available(handle) == 1;
        if (!manager_available && !password_available) {
            NBR_LOG(error, "Neither key manager interface is provided, nor password based generation is configured\n");
            return nullptr;
        }
        if (has_payload) {
            if (nubrel::pad_buffer(suite, &payload_length, &payload.data, capacity) != 0) return nullptr;
            // The length field holds 16 bits: padding must not carry it past them.
            if (payload_length > nubrel::kMaxCompressedLength) {
                NBR_LOG(error, "Cannot encode the token - encrypted payload length %i exceeds limit of %i bytes\n",
                        payload_length, nubrel::kMaxCompressedLength);
                return nullptr;
            }
        }
        if (obtain_encryption_key(handle, password_available, suite, key, arg1, arg2, arg3) != 0) return nullptr;
        iv_length = nubrel::find_suite(suite)->iv_length;
        if (generate_random_ivec(iv, iv_length) != 0) return nullptr;
        if (has_payload) {
            if (nubrel::run_cipher(suite, true, key.data, iv, payload.data, payload_length) != 0) return nullptr;
            NBR_LOG(detail, "Succeeded to encrypt the payload\n");
            NBR_DUMP("Encrypted:", payload.data, static_cast<size_t>(payload_length));
        }
    }

    unsigned char digest[nubrel::kDigestLength];
    const size_t text_length = has_payload ? data->payload_length : 0;
    const int digest_result = nubrel::compute_digest(suite, key.data, key.length, data->version, iv, iv_length,
                                                     data->payload, text_length, digest);
    key.reset();
    if (digest_result != 0) return nullptr;
    NBR_DUMP("MAC digest:", digest, nubrel::kDigestLength);

    const int32_t structure_length = nubrel::kFixedLength + iv_length + payload_length;
    NBR_LOG(detail, "Allocating buffer of %i bytes for the binary structure...\n", structure_length);
    OwnedBuffer structure("Releasing the binary structure...\n");
    structure.data = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(structure_length)));
    if (structure.data == nullptr) {
        NBR_LOG(error, "Cannot allocate buffer for the entire binary stucture\n");
        return nullptr;
    }
    NBR_LOG(progress, "Constructing binary structure...\n");
    unsigned char *out = structure.data;
    std::memcpy(out, nubrel::kLiteral, sizeof nubrel::kLiteral);
    out += sizeof nubrel::kLiteral;
    *out++ = data->version;
    *out++ = data->cipher_suite;
    std::memcpy(out, digest, nubrel::kDigestLength);
    out += nubrel::kDigestLength;
    *out++ = static_cast<unsigned char>(iv_length);
    if (iv_length > 0) std::memcpy(out, iv, static_cast<size_t>(iv_length));
    out += iv_length;
    *out++ = 0;  // KeyInfo length
    *out++ = static_cast<unsigned char>(payload_length >> 8);
    *out++ = static_cast<unsigned char>(payload_length & 0xff);
    if (payload_length > 0) std::memcpy(out, payload.data, static_cast<size_t>(payload_length));
    payload.reset();

    NBR_LOG(progress, "Encoding binary structure as a modified base64 url safe token...\n");
    char *token = nullptr;
    if (base64_url_safe_modified_encode(structure.data, structure_length, &token, nullptr) != 0) {
        NBR_LOG(error, "Cannot encode binary structure as base64...\n");
        return nullptr;
    }
    NBR_LOG(detail, "Succeded to encode buffer into a modified base64 url safe format\n");
    NBR_LOG(dump, "Base64 url safe encoded token:\n");
    NBR_RAW_DUMP(token);
    return token;
}

}  // extern "C"

// Recognising and decoding tokens, and releasing decoded records.
#include "token_common.h"

#include <openssl/crypto.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace {

using nubrel::KeyBuffer;
using nubrel::OwnedBuffer;

constexpr int kInvalidArguments = -1;
constexpr int kInvalidToken = -2;

bool is_token_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
           c == '_';
}

// Every request carrying a token has it checked, so sixteen characters are
// checked at a time; the rest one by one.
bool all_token_characters(const char *text, int32_t length) {
    using Bytes = unsigned char __attribute__((vector_size(16)));
    using Mask = signed char __attribute__((vector_size(16)));
    Mask outside{};
    int32_t i = 0;
    for (; length - i >= 16; i += 16) {
        Bytes c;
        std::memcpy(&c, text + i, sizeof c);
        // Unsigned differences: one comparison per range.
        const Mask letter = ((c | 0x20) - 'a') < 26;
        const Mask digit = (c - '0') < 10;
        const Mask mark = (c == '*') | (c == '-') | (c == '_');
        outside |= ~(letter | digit | mark);
    }
    uint64_t halves[2];
    std::memcpy(halves, &outside, sizeof halves);
    if ((halves[0] | halves[1]) != 0) return false;
    for (; i < length; ++i)
        if (!is_token_character(text[i])) return false;
    return true;
}

// Read position over the decoded structure; every read is bounds-checked.
struct Reader {
    unsigned char *bytes;
    int32_t length;
    int32_t offset = 0;

    bool has(int32_t count) const { return count <= length - offset; }
    unsigned char *take(int32_t count) {
        unsigned char *at = bytes + offset;
        offset += count;
        return at;
    }
};

bool too_short(const Reader &reader, int32_t count) {
    if (reader.has(count)) return false;
    NBR_LOG(error, "Token is not valid - decoded structure of %i bytes is too short for its fixed fields\n",
            reader.length);
    return true;
}

// The key for a token of suites 1 to 3: from the key manager when only it is
// available, else derived from the password. Returns 0, -1 (key manager: key
// not found or expired) or -2.
int obtain_decryption_key(nubrel_instance *handle, int32_t suite, KeyBuffer &key, void *arg1, void *arg2,
                          void *arg3) {
    const bool password_available = is_password_based_generation_available(handle) == 1;
    if (handle->keymanager != nullptr && !password_available) {
        NBR_LOG(detail, "Quering a decryption key by the KeyInfo meta data from the Key Manager...\n");
        unsigned char *supplied = nullptr;
        int32_t supplied_length = 0;
        const int result = handle->keymanager(NUBREL_KEY_FOR_DECRYPTION, nullptr, 0, suite, &supplied,
                                              &supplied_length, arg1, arg2, arg3);
        key.adopt(supplied, supplied_length);
        if (result == -1) {
            NBR_LOG(progress, "Could not get decryption key from KeyManager by the null KeyInfo - KeyInfo has not "
                              "been found or has expired\n");
            return kInvalidArguments;
        }
        if (result != 0 || key.data == nullptr) {
            NBR_LOG(error, "Could not get decryption key from KeyManager by the null KeyInfo\n");
            return kInvalidToken;
        }
        NBR_LOG(detail, "Succeded to get decryption key from KeyManager by KeyInfo - key length is %i\n", key.length);
    } else if (password_available) {
        NBR_LOG(detail, "Shall generate a password based password...\n");
        if (key.use_password_key(handle, suite) != 0) return kInvalidToken;
        NBR_LOG(detail, "Succeded to generate a password based decryption key of length %i\n", key.length);
    } else {
        NBR_LOG(error, "Cannot decrypt - neither key manager interface is provided, nor password based generation "
                       "is configured\n");
        return kInvalidToken;
    }
    return nubrel::fit_key(suite, &key.length) == 0 ? 0 : kInvalidToken;
}

// Inflates a zlib stream into a new NUL-terminated buffer of at most
// NUBREL_MAX_PAYLOAD_LENGTH bytes of text.
int inflate_payload(const unsigned char *compressed, int32_t compressed_length, OwnedBuffer &text,
                    int32_t &text_length) {
    // Session payloads compress two to four times; starting at four times
    // the compressed size spares most decodes any enlargement.
    constexpr size_t kCeiling = NUBREL_MAX_PAYLOAD_LENGTH + 1;
    size_t capacity = static_cast<size_t>(compressed_length) * 4;
    if (capacity > kCeiling) capacity = kCeiling;
    NBR_LOG(detail, "Allocating initial buffer of %i bytes for the decompressed payload...\n",
            static_cast<int>(capacity));
    text.data = static_cast<unsigned char *>(std::malloc(capacity));
    if (text.data == nullptr) {
        NBR_LOG(error, "Cannot allocate buffer for a decompressed payload - out of memory\n");
        return -1;
    }
    const nubrel::StreamLease lease = nubrel::decompression_stream();
    z_stream *stream_handle = lease.get();
    if (stream_handle == nullptr) return -1;
    z_stream &stream = *stream_handle;
    stream.next_in = const_cast<Bytef *>(compressed);
    stream.avail_in = static_cast<uInt>(compressed_length);
    stream.next_out = text.data;
    stream.avail_out = static_cast<uInt>(capacity);

    // kCeiling, one byte beyond the limit, tells an over-long payload from one that fits exactly.
    NBR_LOG(progress, "Decompressing the payload...\n");
    for (;;) {
        const int status = inflate(&stream, Z_SYNC_FLUSH);
        if (status == Z_STREAM_END) break;
        if (status == Z_OK) {
            if (stream.avail_out > 0) continue;  // more input to consume; no room needed yet
            const size_t produced = capacity;
            if (produced >= kCeiling) {
                NBR_LOG(error, "Cannot decompress - decompressed payload exceeds the limit of %i bytes\n",
                        NUBREL_MAX_PAYLOAD_LENGTH);
                return -1;
            }
            const size_t grown = capacity * 2 < kCeiling ? capacity * 2 : kCeiling;
            NBR_LOG(detail, "Output buffer is over - reallocating to a doubled size of %i bytes\n",
                    static_cast<int>(grown));
            auto *larger = static_cast<unsigned char *>(std::realloc(text.data, grown));
            if (larger == nullptr) {
                NBR_LOG(error, "Cannot continue decompression - out of memory\n");
                return -1;
            }
            text.data = larger;
            capacity = grown;
            stream.next_out = text.data + produced;
            stream.avail_out = static_cast<uInt>(capacity - produced);
            continue;
        }
        switch (status) {
        case Z_BUF_ERROR: NBR_LOG(error, "Cannot decompress - insufficient output buffer to finish\n"); break;
        case Z_MEM_ERROR: NBR_LOG(error, "Cannot decompress - out of memory\n"); break;
        case Z_DATA_ERROR:
        case Z_NEED_DICT:
            NBR_LOG(error, "Cannot decompress - input data is not in zlib format or the adler32 checksum is not "
                           "valid\n");
            break;
        case Z_STREAM_ERROR: NBR_LOG(error, "Cannot decompress - incorrectly initilized stream\n"); break;
        default: NBR_LOG(error, "Cannot compress - unhandled error %i\n", status); break;
        }
        return -1;
    }
    const size_t produced = capacity - stream.avail_out;
    if (produced > NUBREL_MAX_PAYLOAD_LENGTH) {
        NBR_LOG(error, "Cannot decompress - decompressed payload exceeds the limit of %i bytes\n",
                NUBREL_MAX_PAYLOAD_LENGTH);
        return -1;
    }
    NBR_LOG(detail, "Succeeded to decompress from %i to %i bytes\n", compressed_length, static_cast<int>(produced));
    if (produced == capacity) {
        NBR_LOG(detail, "Reallocating decompressed buffer to fit a terminal null character...\n");
        auto *fitted = static_cast<unsigned char *>(std::realloc(text.data, produced + 1));
        if (fitted == nullptr) {
            NBR_LOG(error, "Cannot reallocate decompressed buffer to fit a terminal null character\n");
            return -1;
        }
        text.data = fitted;
    }
    text.data[produced] = '\0';
    text_length = static_cast<int32_t>(produced);
    return 0;
}

}  // namespace

extern "C" {

NUBREL_API int32_t is_nubrel(const char *text, int32_t length) {
    if (text == nullptr || length <= 39) {
        NBR_LOG(error, "Token does not match the Nubrel type - its length (%i bytes) is small to fit the layout\n",
                text == nullptr ? 0 : length);
        return 0;
    }
    if (length % 4 != 0) {
        NBR_LOG(error,
                "Token does not match the Nubrel type - the given length of base64-encoded buffer (%i bytes) is not a "
                "multiple of 4\n",
                length);
        return 0;
    }
    if (std::strncmp(text, "TkJS", 4) != 0) {
        NBR_LOG(error,
                "Token does not match the Nubrel type - the layout does not start with the static \"NBR\" literal\n");
        return 0;
    }
    if (!all_token_characters(text, length)) {
        NBR_LOG(error, "Token does not match the Nubrel type - encoding of the token does not match the base64 "
                       "url-safe modified character set\n");
        return 0;
    }
    return 1;
}

NUBREL_API int32_t nubrel_decode(nubrel_instance *handle, const char *token, nubrel_tokendata *data, void *arg1,
                                 void *arg2, void *arg3) {
    NBR_LOG(progress, "Decoding the token...\n");
    if (!nubrel::valid_handle(handle, "Cannot decode the token - NBR instance handle is null\n",
                              "Cannot decode the token - NBR instance handle is not valid\n"))
        return kInvalidArguments;
    if (data == nullptr) {
        NBR_LOG(error, "Cannot decode the token - output storage for binary structure is null\n");
        return kInvalidArguments;
    }
    data->keyinfo = nullptr;
    data->keyinfo_length = 0;
    data->payload = nullptr;
    data->payload_length = 0;
    if (token == nullptr) {
        NBR_LOG(error, "Cannot decode the token - token is null\n");
        return kInvalidArguments;
    }
    const size_t token_length = std::strlen(token);
    if (token_length == 0 || token_length > INT32_MAX) {
        NBR_LOG(error, "Cannot decode the token - token length is not valid\n");
        return kInvalidArguments;
    }
    OwnedBuffer structure("Releasing the base64-decoded token...\n");
    int32_t structure_length = 0;
    if (base64_url_safe_modified_decode(token, static_cast<int32_t>(token_length), &structure.data,
                                        &structure_length) != 0)
        return kInvalidArguments;

    Reader reader{structure.data, structure_length};
    NBR_LOG(progress, "Parsing the binary structure...\n");
    NBR_LOG(progress, "Verifying the token's header...\n");
    if (too_short(reader, 3)) return kInvalidToken;
    const unsigned char *literal = reader.take(3);
    if (std::memcmp(literal, nubrel::kLiteral, 3) != 0) {
        const char found[4] = {static_cast<char>(literal[0]), static_cast<char>(literal[1]),
                               static_cast<char>(literal[2]), '\0'};
        NBR_LOG(error, "Token is not valid - header \"%s\" does not match \"%s\"\n", found, "NBR");
        return kInvalidToken;
    }
    NBR_LOG(progress, "The token's header is valid\n");

    if (too_short(reader, 1)) return kInvalidToken;
    const uint8_t version = *reader.take(1);
    if (nubrel::check_version(version) != 0) return kInvalidToken;

    if (too_short(reader, 1)) return kInvalidToken;
    const uint8_t suite = *reader.take(1);
    if (nubrel::check_suite(suite) != 0) return kInvalidToken;

    if (too_short(reader, nubrel::kDigestLength)) return kInvalidToken;
    const unsigned char *mac = reader.take(nubrel::kDigestLength);
    NBR_DUMP("MAC digest:", mac, nubrel::kDigestLength);

    if (too_short(reader, 1)) return kInvalidToken;
    const int32_t iv_length = *reader.take(1);
    if (nubrel::check_iv_length(suite, iv_length) != 0) return kInvalidToken;
    if (too_short(reader, iv_length)) return kInvalidToken;
    const unsigned char *iv = reader.take(iv_length);
    NBR_DUMP("IV:", iv, static_cast<size_t>(iv_length));

    if (too_short(reader, 1)) return kInvalidToken;
    const int32_t keyinfo_length = *reader.take(1);
    NBR_LOG(detail, "KeyInfo length: %i\n", keyinfo_length);
    if (keyinfo_length != 0) {
        NBR_LOG(error,
                "Cannot decode the token - KeyInfo metadata is not supported in this version of the Nubrel library\n");
        return kInvalidToken;
    }

    if (too_short(reader, 2)) return kInvalidToken;
    const unsigned char *length_field = reader.take(2);
    int32_t payload_length = (int32_t{length_field[0]} << 8) | length_field[1];
    NBR_LOG(detail, "Length of compressed payload: %i\n", payload_length);
    if (!reader.has(payload_length)) {
        NBR_LOG(error, "Payload length %i exceeds the rest size of buffer %i\n", payload_length,
                reader.length - reader.offset);
        return kInvalidToken;
    }
    unsigned char *payload = reader.take(payload_length);
    const nubrel::SuiteInfo *info = nubrel::find_suite(suite);
    if (info->block_size > 0 && payload_length % info->block_size != 0) {
        NBR_LOG(error, "Payload length %i does not match rounding rules for %s CBC ciphering\n", payload_length,
                suite == NUBREL_SUITE_3DES ? "DES" : "AES");
        return kInvalidToken;
    }

    // Suites 1 to 3 always need the key: it keys the digest even when the
    // payload is empty, so that no token can be made without it.
    KeyBuffer key("Cleaning up and releasing the decryption key...\n");
    if (suite != NUBREL_SUITE_NULL) {
        if (payload_length > 0) NBR_DUMP("Encrypted:", payload, static_cast<size_t>(payload_length));
        if (const int result = obtain_decryption_key(handle, suite, key, arg1, arg2, arg3); result != 0)
            return result;
        if (payload_length > 0) {
            if (nubrel::run_cipher(suite, false, key.data, iv, payload, payload_length) != 0) return kInvalidToken;
            NBR_LOG(detail, "Succeeded to decrypt the payload\n");
            if (nubrel::unpad_buffer(suite, payload, &payload_length) != 0) return kInvalidToken;
        }
    }

    OwnedBuffer text("Releasing the buffer allocated for decompressed payload...\n");
    int32_t text_length = 0;
    if (payload_length > 0 && inflate_payload(payload, payload_length, text, text_length) != 0) return kInvalidToken;

    unsigned char digest[nubrel::kDigestLength];
    if (nubrel::compute_digest(suite, key.data, key.length, version, iv, iv_length,
                               reinterpret_cast<const char *>(text.data), static_cast<size_t>(text_length),
                               digest) != 0)
        return kInvalidToken;
    NBR_DUMP("The calculated MAC digest:", digest, nubrel::kDigestLength);
    if (CRYPTO_memcmp(digest, mac, nubrel::kDigestLength) != 0) {
        NBR_LOG(error, "The calculated MAC digest does not match with a provided one\n");
        return kInvalidToken;
    }
    NBR_LOG(detail, "The calculated MAC digest matches with a provided one\n");
    NBR_LOG(progress, "Filling in the binary structure...\n");
    data->version = version;
    data->cipher_suite = suite;
    data->payload_length = static_cast<uint32_t>(text_length);
    data->payload = reinterpret_cast<char *>(text.release());
    NBR_LOG(progress, "Succeded to decode the token\n");
    return 0;
}

NUBREL_API void nubrel_free_tokendata(nubrel_tokendata *data) {
    if (data == nullptr) return;
    if (data->payload != nullptr) {
        NBR_LOG(detail, "Releasing the dynamically allocated payload...\n");
        std::free(data->payload);
        data->payload = nullptr;
        data->payload_length = 0;
    }
    if (data->keyinfo != nullptr) {
        NBR_LOG(detail, "Releasing the dynamically allocated key info meta data...\n");
        std::free(data->keyinfo);
        data->keyinfo = nullptr;
        data->keyinfo_length = 0;
    }
}

}  // extern "C"

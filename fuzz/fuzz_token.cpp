// Token decoding. The first byte of an input chooses:
//   bits 0-1  the instance: 0 has no password and reads the null suite only;
//             1 to 3 have the fuzzing password and encode with that suite;
//   bit 2     library log lines at verbose level 5, hex dumps included;
//   bits 3-4  what the rest is: 0 the binary structure of a token, base64
//             encoded here so that mutations land on its fields; 1 the token
//             text as a request carries it; 2 a payload to encode and decode;
//   bits 5-7  the zlib level of the instance when it encodes (0 to 7).
// Every token that decodes is encoded again and must decode to the same payload.
#include "fuzz_check.h"
#include "nubrel.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr const char *kPassword = "ZnV6emluZyBwYXNzd29yZA==";  // "fuzzing password"
// Payloads up to this size always fit a token, whatever they compress to.
constexpr uint32_t kAlwaysEncodable = 32 * 1024;

enum Mode { structure = 0, text = 1, payload = 2 };

nubrel_instance *instance_for(int suite) {
    static nubrel_instance *instances[4] = {};
    if (instances[suite] == nullptr) {
        nubrel_instance *handle = nubrel_create_instance();
        FUZZ_CHECK(handle != nullptr);
        FUZZ_CHECK(set_nubrel_cipher_suite(handle, suite) == 0);
        if (suite != NUBREL_SUITE_NULL) FUZZ_CHECK(set_nubrel_password(handle, kPassword) == 0);
        instances[suite] = handle;
    }
    return instances[suite];
}

struct TokenData : nubrel_tokendata {
    TokenData() : nubrel_tokendata{} {}
    TokenData(const TokenData &) = delete;
    TokenData &operator=(const TokenData &) = delete;
    ~TokenData() { nubrel_free_tokendata(this); }
};

// Decodes and checks what the decoder promises on success and on failure.
int decode_checked(nubrel_instance *handle, const char *token, TokenData &data) {
    // Garbage in every field: the decoder must set what it reports.
    std::memset(static_cast<nubrel_tokendata *>(&data), 0xa5, sizeof(nubrel_tokendata));
    const int result = nubrel_decode(handle, token, &data, nullptr, nullptr, nullptr);
    FUZZ_CHECK(result == 0 || result == -1 || result == -2);
    FUZZ_CHECK(data.keyinfo == nullptr && data.keyinfo_length == 0);
    if (result != 0) {
        FUZZ_CHECK(data.payload == nullptr && data.payload_length == 0);
        return result;
    }
    // Whatever the decoder accepts, the cheap check the agent runs first accepts too.
    FUZZ_CHECK(is_nubrel(token, static_cast<int32_t>(std::strlen(token))) == 1);
    FUZZ_CHECK(data.cipher_suite <= NUBREL_SUITE_3DES);
    FUZZ_CHECK(data.payload_length <= NUBREL_MAX_PAYLOAD_LENGTH);
    if (data.payload_length > 0) {
        FUZZ_CHECK(data.payload != nullptr);
        FUZZ_CHECK(data.payload[data.payload_length] == '\0');
    }
    return 0;
}

// Encodes the payload with the token's own version and suite and decodes the result.
void check_round_trip(nubrel_instance *handle, uint8_t version, uint8_t suite, const char *payload,
                      uint32_t payload_length) {
    nubrel_tokendata input{};
    input.version = version;
    input.cipher_suite = suite;
    input.payload = const_cast<char *>(payload);
    input.payload_length = payload_length;
    char *token = nubrel_encode(handle, &input, nullptr, nullptr, nullptr);
    if (token == nullptr) {
        FUZZ_CHECK(payload_length > kAlwaysEncodable);
        return;
    }
    TokenData again;
    const int result = decode_checked(handle, token, again);
    nubrel_free(token);
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(again.version == version && again.cipher_suite == suite);
    FUZZ_CHECK(again.payload_length == payload_length);
    if (payload_length > 0) FUZZ_CHECK(std::memcmp(again.payload, payload, payload_length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const int suite = selector & 3;
    const int mode = (selector >> 3) & 3;
    if (mode > payload) return 0;
    nubrel_instance *handle = instance_for(suite);
    set_nubrel_verbose_level((selector & 4) != 0 ? 5 : 0);
    FUZZ_CHECK(set_nubrel_zlib_compression_level(handle, selector >> 5) == 0);
    const char *rest = reinterpret_cast<const char *>(data + 1);
    const size_t rest_size = size - 1;

    if (mode == payload) {
        if (rest_size > NUBREL_MAX_PAYLOAD_LENGTH) return 0;
        check_round_trip(handle, 1, static_cast<uint8_t>(suite), rest, static_cast<uint32_t>(rest_size));
        return 0;
    }

    std::string token;
    if (mode == structure) {
        if (rest_size == 0 || rest_size > INT32_MAX / 2) return 0;
        char *encoded = nullptr;
        FUZZ_CHECK(base64_url_safe_modified_encode(reinterpret_cast<const unsigned char *>(rest),
                                                   static_cast<int32_t>(rest_size), &encoded, nullptr) == 0);
        token = encoded;
        nubrel_free(encoded);
    } else {
        token.assign(rest, rest_size);
    }
    // Up to a NUL, as the agent hands the token over.
    token.resize(std::strlen(token.c_str()));
    (void)is_nubrel(token.data(), static_cast<int32_t>(token.size()));

    TokenData decoded;
    if (decode_checked(handle, token.c_str(), decoded) != 0) return 0;
    check_round_trip(handle, decoded.version, decoded.cipher_suite, decoded.payload, decoded.payload_length);
    return 0;
}

// The two base64 codecs: standard ("=" padding) and URL-safe modified ("*" padding).
#include "internal.h"

#include <array>
#include <cstdlib>

namespace {

struct Codec {
    const char *alphabet;
    char pad;
    // Messages, in the codec's own wording.
    const char *encode_no_input;
    const char *encode_no_output;
    const char *encode_no_memory;
    const char *encode_done;
    const char *decode_no_input;
    const char *decode_not_multiple;
    const char *decode_no_output;
    const char *decode_no_output_length;
    const char *decode_illegal;
    const char *decode_allocating;
    const char *decode_no_memory;
    const char *decode_done;  // the URL-safe one takes the decoded length
};

constexpr Codec kStandard{
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/",
    '=',
    "Cannot base64 encode - input data is not available\n",
    "Cannot base64 encode - output storage of buffer is null\n",
    "Cannot base64 encode - out of memory\n",
    "Succeded to base64 encode\n",
    "Cannot base64 decode - input data is not available\n",
    "Cannot base64 decode - source buffer is not multiple of 4\n",
    "Cannot base64 decode - output storage of buffer is null\n",
    "Cannot base64 decode - output storage of buffer length is null\n",
    "Cannot base64 decode - source buffer has illegal characters\n",
    "Allocating buffer for base64 decoded data...\n",
    "Cannot base64 decode - out of memory\n",
    "Succeeded to base64 decode\n",
};

constexpr Codec kUrlSafe{
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_",
    '*',
    "Cannot base64 url safe encode - input data is not available\n",
    "Cannot base64 url safe encode - output storage of buffer is null\n",
    "Cannot base64 url safe encode - out of memory\n",
    "Succeded to base64 url safe encode\n",
    "Cannot base64 url safe decode - input data is not available\n",
    "Cannot base64 url safe decode - source buffer is not multiple of 4\n",
    "Cannot base64 url safe decode - output storage of buffer is null\n",
    "Cannot base64 url safe decode - output storage of buffer length is null\n",
    "Cannot base64 url safe decode - source buffer has illegal characters\n",
    "Allocating buffer for base64 url safe decoded data...\n",
    "Cannot base64 url safe decode - out of memory\n",
    "Succeeded to base64 url safe decode the token - decoded length is %i\n",
};

constexpr uint8_t kNotInAlphabet = 0xff;

constexpr std::array<uint8_t, 256> reverse_table(const char *alphabet) {
    std::array<uint8_t, 256> table{};
    for (auto &entry : table) entry = kNotInAlphabet;
    for (uint8_t value = 0; value < 64; ++value) table[static_cast<unsigned char>(alphabet[value])] = value;
    return table;
}

constexpr auto kStandardReverse = reverse_table(kStandard.alphabet);
constexpr auto kUrlSafeReverse = reverse_table(kUrlSafe.alphabet);

int encode(const Codec &codec, const unsigned char *input, int32_t length, char **output, int32_t *output_length) {
    if (output != nullptr) *output = nullptr;
    if (output_length != nullptr) *output_length = 0;
    if (input == nullptr || length <= 0) {
        NBR_LOG(error, "%s", codec.encode_no_input);
        return -1;
    }
    if (output == nullptr) {
        NBR_LOG(error, "%s", codec.encode_no_output);
        return -1;
    }
    const size_t size = (static_cast<size_t>(length) + 2) / 3 * 4;
    auto *text = static_cast<char *>(std::malloc(size + 1));
    if (text == nullptr) {
        NBR_LOG(error, "%s", codec.encode_no_memory);
        return -1;
    }
    const char *alphabet = codec.alphabet;
    size_t out = 0;
    int32_t i = 0;
    for (; i + 2 < length; i += 3) {
        const uint32_t group = (uint32_t{input[i]} << 16) | (uint32_t{input[i + 1]} << 8) | input[i + 2];
        text[out++] = alphabet[(group >> 18) & 0x3f];
        text[out++] = alphabet[(group >> 12) & 0x3f];
        text[out++] = alphabet[(group >> 6) & 0x3f];
        text[out++] = alphabet[group & 0x3f];
    }
    if (length - i == 1) {
        text[out++] = alphabet[input[i] >> 2];
        text[out++] = alphabet[(input[i] & 0x03) << 4];
        text[out++] = codec.pad;
        text[out++] = codec.pad;
    } else if (length - i == 2) {
        text[out++] = alphabet[input[i] >> 2];
        text[out++] = alphabet[((input[i] & 0x03) << 4) | (input[i + 1] >> 4)];
        text[out++] = alphabet[(input[i + 1] & 0x0f) << 2];
        text[out++] = codec.pad;
    }
    text[out] = '\0';
    NBR_LOG(detail, "%s", codec.encode_done);
    *output = text;
    if (output_length != nullptr) *output_length = static_cast<int32_t>(out);
    return 0;
}

int decode(const Codec &codec, const std::array<uint8_t, 256> &reverse, const char *input, int32_t length,
           unsigned char **output, int32_t *output_length) {
    if (output != nullptr) *output = nullptr;
    if (output_length != nullptr) *output_length = 0;
    if (input == nullptr || length <= 0) {
        NBR_LOG(error, "%s", codec.decode_no_input);
        return -1;
    }
    if (length % 4 != 0) {
        NBR_LOG(error, "%s", codec.decode_not_multiple);
        return -1;
    }
    if (output == nullptr) {
        NBR_LOG(error, "%s", codec.decode_no_output);
        return -1;
    }
    if (output_length == nullptr) {
        NBR_LOG(error, "%s", codec.decode_no_output_length);
        return -1;
    }
    int32_t symbols = 0;
    while (symbols < length && reverse[static_cast<unsigned char>(input[symbols])] != kNotInAlphabet) ++symbols;
    const int32_t rest = length - symbols;
    const bool rest_is_padding = rest == 0 || (rest == 1 && input[symbols] == codec.pad) ||
                                 (rest == 2 && input[symbols] == codec.pad && input[symbols + 1] == codec.pad);
    if (!rest_is_padding) {
        NBR_LOG(error, "%s", codec.decode_illegal);
        return -1;
    }
    NBR_LOG(detail, "%s", codec.decode_allocating);
    auto *bytes = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(length) / 4 * 3 + 1));
    if (bytes == nullptr) {
        NBR_LOG(error, "%s", codec.decode_no_memory);
        return -1;
    }
    // Four symbols make three bytes; the last group may hold two or three.
    int32_t out = 0;
    int32_t i = 0;
    for (; i + 4 <= symbols; i += 4) {
        const uint32_t group = (uint32_t{reverse[static_cast<unsigned char>(input[i])]} << 18) |
                               (uint32_t{reverse[static_cast<unsigned char>(input[i + 1])]} << 12) |
                               (uint32_t{reverse[static_cast<unsigned char>(input[i + 2])]} << 6) |
                               reverse[static_cast<unsigned char>(input[i + 3])];
        bytes[out] = static_cast<unsigned char>(group >> 16);
        bytes[out + 1] = static_cast<unsigned char>(group >> 8);
        bytes[out + 2] = static_cast<unsigned char>(group);
        out += 3;
    }
    uint32_t bits = 0;
    int gathered = 0;
    for (; i < symbols; ++i) {
        bits = (bits << 6) | reverse[static_cast<unsigned char>(input[i])];
        gathered += 6;
        if (gathered >= 8) {
            gathered -= 8;
            bytes[out++] = static_cast<unsigned char>(bits >> gathered);
            bits &= (1u << gathered) - 1;
        }
    }
    bytes[out] = '\0';
    NBR_LOG(detail, codec.decode_done, out);
    *output = bytes;
    *output_length = out;
    return 0;
}

}  // namespace

extern "C" {

NUBREL_API int32_t base64_encode(const unsigned char *input, int32_t input_length, char **output,
                                 int32_t *output_length) {
    return encode(kStandard, input, input_length, output, output_length);
}

NUBREL_API int32_t base64_decode(const char *input, int32_t input_length, unsigned char **output,
                                 int32_t *output_length) {
    return decode(kStandard, kStandardReverse, input, input_length, output, output_length);
}

NUBREL_API int32_t base64_url_safe_modified_encode(const unsigned char *input, int32_t input_length, char **output,
                                                   int32_t *output_length) {
    return encode(kUrlSafe, input, input_length, output, output_length);
}

NUBREL_API int32_t base64_url_safe_modified_decode(const char *input, int32_t input_length, unsigned char **output,
                                                   int32_t *output_length) {
    return decode(kUrlSafe, kUrlSafeReverse, input, input_length, output, output_length);
}

}  // extern "C"

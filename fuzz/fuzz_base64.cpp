// Both base64 codecs. The input is decoded as text by each; what decodes is
// encoded and decoded again and must give the same bytes. The input is also
// encoded as bytes, and decoding that gives it back. The two codecs differ
// only in three characters, so the text with them swapped must decode the
// same way with the other codec.
#include "fuzz_check.h"
#include "nubrel.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using Encode = int32_t (*)(const unsigned char *, int32_t, char **, int32_t *);
using Decode = int32_t (*)(const char *, int32_t, unsigned char **, int32_t *);

struct Codec {
    Encode encode;
    Decode decode;
    std::string_view symbols;  // the 64 digits, then the padding character
};

const Codec kStandard{base64_encode, base64_decode,
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="};
const Codec kUrlSafe{base64_url_safe_modified_encode, base64_url_safe_modified_decode,
                     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_*"};

struct Decoded {
    int32_t result = -1;
    std::string bytes;
};

Decoded decode(const Codec &codec, std::string_view text) {
    unsigned char *output = reinterpret_cast<unsigned char *>(1);  // must be reset on failure
    int32_t length = -1;
    Decoded decoded;
    decoded.result = codec.decode(text.data(), static_cast<int32_t>(text.size()), &output, &length);
    if (decoded.result != 0) {
        FUZZ_CHECK(decoded.result == -1 && output == nullptr && length == 0);
        return decoded;
    }
    FUZZ_CHECK(output != nullptr && length > 0);
    // Four characters carry three bytes; padding stands for the missing ones.
    FUZZ_CHECK(text.size() % 4 == 0 && static_cast<size_t>(length) <= text.size() / 4 * 3);
    FUZZ_CHECK(static_cast<size_t>(length) + 2 >= text.size() / 4 * 3);
    FUZZ_CHECK(output[length] == '\0');
    decoded.bytes.assign(reinterpret_cast<const char *>(output), static_cast<size_t>(length));
    nubrel_free(output);
    return decoded;
}

std::string encode(const Codec &codec, std::string_view bytes) {
    char *output = nullptr;
    int32_t length = -1;
    const int32_t result = codec.encode(reinterpret_cast<const unsigned char *>(bytes.data()),
                                        static_cast<int32_t>(bytes.size()), &output, &length);
    if (bytes.empty()) {
        FUZZ_CHECK(result == -1 && output == nullptr);
        return {};
    }
    FUZZ_CHECK(result == 0 && output != nullptr);
    const std::string text(output, static_cast<size_t>(length));
    nubrel_free(output);
    FUZZ_CHECK(std::strlen(text.c_str()) == text.size());
    FUZZ_CHECK(text.size() == (bytes.size() + 2) / 3 * 4);
    FUZZ_CHECK(text.find_first_not_of(codec.symbols) == std::string::npos);
    return text;
}

void check_codec(const Codec &codec, const Codec &other, std::string_view input) {
    const Decoded decoded = decode(codec, input);
    if (decoded.result == 0) {
        const Decoded again = decode(codec, encode(codec, decoded.bytes));
        FUZZ_CHECK(again.result == 0 && again.bytes == decoded.bytes);
    }

    std::string swapped(input);
    for (char &c : swapped) {
        const size_t at = codec.symbols.find(c, 62);
        if (at != std::string_view::npos) c = other.symbols[at];
        else if (const size_t back = other.symbols.find(c, 62); back != std::string_view::npos) c = codec.symbols[back];
    }
    const Decoded translated = decode(other, swapped);
    FUZZ_CHECK(translated.result == decoded.result && translated.bytes == decoded.bytes);

    if (!input.empty()) {
        const Decoded round = decode(codec, encode(codec, input));
        FUZZ_CHECK(round.result == 0 && round.bytes == input);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > INT32_MAX / 2) return 0;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    check_codec(kStandard, kUrlSafe, input);
    check_codec(kUrlSafe, kStandard, input);
    return 0;
}

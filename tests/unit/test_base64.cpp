// Both base64 codecs: vectors, padding, and what each decoder refuses.
#include "fixtures.h"

#include <cstring>
#include <optional>
#include <random>

using testutil::Owned;

namespace {

using Encoder = int32_t (*)(const unsigned char *, int32_t, char **, int32_t *);
using Decoder = int32_t (*)(const char *, int32_t, unsigned char **, int32_t *);

std::string encode_with(Encoder encoder, std::string_view bytes) {
    char *text = nullptr;
    int32_t length = -1;
    EXPECT_EQ(encoder(reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int32_t>(bytes.size()),
                      &text, &length),
              0);
    Owned<char> owned(text);
    EXPECT_EQ(static_cast<size_t>(length), std::strlen(text));
    return std::string(text, static_cast<size_t>(length));
}

// Decodes; returns nullopt on failure and checks that nothing was left behind.
std::optional<std::string> decode_with(Decoder decoder, std::string_view text) {
    unsigned char *bytes = reinterpret_cast<unsigned char *>(0x1);
    int32_t length = -1;
    if (decoder(text.data(), static_cast<int32_t>(text.size()), &bytes, &length) != 0) {
        EXPECT_EQ(bytes, nullptr);
        EXPECT_EQ(length, 0);
        return std::nullopt;
    }
    Owned<unsigned char> owned(bytes);
    EXPECT_EQ(bytes[length], '\0');
    return std::string(reinterpret_cast<char *>(bytes), static_cast<size_t>(length));
}

}  // namespace

class Base64Test : public LibraryTest {};

TEST_F(Base64Test, UrlSafeVectors) {
    EXPECT_EQ(encode_with(base64_url_safe_modified_encode, "NBR"), "TkJS");
    EXPECT_EQ(encode_with(base64_url_safe_modified_encode, "\xfb"), "-w**");
    EXPECT_EQ(encode_with(base64_url_safe_modified_encode, "\xff\xff"), "__8*");
    EXPECT_EQ(decode_with(base64_url_safe_modified_decode, "TkJS"), "NBR");
    EXPECT_EQ(decode_with(base64_url_safe_modified_decode, "TQ**"), "M");
    EXPECT_EQ(decode_with(base64_url_safe_modified_decode, "-w**"), "\xfb");
    EXPECT_TRUE(testlog::has("Succeeded to base64 url safe decode the token - decoded length is 1"));
}

TEST_F(Base64Test, StandardVectorsFromRfc4648) {
    const std::pair<std::string, std::string> vectors[] = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="},
    };
    for (const auto &[bytes, text] : vectors) {
        EXPECT_EQ(encode_with(base64_encode, bytes), text);
        EXPECT_EQ(decode_with(base64_decode, text), bytes);
    }
}

TEST_F(Base64Test, DecodersRejectMalformedText) {
    struct Case {
        Decoder decoder;
        const char *text;
        const char *message;
    };
    const Case cases[] = {
        {base64_url_safe_modified_decode, "", "Cannot base64 url safe decode - input data is not available"},
        {base64_url_safe_modified_decode, "TkJSA", "Cannot base64 url safe decode - source buffer is not multiple of 4"},
        {base64_url_safe_modified_decode, "AB*C", "Cannot base64 url safe decode - source buffer has illegal characters"},
        {base64_url_safe_modified_decode, "A***", "Cannot base64 url safe decode - source buffer has illegal characters"},
        {base64_url_safe_modified_decode, "AB=C", "Cannot base64 url safe decode - source buffer has illegal characters"},
        {base64_url_safe_modified_decode, "AB==", "Cannot base64 url safe decode - source buffer has illegal characters"},
        {base64_url_safe_modified_decode, "AB+/", "Cannot base64 url safe decode - source buffer has illegal characters"},
        {base64_decode, "AB-_", "Cannot base64 decode - source buffer has illegal characters"},
        {base64_decode, "AB**", "Cannot base64 decode - source buffer has illegal characters"},
        {base64_decode, "A===", "Cannot base64 decode - source buffer has illegal characters"},
        {base64_decode, "Zg==Zg==", "Cannot base64 decode - source buffer has illegal characters"},
        {base64_decode, "abcde", "Cannot base64 decode - source buffer is not multiple of 4"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_EQ(decode_with(c.decoder, c.text), std::nullopt) << c.text;
        EXPECT_TRUE(testlog::has(c.message)) << c.text << "\n" << testlog::dump();
        // Refused before anything was allocated.
        EXPECT_FALSE(testlog::has_fragment("Allocating buffer")) << c.text;
    }
    EXPECT_EQ(decode_with(base64_decode, "AB=="), std::string("\x00", 1));
}

TEST_F(Base64Test, NullArgumentsAreRefused) {
    char *text = nullptr;
    unsigned char *bytes = nullptr;
    int32_t length = 7;
    EXPECT_EQ(base64_encode(nullptr, 3, &text, &length), -1);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(testlog::has("Cannot base64 encode - input data is not available"));
    EXPECT_EQ(base64_url_safe_modified_encode(reinterpret_cast<const unsigned char *>("a"), 1, nullptr, &length), -1);
    EXPECT_TRUE(testlog::has("Cannot base64 url safe encode - output storage of buffer is null"));
    EXPECT_EQ(base64_decode("abcd", 4, nullptr, &length), -1);
    EXPECT_TRUE(testlog::has("Cannot base64 decode - output storage of buffer is null"));
    EXPECT_EQ(base64_url_safe_modified_decode("abcd", 4, &bytes, nullptr), -1);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_TRUE(testlog::has("Cannot base64 url safe decode - output storage of buffer length is null"));
    // The length may be left out when encoding.
    ASSERT_EQ(base64_encode(reinterpret_cast<const unsigned char *>("ab"), 2, &text, nullptr), 0);
    EXPECT_STREQ(text, "YWI=");
    nubrel_free(text);
}

TEST_F(Base64Test, RandomBytesRoundTripInBothAlphabets) {
    testutil::VerboseLevel quiet(0);
    std::mt19937 generator(42);
    for (int size = 1; size < 200; ++size) {
        std::string bytes(static_cast<size_t>(size), '\0');
        for (auto &byte : bytes) byte = static_cast<char>(generator());
        const auto standard = encode_with(base64_encode, bytes);
        const auto url_safe = encode_with(base64_url_safe_modified_encode, bytes);
        EXPECT_EQ(standard.size() % 4, 0u);
        EXPECT_EQ(standard.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(url_safe.find_first_of("+/=\r\n"), std::string::npos);
        EXPECT_EQ(decode_with(base64_decode, standard), bytes);
        EXPECT_EQ(decode_with(base64_url_safe_modified_decode, url_safe), bytes);
    }
}

// Token recognition, decoding and encoding.
#include "fixtures.h"
#include "token_builder.h"

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

using testutil::Instance;
using testutil::make_instance;
using testutil::Owned;
using tokens::Structure;

namespace {

constexpr const char *kPassword = "correct horse battery staple";
constexpr const char *kEmptyToken = "TkJSAQAONWulBWMfv3FXWL7SfVA_iyYOOgAAAAA*";
constexpr const char *kJoeToken = "TkJSAQC24gRMyt94lxs9RnR06QCfBxZahgAAABd4AQEMAPP_c3ViamVjdD1qb2UKH5QEdg**";

struct Decoded {
    int result = 0;
    nubrel_tokendata data{};
    std::string payload() const { return data.payload ? std::string(data.payload, data.payload_length) : ""; }
};

Decoded decode(nubrel_instance *handle, const std::string &token, void *a1 = nullptr, void *a2 = nullptr,
               void *a3 = nullptr) {
    Decoded out;
    out.data.payload = reinterpret_cast<char *>(0x1);  // must be cleared by the decoder
    out.result = nubrel_decode(handle, token.c_str(), &out.data, a1, a2, a3);
    if (out.result != 0) {
        // A failed decode leaves nothing behind in the record.
        EXPECT_EQ(out.data.payload, nullptr);
        EXPECT_EQ(out.data.payload_length, 0u);
        EXPECT_EQ(out.data.keyinfo, nullptr);
    }
    return out;
}

std::string encode(nubrel_instance *handle, uint8_t suite, const std::string &payload, void *a1 = nullptr,
                   void *a2 = nullptr, void *a3 = nullptr) {
    nubrel_tokendata data{};
    data.version = 1;
    data.cipher_suite = suite;
    data.payload = payload.empty() ? nullptr : const_cast<char *>(payload.c_str());
    data.payload_length = static_cast<uint32_t>(payload.size());
    Owned<char> token(nubrel_encode(handle, &data, a1, a2, a3));
    return token ? std::string(token.get()) : std::string();
}

std::string decode_payload(nubrel_instance *handle, const std::string &token) {
    Decoded d = decode(handle, token);
    EXPECT_EQ(d.result, 0) << testlog::dump();
    std::string text = d.payload();
    nubrel_free_tokendata(&d.data);
    return text;
}

const std::string kTypicalPayload =
    "subject=joe.smith@example.com\n"
    "not-before=2026-12-10T08:00:00Z\n"
    "not-on-or-after=2026-12-10T09:00:00Z\n"
    "renew-until=2026-12-10T16:00:00Z\n"
    "authn-instant=2026-12-10T08:00:00Z\n"
    "given-name=Joe\n"
    "family-name=Smith\n"
    "display-name='Joe Smith'\n"
    "mail=joe.smith@example.com\n"
    "department=Research and Development\n"
    "groups=staff,engineering,vpn-users\n"
    "qv_attribute_list=given-name,family-name,display-name,mail,department,groups\n";

}  // namespace

class TokenTest : public LibraryTest {
protected:
    Instance handle_ = make_instance(kPassword);
};

TEST_F(TokenTest, PublishedTokensDecodeAndEncodeExactly) {
    Instance plain = make_instance();  // the null suite needs no key
    Decoded empty = decode(plain.get(), kEmptyToken);
    EXPECT_EQ(empty.result, 0) << testlog::dump();
    EXPECT_EQ(empty.data.version, 1);
    EXPECT_EQ(empty.data.cipher_suite, 0);
    EXPECT_EQ(empty.data.payload, nullptr);
    EXPECT_EQ(empty.data.payload_length, 0u);

    Decoded joe = decode(plain.get(), kJoeToken);
    ASSERT_EQ(joe.result, 0) << testlog::dump();
    EXPECT_EQ(joe.payload(), "subject=joe\n");
    EXPECT_EQ(joe.data.payload_length, 12u);
    EXPECT_EQ(joe.data.payload[12], '\0');
    EXPECT_EQ(joe.data.keyinfo, nullptr);
    nubrel_free_tokendata(&joe.data);
    EXPECT_EQ(joe.data.payload, nullptr);

    ASSERT_EQ(set_nubrel_zlib_compression_level(plain.get(), 0), 0);
    EXPECT_EQ(encode(plain.get(), 0, "subject=joe\n"), kJoeToken);
    EXPECT_EQ(encode(plain.get(), 0, ""), kEmptyToken);
}

TEST_F(TokenTest, EverySuiteRoundTripsAndReadsTokensMadeIndependently) {
    testutil::VerboseLevel quiet(0);
    for (uint8_t suite : {0, 1, 2, 3}) {
        for (const std::string &payload : {kTypicalPayload, std::string("a=b\n"), std::string()}) {
            const std::string token = encode(handle_.get(), suite, payload);
            ASSERT_FALSE(token.empty()) << int{suite} << testlog::dump();
            EXPECT_EQ(is_nubrel(token.c_str(), static_cast<int32_t>(token.size())), 1);
            const int iv = suite == 0 ? 0 : suite == 3 ? 8 : 16;
            if (payload.empty()) {  // no payload: the structure is the fixed fields and the IV
                EXPECT_EQ(token.size(), 4 * ((29 + iv + 2) / 3)) << int{suite};
            }
            EXPECT_EQ(decode_payload(handle_.get(), token), payload) << int{suite};
            // Tokens made without the library decode the same.
            EXPECT_EQ(decode_payload(handle_.get(), tokens::make_token(kPassword, suite, payload)), payload);
        }
    }
}

TEST_F(TokenTest, FreshIvMakesEveryEncodingDifferent) {
    const std::string first = encode(handle_.get(), 1, kTypicalPayload);
    const std::string second = encode(handle_.get(), 1, kTypicalPayload);
    EXPECT_NE(first, second);
    EXPECT_EQ(decode_payload(handle_.get(), first), decode_payload(handle_.get(), second));
}

TEST_F(TokenTest, RecordSuiteWinsOverInstanceSuite) {
    ASSERT_EQ(set_nubrel_cipher_suite(handle_.get(), 3), 0);
    const std::string token = encode(handle_.get(), 1, "a=b\n");
    unsigned char *bytes = nullptr;
    int32_t length = 0;
    ASSERT_EQ(base64_url_safe_modified_decode(token.c_str(), static_cast<int32_t>(token.size()), &bytes, &length), 0);
    Owned<unsigned char> owned(bytes);
    EXPECT_EQ(bytes[4], 1);   // suite byte
    EXPECT_EQ(bytes[25], 16);  // AES IV length
}

// An empty payload under suites 1-3 is still authenticated with the suite
// key: a token digested with an empty HMAC key must not pass.
TEST_F(TokenTest, EmptyPayloadCannotBeForged) {
    for (uint8_t suite : {1, 2, 3}) {
        Structure forged;
        forged.suite = suite;
        forged.iv.assign(suite == 3 ? 8 : 16, 'v');
        forged.mac = tokens::hmac_digest("", 1, suite, forged.iv, "");
        testlog::clear();
        EXPECT_EQ(decode(handle_.get(), tokens::to_text(forged)).result, -2) << int{suite};
        EXPECT_TRUE(testlog::has("The calculated MAC digest does not match with a provided one")) << testlog::dump();
        // Without an IV the structure is refused outright.
        forged.iv.clear();
        forged.mac = tokens::hmac_digest("", 1, suite, "", "");
        EXPECT_EQ(decode(handle_.get(), tokens::to_text(forged)).result, -2) << int{suite};
    }
    // Without any key the empty token is not accepted either.
    Instance keyless = make_instance();
    EXPECT_EQ(decode(keyless.get(), encode(handle_.get(), 1, "")).result, -2);
    EXPECT_TRUE(testlog::has(
        "Cannot decrypt - neither key manager interface is provided, nor password based generation is configured"));
}

TEST_F(TokenTest, MalformedStructuresAreRefusedWithTheirReason) {
    const std::string aes_key = tokens::password_key(kPassword, 1);
    const std::string iv(16, 'i');
    const std::string compressed = tokens::zlib_compress("subject=joe\n");
    auto valid_suite0 = [] {
        Structure s;
        s.payload = tokens::zlib_compress("subject=joe\n");
        s.mac = tokens::sha1_digest(1, 0, "subject=joe\n");
        return s;
    };
    struct Case {
        const char *name;
        std::string text;
        int result;
        const char *message;
    };
    std::vector<Case> cases;
    {
        auto bytes = tokens::assemble(valid_suite0());
        bytes[0] = 'X';
        cases.push_back({"literal", tokens::to_text(bytes), -2, "Token is not valid - header \"XBR\" does not match \"NBR\""});
    }
    {
        auto s = valid_suite0();
        s.version = 2;
        cases.push_back({"version", tokens::to_text(s), -2,
                         "Token's version 2 exceeds version 1 of specification, supported by this implementation"});
    }
    {
        auto s = valid_suite0();
        s.suite = 4;
        cases.push_back({"suite", tokens::to_text(s), -2, "Cipher suite 4 is unhandled"});
    }
    {
        Structure s;
        s.suite = 1;
        s.iv.assign(8, 'i');
        s.payload.assign(16, 'p');
        cases.push_back({"iv length", tokens::to_text(s), -2, "IV length 8 differs from 16, required for the cipher suite"});
    }
    {
        auto s = valid_suite0();
        s.keyinfo = "k";
        cases.push_back({"keyinfo", tokens::to_text(s), -2,
                         "Cannot decode the token - KeyInfo metadata is not supported in this version of the Nubrel library"});
    }
    {
        auto s = valid_suite0();
        s.length_field = static_cast<uint16_t>(s.payload.size() + 1);
        cases.push_back({"length beyond data", tokens::to_text(s), -2, nullptr});
    }
    {
        Structure s;
        s.suite = 1;
        s.iv = iv;
        s.payload.assign(15, 'p');
        cases.push_back({"aes rounding", tokens::to_text(s), -2,
                         "Payload length 15 does not match rounding rules for AES CBC ciphering"});
        s.suite = 3;
        s.iv.assign(8, 'i');
        s.payload.assign(12, 'p');
        cases.push_back({"des rounding", tokens::to_text(s), -2,
                         "Payload length 12 does not match rounding rules for DES CBC ciphering"});
    }
    {
        // Right key, but the plaintext's last byte is not valid padding.
        Structure s;
        s.suite = 1;
        s.iv = iv;
        std::string block = tokens::encrypt(1, aes_key, iv, std::string(15, 'x') + '\x05');
        s.payload = block.substr(0, 16);  // drop the padding block: 'x'*15 + 0x05 is the last block
        cases.push_back({"padding", tokens::to_text(s), -2, "Cannot unpadd - incorrect padding character 78"});
    }
    {
        auto s = valid_suite0();
        s.payload = "this is not a zlib stream";
        cases.push_back({"zlib", tokens::to_text(s), -2,
                         "Cannot decompress - input data is not in zlib format or the adler32 checksum is not valid"});
    }
    {
        auto s = valid_suite0();
        s.payload.resize(s.payload.size() - 6);  // cut inside the stream
        cases.push_back({"truncated zlib", tokens::to_text(s), -2,
                         "Cannot decompress - insufficient output buffer to finish"});
    }
    {
        auto s = valid_suite0();
        s.mac[7] ^= 0x01;
        cases.push_back({"digest", tokens::to_text(s), -2, "The calculated MAC digest does not match with a provided one"});
    }
    for (size_t cut : {2, 4, 10, 25, 27}) {
        const auto bytes = tokens::assemble(valid_suite0()).substr(0, cut);
        cases.push_back({"short structure", tokens::to_text(bytes), -2, nullptr});
    }
    cases.push_back({"not base64", "TkJS!!!!", -1, "Cannot base64 url safe decode - source buffer has illegal characters"});
    cases.push_back({"empty", "", -1, "Cannot decode the token - token length is not valid"});

    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_EQ(decode(handle_.get(), c.text).result, c.result) << c.name << "\n" << testlog::dump();
        if (c.message != nullptr) {
            EXPECT_TRUE(testlog::has(c.message)) << c.name << "\n" << testlog::dump();
        } else if (std::string(c.name) == "length beyond data") {
            EXPECT_TRUE(testlog::has_fragment("exceeds the rest size of buffer")) << testlog::dump();
        } else {
            EXPECT_TRUE(testlog::has_fragment("too short for its fixed fields")) << testlog::dump();
        }
    }
}

TEST_F(TokenTest, ExtraBytesAfterThePayloadAreIgnored) {
    Structure s;
    s.payload = tokens::zlib_compress("a=b\n");
    s.mac = tokens::sha1_digest(1, 0, "a=b\n");
    s.trailer = "extra";
    EXPECT_EQ(decode_payload(handle_.get(), tokens::to_text(s)), "a=b\n");
}

TEST_F(TokenTest, AnyFlippedBitIsRejected) {
    testutil::VerboseLevel quiet(0);
    unsigned char *bytes = nullptr;
    int32_t length = 0;
    const std::string token = encode(handle_.get(), 1, kTypicalPayload);
    ASSERT_EQ(base64_url_safe_modified_decode(token.c_str(), static_cast<int32_t>(token.size()), &bytes, &length), 0);
    const std::string original(reinterpret_cast<char *>(bytes), static_cast<size_t>(length));
    nubrel_free(bytes);
    // One bit in each region: literal, version, suite, MAC, IV length, IV, KeyInfo length, length field, payload.
    for (size_t offset : std::vector<size_t>{0, 3, 4, 10, 25, 30, 42, 43, 44, 50, original.size() - 1}) {
        std::string damaged = original;
        damaged[offset] = static_cast<char>(damaged[offset] ^ 0x04);
        EXPECT_NE(decode(handle_.get(), tokens::to_text(damaged)).result, 0) << "offset " << offset;
    }
}

TEST_F(TokenTest, DecompressionIsBoundedAndGrowsTheBufferAsNeeded) {
    auto suite0_token = [](const std::string &text) {
        Structure s;
        s.payload = tokens::zlib_compress(text);
        s.mac = tokens::sha1_digest(1, 0, text);
        return tokens::to_text(s);
    };
    // A payload that compresses well needs the buffer doubled.
    const std::string repetitive = "k=" + std::string(5000, 'v') + "\n";
    EXPECT_EQ(decode_payload(handle_.get(), suite0_token(repetitive)), repetitive);
    EXPECT_TRUE(testlog::has_fragment("Output buffer is over - reallocating to a doubled size of"));
    // Exactly at the limit it still decodes.
    const std::string at_limit = "k=" + std::string(NUBREL_MAX_PAYLOAD_LENGTH - 3, 'v') + "\n";
    testutil::VerboseLevel quiet(0);
    EXPECT_EQ(decode_payload(handle_.get(), suite0_token(at_limit)).size(), size_t{NUBREL_MAX_PAYLOAD_LENGTH});
    // A small token that inflates past the limit is refused.
    const std::string bomb = suite0_token(std::string(4 * NUBREL_MAX_PAYLOAD_LENGTH, 'A'));
    EXPECT_LT(bomb.size(), 100000u);
    testlog::clear();
    EXPECT_EQ(decode(handle_.get(), bomb).result, -2);
    EXPECT_TRUE(testlog::has("Cannot decompress - decompressed payload exceeds the limit of 1048576 bytes"))
        << testlog::dump();
}

TEST_F(TokenTest, EncoderRefusesBadRecords) {
    nubrel_tokendata data{};
    data.version = 2;
    data.cipher_suite = 1;
    EXPECT_EQ(nubrel_encode(handle_.get(), &data, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(testlog::has_fragment("Token's version 2 exceeds version 1"));
    data.version = 1;
    data.cipher_suite = 4;
    EXPECT_EQ(nubrel_encode(handle_.get(), &data, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(testlog::has("Cipher suite 4 is unhandled"));
    data.cipher_suite = 1;
    data.payload_length = 5;
    EXPECT_EQ(nubrel_encode(handle_.get(), &data, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(testlog::has("A non-zero payload length 5 is specified, while payload is NULL"));
    unsigned char info = 7;
    data.payload_length = 0;
    data.keyinfo = &info;
    data.keyinfo_length = 1;
    testlog::clear();
    EXPECT_EQ(nubrel_encode(handle_.get(), &data, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(testlog::has(
        "Cannot encode the token - KeyInfo metadata is not supported in this version of the Nubrel library"));
    EXPECT_FALSE(testlog::has_fragment("Compressing payload"));
    EXPECT_EQ(nubrel_encode(handle_.get(), nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(testlog::has("Cannot create token - input data is not supplied"));
    Instance keyless = make_instance();
    EXPECT_EQ(encode(keyless.get(), 2, "a=b\n"), "");
    EXPECT_TRUE(
        testlog::has("Neither key manager interface is provided, nor password based generation is configured"));
}

// The compressed payload fits 16 bits, but padding must not carry it past them.
TEST_F(TokenTest, PaddingNeverOverflowsTheLengthField) {
    testutil::VerboseLevel quiet(0);
    ASSERT_EQ(set_nubrel_zlib_compression_level(handle_.get(), 0), 0);
    std::mt19937 generator(7);
    std::string payload;
    while (payload.size() < 70000) payload += static_cast<char>('a' + generator() % 26);
    // Find payload sizes whose stored (level 0) zlib stream is 65519 and 65525 bytes.
    auto payload_of_compressed_size = [&](size_t wanted) {
        size_t low = 60000, high = 66000;
        while (low < high) {
            const size_t mid = (low + high) / 2;
            if (tokens::zlib_compress(std::string_view(payload).substr(0, mid), 0).size() < wanted)
                low = mid + 1;
            else
                high = mid;
        }
        EXPECT_EQ(tokens::zlib_compress(std::string_view(payload).substr(0, low), 0).size(), wanted);
        return payload.substr(0, low);
    };
    const std::string fits = payload_of_compressed_size(65519);      // pads to 65520
    const std::string overflows = payload_of_compressed_size(65525);  // would pad to 65536
    EXPECT_EQ(decode_payload(handle_.get(), encode(handle_.get(), 1, fits)), fits);
    EXPECT_EQ(decode_payload(handle_.get(), encode(handle_.get(), 0, overflows)), overflows);
    testutil::VerboseLevel errors(1);
    testlog::clear();
    EXPECT_EQ(encode(handle_.get(), 1, overflows), "");
    EXPECT_TRUE(testlog::has("Cannot encode the token - encrypted payload length 65536 exceeds limit of 65535 bytes"))
        << testlog::dump();
    EXPECT_EQ(encode(handle_.get(), 3, payload_of_compressed_size(65530)), "");
    // Beyond 16 bits even before padding.
    testlog::clear();
    EXPECT_EQ(encode(handle_.get(), 0, payload), "");
    EXPECT_TRUE(testlog::has("Cannot compress - output buffer of 65535 bytes is small")) << testlog::dump();
}

namespace {

struct KeyManagerLog {
    int calls = 0;
    int direction = -1;
    const unsigned char *keyinfo = reinterpret_cast<const unsigned char *>(0x1);
    int32_t keyinfo_length = -1;
    void *args[3] = {};
    int answer = 0;
};
KeyManagerLog g_manager;

int test_key_manager(int32_t direction, const unsigned char *keyinfo, int32_t keyinfo_length, int32_t suite,
                     unsigned char **key, int32_t *key_length, void *a1, void *a2, void *a3) {
    ++g_manager.calls;
    g_manager.direction = direction;
    g_manager.keyinfo = keyinfo;
    g_manager.keyinfo_length = keyinfo_length;
    g_manager.args[0] = a1;
    g_manager.args[1] = a2;
    g_manager.args[2] = a3;
    if (g_manager.answer != 0) return g_manager.answer;
    // A longer key than needed: fitted to the suite by the library.
    const std::string material = tokens::password_key("manager", 1) + "extra";
    *key = static_cast<unsigned char *>(std::malloc(material.size()));
    std::memcpy(*key, material.data(), material.size());
    *key_length = static_cast<int32_t>(material.size());
    (void)suite;
    return 0;
}

}  // namespace

TEST_F(TokenTest, KeyManagerSuppliesKeysWhenNoPasswordIsSet) {
    Instance managed = make_instance();
    ASSERT_EQ(set_keymanager(managed.get(), test_key_manager), 0);
    int a = 1, b = 2, c = 3;
    g_manager = {};
    const std::string token = encode(managed.get(), 2, "a=b\n", &a, &b, &c);
    ASSERT_FALSE(token.empty()) << testlog::dump();
    EXPECT_EQ(g_manager.direction, 0);

    g_manager = {};
    Decoded d = decode(managed.get(), token, &a, &b, &c);
    EXPECT_EQ(d.result, 0) << testlog::dump();
    EXPECT_EQ(d.payload(), "a=b\n");
    nubrel_free_tokendata(&d.data);
    EXPECT_EQ(g_manager.calls, 1);
    EXPECT_EQ(g_manager.direction, 1);
    EXPECT_EQ(g_manager.keyinfo, nullptr);
    EXPECT_EQ(g_manager.keyinfo_length, 0);
    EXPECT_EQ(g_manager.args[0], &a);
    EXPECT_EQ(g_manager.args[2], &c);

    g_manager = {};
    g_manager.answer = -1;  // not found or expired
    EXPECT_EQ(decode(managed.get(), token).result, -1);
    g_manager.answer = 5;  // any other failure
    EXPECT_EQ(decode(managed.get(), token).result, -2);
    EXPECT_EQ(encode(managed.get(), 2, "a=b\n"), "");
    EXPECT_TRUE(testlog::has("Could not get encryption key from KeyManager by the null KeyInfo"));

    // With a password as well, the password wins and the manager is not asked.
    ASSERT_EQ(set_keymanager(handle_.get(), test_key_manager), 0);
    g_manager = {};
    EXPECT_EQ(decode_payload(handle_.get(), encode(handle_.get(), 1, "a=b\n")), "a=b\n");
    EXPECT_EQ(g_manager.calls, 0);
}

TEST_F(TokenTest, WrongPasswordIsRejected) {
    Instance other = make_instance("another password");
    for (uint8_t suite : {1, 2, 3}) {
        testlog::clear();
        EXPECT_EQ(decode(other.get(), encode(handle_.get(), suite, kTypicalPayload)).result, -2) << int{suite};
    }
}

TEST_F(TokenTest, IsNubrelChecksTheOutwardForm) {
    struct Case {
        std::string text;
        const char *message;
    };
    const Case cases[] = {
        {std::string(kEmptyToken).substr(0, 39), "its length (39 bytes) is small to fit the layout"},
        {std::string(kEmptyToken) + "A", "(41 bytes) is not a multiple of 4"},
        {"AAAA" + std::string(kEmptyToken).substr(4), "does not start with the static \"NBR\" literal"},
        {std::string(kEmptyToken).substr(0, 36) + "AA=*", "does not match the base64 url-safe modified character set"},
        {std::string(kEmptyToken).substr(0, 36) + "AA+*", "does not match the base64 url-safe modified character set"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_EQ(is_nubrel(c.text.c_str(), static_cast<int32_t>(c.text.size())), 0) << c.text;
        EXPECT_TRUE(testlog::has_fragment(c.message)) << c.text << "\n" << testlog::dump();
    }
    EXPECT_EQ(is_nubrel(kJoeToken, static_cast<int32_t>(std::strlen(kJoeToken))), 1);
    // Every position is checked: in the middle of a long token and in its last few characters, and
    // with the characters just outside each accepted range.
    const std::string joe(kJoeToken);
    for (const char outside : {'@', '[', '`', '{', '/', ':', '+', '=', '.', ' ', '\x80', '\xC1', '\xFF'}) {
        for (const size_t at : {size_t{5}, size_t{17}, joe.size() / 2, joe.size() - 3, joe.size() - 1}) {
            std::string text = joe;
            text[at] = outside;
            EXPECT_EQ(is_nubrel(text.c_str(), static_cast<int32_t>(text.size())), 0)
                << "character " << int(static_cast<unsigned char>(outside)) << " at " << at;
        }
    }
}

TEST_F(TokenTest, OneInstanceServesManyThreads) {
    testutil::VerboseLevel quiet(0);
    std::vector<std::string> made;
    for (uint8_t suite : {1, 2, 3}) made.push_back(encode(handle_.get(), suite, kTypicalPayload));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const std::string &token = made[static_cast<size_t>(t + i) % made.size()];
                nubrel_tokendata data{};
                if (nubrel_decode(handle_.get(), token.c_str(), &data, nullptr, nullptr, nullptr) != 0 ||
                    std::string(data.payload, data.payload_length) != kTypicalPayload) {
                    ++failures;
                    continue;
                }
                char *again = nubrel_encode(handle_.get(), &data, nullptr, nullptr, nullptr);
                nubrel_free_tokendata(&data);
                if (again == nullptr || nubrel_decode(handle_.get(), again, &data, nullptr, nullptr, nullptr) != 0 ||
                    std::string(data.payload, data.payload_length) != kTypicalPayload)
                    ++failures;
                nubrel_free_tokendata(&data);
                nubrel_free(again);
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

// Keys derived from the password are kept between tokens; every change of
// the password, salt or iteration count must be followed by the new key.
TEST_F(TokenTest, KeysFollowEveryChangeOfTheirInputs) {
    testutil::VerboseLevel quiet(0);
    static const unsigned char kOtherSalt[] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (uint8_t suite : {1, 2, 3}) {
        Instance handle = make_instance("first password");
        ASSERT_EQ(decode_payload(handle.get(), encode(handle.get(), suite, "a=b\n")), "a=b\n");

        ASSERT_EQ(set_nubrel_password(handle.get(), testutil::to_base64("second password").c_str()), 0);
        Instance second = make_instance("second password");
        EXPECT_EQ(decode_payload(second.get(), encode(handle.get(), suite, "a=b\n")), "a=b\n") << int{suite};

        ASSERT_EQ(set_nubrel_iterations_number(handle.get(), 7), 0);
        ASSERT_EQ(set_nubrel_iterations_number(second.get(), 7), 0);
        EXPECT_EQ(decode_payload(second.get(), encode(handle.get(), suite, "a=b\n")), "a=b\n") << int{suite};

        ASSERT_EQ(set_nubrel_salt(handle.get(), kOtherSalt, sizeof kOtherSalt), 0);
        ASSERT_EQ(set_nubrel_salt(second.get(), kOtherSalt, sizeof kOtherSalt), 0);
        EXPECT_EQ(decode_payload(second.get(), encode(handle.get(), suite, "a=b\n")), "a=b\n") << int{suite};

        // A key derived before a change no longer opens new tokens.
        Instance first = make_instance("first password");
        EXPECT_EQ(decode(first.get(), encode(handle.get(), suite, "a=b\n")).result, -2) << int{suite};
    }
}

// The hidden cryptographic helpers, compiled into this executable directly:
// padding, unpadding, key fitting, suite and IV checks, DES key checks and
// the removal of the password obfuscation.
#include "internal.h"
#include "log_capture.h"
#include "obfuscation_key.h"
#include "token_common.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

class CryptoInternalTest : public ::testing::Test {
protected:
    void SetUp() override {
        old_level_ = set_nubrel_verbose_level(6);
        set_nubrel_verbose_level(5);
        testlog::clear();
    }
    void TearDown() override { set_nubrel_verbose_level(static_cast<unsigned>(old_level_)); }

private:
    int old_level_ = 0;
};

// A malloc'd buffer of the given capacity holding the data, as the encoder has it.
struct MallocBuffer {
    unsigned char *data;
    explicit MallocBuffer(const Bytes &bytes, size_t capacity)
        : data(static_cast<unsigned char *>(std::malloc(capacity))) {
        std::memcpy(data, bytes.data(), bytes.size());
    }
    ~MallocBuffer() { std::free(data); }
    MallocBuffer(const MallocBuffer &) = delete;
    MallocBuffer &operator=(const MallocBuffer &) = delete;
};

bool has_level(const std::string &text, int level) {
    for (const auto &line : testlog::lines())
        if (line.text == text) return line.level == level;
    return false;
}

}  // namespace

TEST_F(CryptoInternalTest, PaddingAddsOneToBlockSizeBytes) {
    struct Case {
        int32_t suite;
        int32_t length;
        int32_t capacity;
        int32_t padded;
    };
    const Case cases[] = {
        {1, 16, 16, 32},  // a whole block is added to a full one
        {3, 5, 5, 8},     // 03 03 03
        {2, 1, 64, 16},   // enough capacity: no reallocation
        {3, 8, 8, 16},
        {1, 31, 31, 32},
    };
    for (const auto &c : cases) {
        testlog::clear();
        Bytes data(static_cast<size_t>(c.length));
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(0xa0 + i);
        MallocBuffer buffer(data, static_cast<size_t>(c.capacity));
        int32_t length = c.length;
        ASSERT_EQ(nubrel::pad_buffer(c.suite, &length, &buffer.data, c.capacity), 0) << c.suite << "/" << c.length;
        ASSERT_EQ(length, c.padded);
        EXPECT_EQ(std::memcmp(buffer.data, data.data(), data.size()), 0);
        const int added = c.padded - c.length;
        for (int32_t i = c.length; i < c.padded; ++i) EXPECT_EQ(buffer.data[i], added) << i;
        EXPECT_TRUE(testlog::has("Padding buffer by " + std::to_string(added) + " bytes..."));
        const std::string reallocation = "Reallocating buffer from size " + std::to_string(c.length) + " to " +
                                         std::to_string(c.padded) + " for padding...";
        EXPECT_EQ(testlog::has(reallocation), c.capacity < c.padded) << testlog::dump();
        EXPECT_EQ(testlog::has("No need to reallocate buffer for padding - its capacity is sufficient"),
                  c.capacity >= c.padded);
    }
}

TEST_F(CryptoInternalTest, PaddingRefusesBadInput) {
    MallocBuffer buffer(bytes_of("abcd"), 4);
    unsigned char *null_buffer = nullptr;
    struct Case {
        int32_t suite;
        int32_t length;
        unsigned char **buffer;
        const char *message;
    };
    const Case cases[] = {
        {1, 4, nullptr, "Cannot padd buffer - incorrect input data"},
        {1, 4, &null_buffer, "Cannot padd buffer - incorrect input data"},
        {1, 0, &buffer.data, "Cannot padd buffer - incorrect input data"},
        {1, -3, &buffer.data, "Cannot padd buffer - incorrect input data"},
        {0, 4, &buffer.data, "Cannot padd buffer - unhandled cipher suite"},
        {4, 4, &buffer.data, "Cannot padd buffer - unhandled cipher suite"},
        // The padded length would not fit 32 bits.
        {1, INT32_MAX - 3, &buffer.data, "Cannot padd buffer - incorrect input data"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        unsigned char *before = buffer.data;
        int32_t length = c.length;
        EXPECT_EQ(nubrel::pad_buffer(c.suite, &length, c.buffer, 4), -1) << c.suite << "/" << c.length;
        EXPECT_TRUE(testlog::has(c.message)) << testlog::dump();
        EXPECT_EQ(length, c.length);
        EXPECT_EQ(buffer.data, before);
    }
    EXPECT_EQ(nubrel::pad_buffer(1, nullptr, &buffer.data, 4), -1);
}

TEST_F(CryptoInternalTest, UnpaddingChecksEveryPaddingByte) {
    struct Case {
        int32_t suite;
        Bytes data;
        int32_t result;       // unpadded length, or -1
        const char *message;  // expected log line
    };
    Bytes block16(16, 0x41);
    auto ending = [](Bytes data, std::initializer_list<unsigned char> tail) {
        std::copy(tail.begin(), tail.end(), data.end() - static_cast<long>(tail.size()));
        return data;
    };
    const Case cases[] = {
        {1, ending(block16, {0x11}), -1,
         "Cannot unpadd - number of padding characters 17 exceeds CBC block size 16 (incorrect decryption key?)"},
        {1, ending(block16, {0x00}), -1, "Cannot unpadd - number of padding characters is zero"},
        {3, bytes_of("abcde\x03\x02\x03"), -1, "Cannot unpadd - incorrect padding character 02"},
        {3, ending(Bytes(16, 0x08), {0x07, 0x08}), -1, "Cannot unpadd - incorrect padding character 07"},
        {3, Bytes(12, 0x04), -1, "Cannot unpadd - buffer size is not multiple of CBC block size"},
        {2, Bytes(8, 0x08), -1, "Cannot unpadd - buffer size is not multiple of CBC block size"},
        {3, Bytes{}, -1, "Cannot unpadd - incorrect input data"},
        {0, Bytes(16, 0x01), -1, "Cannot unpadd - unhandled cipher suite"},
        {3, bytes_of("abcde\x03\x03\x03"), 5, "Removed 3 padding characters"},
        {2, ending(block16, {0x01}), 15, "Removed 1 padding character"},
        {3, ending(Bytes(16, 0x41), {8, 8, 8, 8, 8, 8, 8, 8}), 8, "Removed 8 padding characters"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        int32_t length = static_cast<int32_t>(c.data.size());
        const unsigned char *data = c.data.empty() ? reinterpret_cast<const unsigned char *>("") : c.data.data();
        EXPECT_EQ(nubrel::unpad_buffer(c.suite, data, &length), c.result < 0 ? -1 : 0) << c.message;
        EXPECT_EQ(length, c.result < 0 ? static_cast<int32_t>(c.data.size()) : c.result) << c.message;
        EXPECT_TRUE(testlog::has(c.message)) << testlog::dump();
    }
    int32_t length = 8;
    EXPECT_EQ(nubrel::unpad_buffer(3, nullptr, &length), -1);
    EXPECT_EQ(nubrel::unpad_buffer(3, Bytes(8, 8).data(), nullptr), -1);
}

TEST_F(CryptoInternalTest, PaddingAndUnpaddingAreInverse) {
    set_nubrel_verbose_level(0);
    for (int32_t suite = 1; suite <= 3; ++suite) {
        for (int32_t size = 1; size <= 40; ++size) {
            Bytes data(static_cast<size_t>(size));
            for (auto &byte : data) byte = static_cast<unsigned char>(std::rand());
            MallocBuffer buffer(data, data.size());
            int32_t length = size;
            ASSERT_EQ(nubrel::pad_buffer(suite, &length, &buffer.data, size), 0);
            EXPECT_EQ(length % nubrel::find_suite(suite)->block_size, 0);
            ASSERT_EQ(nubrel::unpad_buffer(suite, buffer.data, &length), 0);
            EXPECT_EQ(length, size);
            EXPECT_EQ(std::memcmp(buffer.data, data.data(), data.size()), 0);
        }
    }
}

TEST_F(CryptoInternalTest, KeyFitting) {
    struct Case {
        int32_t suite;
        int32_t length;
        int32_t result;  // fitted length, or -1
        const char *message;
        int level;
    };
    const Case cases[] = {
        {2, 20, 16, "Source key length 20 exceeds cipher block size 16 - truncating...", testlog::kWarning},
        {1, 40, 32, "Source key length 40 exceeds cipher block size 32 - truncating...", testlog::kWarning},
        {1, 16, -1, "Source key length 16 is shorter than cipher block size 32 - invalidating key as being weak",
         testlog::kError},
        {3, 24, 24, "Source key length 24 matches the cipher block size", testlog::kInfo},
        {3, 0, -1, "Source key length 0 is shorter than cipher block size 24 - invalidating key as being weak",
         testlog::kError},
        {0, 20, -1, "Cannot align key - unhandled cipher suite", testlog::kError},
        {5, 32, -1, "Cannot align key - unhandled cipher suite", testlog::kError},
    };
    for (const auto &c : cases) {
        testlog::clear();
        int32_t length = c.length;
        EXPECT_EQ(nubrel::fit_key(c.suite, &length), c.result < 0 ? -1 : 0) << c.message;
        EXPECT_EQ(length, c.result < 0 ? c.length : c.result) << c.message;
        EXPECT_TRUE(has_level(c.message, c.level)) << testlog::dump();
    }
}

TEST_F(CryptoInternalTest, SuiteAndIvLengthChecks) {
    EXPECT_EQ(nubrel::check_suite(3), 0);
    EXPECT_TRUE(testlog::has("Cipher suite: Triple DES, key size 168 bits, CBC mode, PKCS5 padding"));
    EXPECT_EQ(nubrel::check_suite(-1), -1);
    EXPECT_TRUE(testlog::has("Cipher suite -1 is unhandled"));

    struct Case {
        int32_t suite;
        int32_t iv_length;
        const char *message;  // null when accepted
    };
    const Case cases[] = {
        {0, 0, nullptr},
        {1, 16, nullptr},
        {2, 16, nullptr},
        {3, 8, nullptr},
        {1, 8, "IV length 8 differs from 16, required for the cipher suite"},
        {3, 16, "IV length 16 differs from 8, required for the cipher suite"},
        {0, 8, "IV length 8 differs from 0, required for the cipher suite"},
        {9, 16, "Could not find IV length for the cipher suite 9"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_EQ(nubrel::check_iv_length(c.suite, c.iv_length), c.message == nullptr ? 0 : -1)
            << c.suite << "/" << c.iv_length;
        if (c.message != nullptr) {
            EXPECT_TRUE(testlog::has(c.message)) << testlog::dump();
        }
    }
}

TEST_F(CryptoInternalTest, DesKeyCheckWarnsOnlyAboutTheFaultyKey) {
    const Bytes good(nubrel::obfuscation::kKey.begin(), nubrel::obfuscation::kKey.end());
    struct Case {
        size_t index;
        Bytes replacement;
        const char *message;
    };
    const Case cases[] = {
        {1, Bytes(8, 0x01), "DES key 1 is weak"},
        {0, {0x01, 0xfe, 0x01, 0xfe, 0x01, 0xfe, 0x01, 0xfe}, "DES key 0 is weak"},  // semi-weak
        {2, {0x1f, 0x01, 0x1f, 0x01, 0x0e, 0x01, 0x0e, 0x01}, "DES key 2 is weak"},  // semi-weak
        // One bit off the odd parity of a key that is otherwise fine.
        {2, {0xe9, 0xf4, 0x54, 0x7f, 0xb5, 0x61, 0xf4, 0x5f}, "DES key 2 is not of odd parity"},
        // A weak key without its parity bits is reported for its parity.
        {0, Bytes(8, 0x00), "DES key 0 is not of odd parity"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        Bytes key = good;
        std::copy(c.replacement.begin(), c.replacement.end(), key.begin() + static_cast<long>(8 * c.index));
        nubrel::check_des_keys(key.data());
        const auto lines = testlog::lines();
        ASSERT_EQ(lines.size(), 1u) << testlog::dump();
        EXPECT_EQ(lines[0].text, c.message);
        EXPECT_EQ(lines[0].level, testlog::kWarning);
    }
}

TEST_F(CryptoInternalTest, ObfuscationKeyIsSoundTripleDesKey) {
    const auto &key = nubrel::obfuscation::kKey;
    nubrel::check_des_keys(key.data());
    EXPECT_TRUE(testlog::lines().empty()) << testlog::dump();
    EXPECT_NE(std::memcmp(key.data(), key.data() + 8, 8), 0);
    EXPECT_NE(std::memcmp(key.data(), key.data() + 16, 8), 0);
    EXPECT_NE(std::memcmp(key.data() + 8, key.data() + 16, 8), 0);
    const auto iv = nubrel::obfuscation::iv();
    const Bytes expected_iv{0x75, 0x5c, 0x94, 0xb6, 0x51, 0x16, 0x5c, 0xf5};
    EXPECT_EQ(Bytes(iv.begin(), iv.end()), expected_iv);
}

namespace {

// An instance record holding the given bytes as its password, as the
// password setter leaves it.
struct ObfuscatedInstance {
    nubrel_instance record{};
    explicit ObfuscatedInstance(const Bytes &password) {
        record.self = &record;
        record.password = static_cast<unsigned char *>(std::malloc(password.size() + 1));
        std::memcpy(record.password, password.data(), password.size());
        record.password_length = static_cast<int32_t>(password.size());
    }
    ~ObfuscatedInstance() { std::free(record.password); }
    ObfuscatedInstance(const ObfuscatedInstance &) = delete;
    ObfuscatedInstance &operator=(const ObfuscatedInstance &) = delete;
    std::string password() const {
        return std::string(reinterpret_cast<const char *>(record.password), static_cast<size_t>(record.password_length));
    }
};

Bytes derive(const unsigned char *password, int32_t length) {
    unsigned char *key = nullptr;
    int32_t key_length = 0;
    const unsigned char salt[8] = {};
    EXPECT_EQ(generate_password_based_key(password, length, 1, salt, 8, 1000, &key, &key_length), 0);
    Bytes result(key, key + key_length);
    std::free(key);
    return result;
}

}  // namespace

TEST_F(CryptoInternalTest, DeobfuscationRestoresThePassword) {
    const std::vector<std::string> passwords{"s3cr3t-p@ss", "12345678", "x", std::string("\x01\x00\xff", 3)};
    for (const auto &plain : passwords) {
        testlog::clear();
        const Bytes obfuscated = nubrel::obfuscation::obfuscate(plain);
        ASSERT_EQ(obfuscated.size(), (plain.size() / 8 + 1) * 8);
        ObfuscatedInstance instance(obfuscated);
        ASSERT_EQ(nubrel::deobfuscate_password(&instance.record), 0) << testlog::dump();
        EXPECT_EQ(instance.password(), plain);
        EXPECT_EQ(derive(instance.record.password, instance.record.password_length),
                  derive(reinterpret_cast<const unsigned char *>(plain.data()), static_cast<int32_t>(plain.size())));
        EXPECT_TRUE(testlog::has("Decrypting the password via 3DES-168..."));
        EXPECT_TRUE(testlog::has("Succeeded to decrypt the password"));
        EXPECT_FALSE(testlog::has_fragment("is weak") || testlog::has_fragment("odd parity"));
    }
}

TEST_F(CryptoInternalTest, DeobfuscationRefusals) {
    EXPECT_EQ(nubrel::deobfuscate_password(nullptr), -1);
    EXPECT_TRUE(testlog::has("Cannot decrypt the password - the NBR API instance handle is null"));

    nubrel_instance empty{};
    empty.self = &empty;
    EXPECT_EQ(nubrel::deobfuscate_password(&empty), -1);
    EXPECT_TRUE(testlog::has("Cannot decrypt the password - the encrypted password is not defined"));

    // Refused before anything is decrypted: the bytes stay as they were.
    testlog::clear();
    const Bytes twelve(12, 0x5a);
    ObfuscatedInstance odd(twelve);
    EXPECT_EQ(nubrel::deobfuscate_password(&odd.record), -1);
    EXPECT_TRUE(testlog::has(
        "Cannot decrypt the password - the encrypted password's size is not a multiple of DES block size"));
    EXPECT_FALSE(testlog::has("Decrypting the password via 3DES-168..."));
    EXPECT_EQ(Bytes(odd.record.password, odd.record.password + 12), twelve);
}

TEST_F(CryptoInternalTest, DeobfuscationWithDamagedTextFailsInUnpadding) {
    struct Case {
        std::string plain;
        const char *message;
    };
    // Dropping the padding block leaves the password's own last byte as the
    // padding count.
    const Case cases[] = {
        {"abcdefgh", "Cannot unpadd - number of padding characters 104 exceeds CBC block size 8 (incorrect decryption "
                     "key?)"},
        {"abcdefg\x02", "Cannot unpadd - incorrect padding character 67"},
        {std::string("abcdefg\x00", 8), "Cannot unpadd - number of padding characters is zero"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        Bytes obfuscated = nubrel::obfuscation::obfuscate(c.plain);
        obfuscated.resize(8);
        ObfuscatedInstance instance(obfuscated);
        EXPECT_EQ(nubrel::deobfuscate_password(&instance.record), -1);
        EXPECT_TRUE(testlog::has(c.message)) << testlog::dump();
        EXPECT_FALSE(testlog::has("Succeeded to decrypt the password"));
    }
}

TEST_F(CryptoInternalTest, RandomGeneratorIsReportedSeeded) {
    EXPECT_EQ(nubrel::check_and_seed_random(), 0);
    EXPECT_TRUE(testlog::has("OpenSSL PRNG is seeded with enough data"));
}

// Streams are lent out as tokens are coded; what comes back beyond the idle
// limit is closed, and the next lease gets the last stream given back.
TEST_F(CryptoInternalTest, StreamPoolKeepsSixteenIdleStreams) {
    std::vector<nubrel::StreamLease> leases;
    leases.reserve(20);
    std::vector<z_stream *> lent;
    for (int i = 0; i < 20; ++i) {
        leases.push_back(nubrel::compression_stream(9));
        ASSERT_NE(leases.back().get(), nullptr);
        lent.push_back(leases.back().get());
    }
    std::vector<z_stream *> distinct = lent;
    std::sort(distinct.begin(), distinct.end());
    EXPECT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end());

    testlog::clear();
    leases.clear();
    size_t released = 0;
    for (const auto &line : testlog::lines())
        released += line.text == "Releasing dynamic structures of compression stream..." ? 1 : 0;
    EXPECT_EQ(released, 4u) << testlog::dump();

    testlog::clear();
    const nubrel::StreamLease again = nubrel::compression_stream(9);
    // The leases ended first to last: the sixteenth filled the pool, the rest were closed.
    EXPECT_EQ(again.get(), lent[15]);
    EXPECT_TRUE(testlog::has("Resetting a pooled compression stream...")) << testlog::dump();

    // A stream opened at another level is not handed out for this one.
    testlog::clear();
    const nubrel::StreamLease other_level = nubrel::compression_stream(1);
    ASSERT_NE(other_level.get(), nullptr);
    EXPECT_TRUE(testlog::has("Releasing dynamic structures of compression stream..."));
    EXPECT_TRUE(testlog::has("Initializing stream for compression of payload..."));

    // The same holds for inflate streams, each lease its own.
    const nubrel::StreamLease first = nubrel::decompression_stream();
    const nubrel::StreamLease second = nubrel::decompression_stream();
    ASSERT_NE(first.get(), nullptr);
    EXPECT_NE(first.get(), second.get());
}

// A session-sized payload compresses through a pooled stream to exactly the
// bytes zlib's one-call compress2 produces with its defaults at the level.
TEST_F(CryptoInternalTest, PooledCompressionMatchesZlibDefaults) {
    std::string payload;
    for (int i = 0; payload.size() < 2000; ++i)
        payload += "attribute-" + std::to_string(i % 37) + "=value " + std::to_string(i * 7919 % 1000) + "\n";
    for (const int level : {0, 1, 6, 9}) {
        uLongf expected_length = compressBound(static_cast<uLong>(payload.size()));
        Bytes expected(expected_length);
        ASSERT_EQ(compress2(expected.data(), &expected_length, reinterpret_cast<const Bytef *>(payload.data()),
                            static_cast<uLong>(payload.size()), level),
                  Z_OK);
        expected.resize(expected_length);

        const nubrel::StreamLease lease = nubrel::compression_stream(level);
        z_stream *stream = lease.get();
        ASSERT_NE(stream, nullptr);
        Bytes produced(compressBound(static_cast<uLong>(payload.size())));
        stream->next_in = reinterpret_cast<Bytef *>(payload.data());
        stream->avail_in = static_cast<uInt>(payload.size());
        stream->next_out = produced.data();
        stream->avail_out = static_cast<uInt>(produced.size());
        ASSERT_EQ(deflate(stream, Z_FINISH), Z_STREAM_END);
        produced.resize(produced.size() - stream->avail_out);
        EXPECT_EQ(produced, expected) << "level " << level;
    }
}

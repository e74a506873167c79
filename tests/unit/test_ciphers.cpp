// Cipher suites, PBKDF2 keys, random IVs and obfuscated passwords, through
// the exported interface.
#include "fixtures.h"

#include "../../token-library/src/obfuscation_key.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

using testutil::Owned;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes hex_bytes(std::string_view hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

const unsigned char *bytes_of(std::string_view text) { return reinterpret_cast<const unsigned char *>(text.data()); }

// Derives a key; nullopt-like empty result on failure.
Bytes derive(std::string_view password, int32_t suite, std::string_view salt, int32_t iterations) {
    unsigned char *key = nullptr;
    int32_t length = 0;
    if (generate_password_based_key(bytes_of(password), static_cast<int32_t>(password.size()), suite, bytes_of(salt),
                                    static_cast<int32_t>(salt.size()), iterations, &key, &length) != 0)
        return {};
    Owned<unsigned char> owned(key);
    return Bytes(key, key + length);
}

std::string obfuscated_base64(std::string_view plain) {
    const auto bytes = nubrel::obfuscation::obfuscate(plain);
    return testutil::to_base64(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

}  // namespace

class CiphersTest : public LibraryTest {};

TEST_F(CiphersTest, SuiteTable) {
    struct Case {
        int32_t suite;
        const char *name;
    };
    const Case cases[] = {
        {0, "null (test case)"},
        {1, "AES, key size 256 bits, CBC mode, PKCS5 padding"},
        {2, "AES, key size 128 bits, CBC mode, PKCS5 padding"},
        {3, "Triple DES, key size 168 bits, CBC mode, PKCS5 padding"},
        {-1, nullptr},
        {4, nullptr},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(is_valid_cipher_suite(c.suite), c.name != nullptr ? 1 : 0) << c.suite;
        if (c.name == nullptr) {
            EXPECT_EQ(nubrel_get_cipher_suite_name(c.suite), nullptr);
        } else {
            EXPECT_STREQ(nubrel_get_cipher_suite_name(c.suite), c.name);
        }
    }
    EXPECT_TRUE(testlog::lines().empty());
}

// RFC 6070 gives 20-byte PBKDF2-HMAC-SHA1 results; PBKDF2 output is a
// concatenation of independent 20-byte blocks, so every suite's key starts
// with them.
TEST_F(CiphersTest, PasswordBasedKeysFollowRfc6070) {
    struct Case {
        int32_t iterations;
        const char *hex;
    };
    const Case cases[] = {
        {1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {4096, "4b007901b765489abead49d926f721d065a429c1"},
    };
    for (const auto &c : cases) {
        const Bytes expected = hex_bytes(c.hex);
        const Bytes aes256 = derive("password", 1, "salt", c.iterations);
        const Bytes aes128 = derive("password", 2, "salt", c.iterations);
        const Bytes des3 = derive("password", 3, "salt", c.iterations);
        ASSERT_EQ(aes256.size(), 32u);
        ASSERT_EQ(aes128.size(), 16u);
        ASSERT_EQ(des3.size(), 24u);
        EXPECT_EQ(Bytes(aes256.begin(), aes256.begin() + 20), expected) << c.iterations;
        EXPECT_EQ(Bytes(des3.begin(), des3.begin() + 20), expected) << c.iterations;
        EXPECT_EQ(aes128, Bytes(expected.begin(), expected.begin() + 16)) << c.iterations;
        // The second block is the same for every suite that needs one.
        EXPECT_EQ(Bytes(aes256.begin(), aes256.begin() + 24), des3) << c.iterations;
    }
    // The RFC's vectors with a second block and with NUL bytes inside the
    // password and the salt (the lengths, not the text, decide).
    EXPECT_EQ(derive("passwordPASSWORDpassword", 3, "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096),
              hex_bytes("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f070"));
    EXPECT_EQ(derive(std::string_view("pass\0word", 9), 2, std::string_view("sa\0lt", 5), 4096),
              hex_bytes("56fa6aa75548099dcc37d7f03425e0c3"));
    EXPECT_TRUE(testlog::has("Generating a PBKDF2 password based key of length 16..."));
}

TEST_F(CiphersTest, PasswordBasedKeyRefusesBadArguments) {
    const unsigned char *password = bytes_of("password");
    const unsigned char *salt = bytes_of("saltsalt");
    const unsigned char *empty = bytes_of(std::string_view("\0x", 2));
    struct Case {
        const unsigned char *password;
        int32_t password_length;
        int32_t suite;
        const unsigned char *salt;
        int32_t salt_length;
        int32_t iterations;
        const char *message;
    };
    const Case cases[] = {
        {nullptr, 8, 1, salt, 8, 1000, "Cannot generate a password based key - password is NULL"},
        {empty, 2, 1, salt, 8, 1000, "Cannot generate a password based key - password is empty"},
        {password, 0, 1, salt, 8, 1000, "Cannot generate a password based key - password is empty"},
        {password, 8, 1, salt, 8, 0, "Cannot generate a password based key - iterations count \"0\" is not valid"},
        {password, 8, 1, salt, 8, -5, "Cannot generate a password based key - iterations count \"-5\" is not valid"},
        {password, 8, 1, nullptr, 8, 1000, "Cannot generate a password based key - salt is NULL"},
        {password, 8, 0, salt, 8, 1000, "Cannot generate a password based key for the NULL cipher suite"},
        {password, 8, 4, salt, 8, 1000, "Cannot generate a password based key - unhandled cipher suite 4"},
        {password, 8, -1, salt, 8, 1000, "Cannot generate a password based key - unhandled cipher suite -1"},
        // A negative length would make OpenSSL read far beyond the salt.
        {password, 8, 1, salt, -1, 1000, "Cannot generate a password based key - salt length -1 is not valid"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        auto *key = reinterpret_cast<unsigned char *>(0x1);
        int32_t length = 99;
        EXPECT_EQ(generate_password_based_key(c.password, c.password_length, c.suite, c.salt, c.salt_length,
                                              c.iterations, &key, &length),
                  -1)
            << c.message;
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(length, 0);
        EXPECT_TRUE(testlog::has(c.message)) << testlog::dump();
        EXPECT_FALSE(testlog::has("Allocating buffer for a password based key...")) << c.message;
    }
    unsigned char *key = nullptr;
    int32_t length = 0;
    EXPECT_EQ(generate_password_based_key(password, 8, 1, salt, 8, 2, nullptr, &length), -1);
    EXPECT_TRUE(testlog::has("Cannot generate a password based key - output key storage is NULL"));
    EXPECT_EQ(generate_password_based_key(password, 8, 1, salt, 8, 2, &key, nullptr), -1);
    EXPECT_TRUE(testlog::has("Cannot generate a password based key - output keylen storage is NULL"));
}

TEST_F(CiphersTest, RandomIvs) {
    unsigned char first[16] = {};
    unsigned char second[16] = {};
    ASSERT_EQ(generate_random_ivec(first, 16), 0);
    ASSERT_EQ(generate_random_ivec(second, 16), 0);
    EXPECT_NE(std::memcmp(first, second, 16), 0);
    EXPECT_TRUE(testlog::has("Generating a random IV initialization vector..."));
    EXPECT_TRUE(testlog::has_fragment("Randomly generated IV: "));

    testlog::clear();
    EXPECT_EQ(generate_random_ivec(nullptr, 16), -1);
    EXPECT_TRUE(testlog::has("Cannot generate cryptographically strong pseudo-random IV buffer - buffer is NULL"));
    EXPECT_EQ(generate_random_ivec(first, 0), -1);
    EXPECT_EQ(generate_random_ivec(first, -8), -1);
    EXPECT_TRUE(
        testlog::has("Cannot generate cryptographically strong pseudo-random IV buffer - length of buffer is NULL"));
    EXPECT_FALSE(testlog::has_fragment("Randomly generated IV"));
}

// IVs are handed out from a reserve drawn ahead of time; a forked child (an
// Apache worker) must not hand out the bytes its parent hands out next.
TEST_F(CiphersTest, ForkedProcessesDrawDifferentIvs) {
    unsigned char iv[16] = {};
    ASSERT_EQ(generate_random_ivec(iv, 16), 0);  // the parent's reserve now holds unused bytes
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        unsigned char drawn[16] = {};
        const bool ok = generate_random_ivec(drawn, 16) == 0 && write(channel[1], drawn, 16) == 16;
        _exit(ok ? 0 : 1);
    }
    close(channel[1]);
    unsigned char from_child[16] = {};
    const ssize_t received = read(channel[0], from_child, 16);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(received, 16);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    unsigned char from_parent[16] = {};
    ASSERT_EQ(generate_random_ivec(from_parent, 16), 0);
    EXPECT_NE(std::memcmp(from_child, from_parent, 16), 0);
}

TEST_F(CiphersTest, ObfuscatedPasswordIsDecrypted) {
    auto handle = testutil::make_instance();
    ASSERT_EQ(set_nubrel_obfuscated_password(handle.get(), obfuscated_base64("Tr0ub4dor&3").c_str()), 0)
        << testlog::dump();
    EXPECT_TRUE(testlog::has("Decrypting the password via 3DES-168..."));
    EXPECT_TRUE(testlog::has("Removed 5 padding characters"));
    EXPECT_TRUE(testlog::has("Succeeded to decrypt the password"));
    EXPECT_TRUE(testlog::has("Succeeded to set password for the password-based keys generation"));
    EXPECT_FALSE(testlog::has_fragment("is weak") || testlog::has_fragment("odd parity"));
    EXPECT_EQ(is_password_based_generation_available(handle.get()), 1);
    EXPECT_TRUE(testutil::holds_password(handle.get(), "Tr0ub4dor&3"));
    EXPECT_FALSE(testutil::holds_password(handle.get(), "Tr0ub4dor&4"));
}

TEST_F(CiphersTest, ObfuscatedPasswordRefusals) {
    auto handle = testutil::make_instance();
    struct Case {
        std::string text;
        const char *message;
        bool decrypted;  // whether decryption was reached
    };
    const auto eight = nubrel::obfuscation::obfuscate("abcdefgh");  // two blocks, the second all padding
    const Case cases[] = {
        // 12 bytes: not whole DES blocks.
        {testutil::to_base64("0123456789ab"),
         "Cannot decrypt the password - the encrypted password's size is not a multiple of DES block size", false},
        // Only the first block: the password's last byte 'h' becomes the padding count.
        {testutil::to_base64(std::string_view(reinterpret_cast<const char *>(eight.data()), 8)),
         "Cannot unpadd - number of padding characters 104 exceeds CBC block size 8 (incorrect decryption key?)",
         true},
        {"not base64!", "Cannot deobfuscate password for the password-based keys generation", false},
    };
    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_EQ(set_nubrel_obfuscated_password(handle.get(), c.text.c_str()), -1) << c.message;
        EXPECT_TRUE(testlog::has(c.message)) << testlog::dump();
        EXPECT_EQ(testlog::has("Decrypting the password via 3DES-168..."), c.decrypted) << c.message;
        EXPECT_FALSE(testlog::has("Succeeded to set password for the password-based keys generation"));
    }
}

// The library instance, its settings, handle checks and the library's logging.
#include "fixtures.h"

#include <cstring>
#include <functional>

using testutil::Instance;
using testutil::make_instance;

class InstanceTest : public LibraryTest {};

// Every operation refuses a null handle and a released one with its own
// message, and a released handle also gets the generic line first.
TEST_F(InstanceTest, NullAndInvalidHandlesAreRefused) {
    struct Case {
        const char *what;  // the operation's wording between "Cannot" and " - handle is"
        std::function<int(nubrel_instance *)> call;
        int failure;
    };
    int32_t out = 0;
    const Case cases[] = {
        {"Cannot release an NBR API instance", [](nubrel_instance *h) { return nubrel_release_instance(h); }, -1},
        {"Cannot set compression level for the NBR API instance",
         [](nubrel_instance *h) { return set_nubrel_zlib_compression_level(h, 5); }, -1},
        {"Cannot get compression level of the NBR API instance",
         [&](nubrel_instance *h) { return get_nubrel_zlib_compression_level(h, &out); }, -1},
        {"Cannot set cipher suite for the NBR API instance",
         [](nubrel_instance *h) { return set_nubrel_cipher_suite(h, 2); }, -1},
        {"Cannot set cipher suite for the NBR API instance",
         [](nubrel_instance *h) { return set_nubrel_cipher_suite_str(h, "2"); }, -1},
        {"Cannot get cipher suite of the NBR API instance",
         [&](nubrel_instance *h) { return get_nubrel_cipher_suite(h, &out); }, -1},
        {"Cannot set compression level for the NBR API instance",
         [](nubrel_instance *h) { return set_nubrel_debug_mode(h); }, -1},
        {"Cannot set iterations number for the NBR API instance",
         [](nubrel_instance *h) { return set_nubrel_iterations_number(h, 10); }, -1},
        {"Cannot get iterations number for the NBR API instance",
         [&](nubrel_instance *h) { return get_nubrel_iterations_number(h, &out); }, -1},
        {"Cannot set salt for the NBR API instance",
         [](nubrel_instance *h) { return set_nubrel_salt(h, reinterpret_cast<const unsigned char *>("s"), 1); }, -1},
        {"Cannot set password for password-based keys generation",
         [](nubrel_instance *h) { return set_nubrel_password(h, "cGFzcw=="); }, -1},
        {"Cannot set password for password-based keys generation",
         [](nubrel_instance *h) { return set_nubrel_obfuscated_password(h, "cGFzcw=="); }, -1},
        {"Cannot set keymanager function for the NBR API instance",
         [](nubrel_instance *h) { return set_keymanager(h, nullptr); }, -1},
        {"Cannot check whether KeyManager is available for the NBR API instance",
         [](nubrel_instance *h) { return is_keymanager_available(h); }, 0},
        {"Cannot check whether password-based keys generation is available for the NBR API instance",
         [](nubrel_instance *h) { return is_password_based_generation_available(h); }, 0},
        {"Cannot parse Quorvel Agent's configuration file - NBR instance",
         [](nubrel_instance *h) { return set_quorvelagent_configuration_file(h, "/nonexistent"); }, -1},
    };
    // A record that is not a live instance: its first field does not point to itself.
    alignas(nubrel_instance *) unsigned char stale[128] = {};
    auto *invalid = reinterpret_cast<nubrel_instance *>(stale);
    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_EQ(c.call(nullptr), c.failure) << c.what;
        EXPECT_TRUE(testlog::has(std::string(c.what) + " - handle is null") ||
                    testlog::has(std::string(c.what) + " handle is null"))
            << c.what << "\n" << testlog::dump();
        testlog::clear();
        EXPECT_EQ(c.call(invalid), c.failure) << c.what;
        const auto lines = testlog::lines();
        ASSERT_EQ(lines.size(), 2u) << c.what << "\n" << testlog::dump();
        EXPECT_EQ(lines[0].text, "The handle of NBR API instance is not valid");
        EXPECT_EQ(lines[1].text.rfind(c.what, 0), 0u) << lines[1].text;
        EXPECT_EQ(lines[1].level, testlog::kError);
    }
    // Nothing was written into the stale record.
    for (unsigned char byte : stale) ASSERT_EQ(byte, 0);
}

TEST_F(InstanceTest, NewInstanceHasDefaults) {
    Instance handle = make_instance();
    ASSERT_NE(handle, nullptr);
    int32_t level = 0, suite = 0, iterations = 0;
    EXPECT_EQ(get_nubrel_zlib_compression_level(handle.get(), &level), 0);
    EXPECT_EQ(get_nubrel_cipher_suite(handle.get(), &suite), 0);
    EXPECT_EQ(get_nubrel_iterations_number(handle.get(), &iterations), 0);
    EXPECT_EQ(level, 9);
    EXPECT_EQ(suite, 1);
    EXPECT_EQ(iterations, 1000);
    EXPECT_EQ(get_nubrel_cipher_suite(handle.get(), nullptr), 0);
    EXPECT_EQ(is_keymanager_available(handle.get()), 0);
    EXPECT_STREQ(get_nubrel_library_version(), "Nubrel/2.3.1");
}

TEST_F(InstanceTest, SettersAcceptValidValuesAndKeepOldOnesOtherwise) {
    Instance handle = make_instance();
    int32_t value = 0;
    for (int level : {-1, 0, 9}) EXPECT_EQ(set_nubrel_zlib_compression_level(handle.get(), level), 0) << level;
    for (int level : {-2, 10}) {
        testlog::clear();
        EXPECT_EQ(set_nubrel_zlib_compression_level(handle.get(), level), -1);
        EXPECT_TRUE(testlog::has("Cannot set compression level for the NBR API instance - level " +
                                 std::to_string(level) + " is not valid"));
    }
    get_nubrel_zlib_compression_level(handle.get(), &value);
    EXPECT_EQ(value, 9);

    EXPECT_EQ(set_nubrel_iterations_number(handle.get(), 1), -1);
    EXPECT_TRUE(testlog::has("Cannot set iterations number for the NBR API instance - number of iterations 1 is "
                             "incorrect (should be 2 or above)"));
    EXPECT_EQ(set_nubrel_iterations_number(handle.get(), 2), 0);
    get_nubrel_iterations_number(handle.get(), &value);
    EXPECT_EQ(value, 2);

    EXPECT_EQ(set_nubrel_cipher_suite(handle.get(), 4), -1);
    EXPECT_TRUE(testlog::has("Cannot set cipher suite for the NBR API instance - suite 4 is not valid"));
    EXPECT_EQ(set_nubrel_cipher_suite(handle.get(), 3), 0);
    EXPECT_TRUE(testlog::has("Changed cipher suite for the NBR API instance from \"AES, key size 256 bits, CBC mode, "
                             "PKCS5 padding\" to \"Triple DES, key size 168 bits, CBC mode, PKCS5 padding\""));
}

TEST_F(InstanceTest, CipherSuiteTextIsReadAsATruncatedNumber) {
    Instance handle = make_instance();
    struct Case {
        const char *text;
        int result;
        int suite;  // in force afterwards
    };
    const Case cases[] = {
        {"2", 0, 2}, {"2.9", 0, 2}, {"  3", 0, 3}, {"abc", 0, 0}, {"1e0", 0, 1}, {"7", -1, 1}, {"-1", -1, 1},
        {"99999999999", -1, 1}, {"", -1, 1},
    };
    for (const auto &c : cases) {
        set_nubrel_cipher_suite(handle.get(), 1);
        EXPECT_EQ(set_nubrel_cipher_suite_str(handle.get(), c.text), c.result) << c.text;
        int32_t suite = -1;
        get_nubrel_cipher_suite(handle.get(), &suite);
        EXPECT_EQ(suite, c.suite) << c.text;
    }
    EXPECT_TRUE(testlog::has("Cannot set cipher suite for the NBR API instance - suite ID string is empty"));
    EXPECT_EQ(set_nubrel_cipher_suite_str(handle.get(), nullptr), -1);
    EXPECT_TRUE(testlog::has("Cannot set cipher suite for the NBR API instance - suite ID string is null"));
}

TEST_F(InstanceTest, DebugModeSelectsTheNullSuiteWithoutCompression) {
    Instance handle = make_instance();
    ASSERT_EQ(set_nubrel_debug_mode(handle.get()), 0);
    int32_t suite = -1, level = -1;
    get_nubrel_cipher_suite(handle.get(), &suite);
    get_nubrel_zlib_compression_level(handle.get(), &level);
    EXPECT_EQ(suite, 0);
    EXPECT_EQ(level, 0);
}

TEST_F(InstanceTest, PasswordMakesKeyDerivationAvailable) {
    Instance handle = make_instance();
    EXPECT_EQ(is_password_based_generation_available(handle.get()), 0);
    EXPECT_TRUE(testlog::has("Password-based generation is not available - password is NULL"));
    EXPECT_TRUE(testlog::has("Password-based generation is not available - password is empty"));

    EXPECT_EQ(set_nubrel_password(handle.get(), ""), -1);
    EXPECT_TRUE(testlog::has("Cannot set password for password-based keys generation - password is empty"));
    EXPECT_EQ(set_nubrel_password(handle.get(), nullptr), -1);
    EXPECT_TRUE(testlog::has("Cannot set password for password-based keys generation - password is NULL"));
    EXPECT_EQ(set_nubrel_password(handle.get(), "not base64!"), -1);
    EXPECT_TRUE(testlog::has("Cannot deobfuscate password for the password-based keys generation"));
    EXPECT_EQ(is_password_based_generation_available(handle.get()), 0);

    EXPECT_EQ(set_nubrel_password(handle.get(), "c2VjcmV0"), 0);
    EXPECT_EQ(is_password_based_generation_available(handle.get()), 1);
    testlog::clear();
    EXPECT_EQ(set_nubrel_password(handle.get(), "b3RoZXI="), 0);
    EXPECT_TRUE(testlog::has("Releasing the previously set password for password-based keys generation..."));

    // A failed setter leaves the password in force: tokens made before still decode.
    nubrel_tokendata data{};
    data.version = 1;
    data.cipher_suite = 1;
    data.payload = const_cast<char *>("a=b\n");
    data.payload_length = 4;
    testutil::Owned<char> token(nubrel_encode(handle.get(), &data, nullptr, nullptr, nullptr));
    ASSERT_NE(token, nullptr);
    for (const char *bad : {"MDEyMzQ1Njc4OWFi", "QUJDREVGR0g=", "%%%%"})
        EXPECT_EQ(set_nubrel_obfuscated_password(handle.get(), bad), -1) << bad;
    nubrel_tokendata decoded{};
    EXPECT_EQ(nubrel_decode(handle.get(), token.get(), &decoded, nullptr, nullptr, nullptr), 0) << testlog::dump();
    nubrel_free_tokendata(&decoded);

    // Every failing condition is reported, not only the first.
    testlog::clear();
    set_nubrel_salt(handle.get(), nullptr, 0);
    EXPECT_EQ(is_password_based_generation_available(handle.get()), 0);
    EXPECT_TRUE(testlog::has("Password-based generation is not available - salt is NULL"));
    EXPECT_TRUE(testlog::has("Password-based generation is not available - salt is empty"));
}

TEST_F(InstanceTest, ReleasedHandleIsNoLongerValid) {
    nubrel_instance *handle = nubrel_create_instance();
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(set_nubrel_password(handle, "c2VjcmV0"), 0);
    testlog::clear();
    EXPECT_EQ(nubrel_release_instance(handle), 0);
    EXPECT_TRUE(testlog::has("Releasing buffer, dynamically allocated for the obfuscated password..."));
    EXPECT_TRUE(testlog::has("Releasing an NBR API instance..."));
}

TEST_F(InstanceTest, MemoryHelpers) {
    EXPECT_EQ(nubrel_strdup(nullptr), nullptr);
    EXPECT_TRUE(testlog::has("Cannot duplicate the required string - string is NULL"));
    EXPECT_EQ(nubrel_strndup(nullptr, 3), nullptr);
    EXPECT_TRUE(testlog::has("Cannot duplicate the required part of string - string is NULL"));
    testutil::Owned<char> part(nubrel_strndup("abcdef", 3));
    EXPECT_STREQ(part.get(), "abc");
    testutil::Owned<char> stops_at_nul(nubrel_strndup("ab\0cd", 4));
    EXPECT_STREQ(stops_at_nul.get(), "ab");
    nubrel_free(nullptr);  // ignored
}

// ---- logging ------------------------------------------------------------------

class LoggingTest : public LibraryTest {};

TEST_F(LoggingTest, VerboseLevelIgnoresOutOfRangeAndUnchangedValues) {
    testutil::VerboseLevel level(3);
    testlog::clear();
    EXPECT_EQ(set_nubrel_verbose_level(6), 3);
    EXPECT_EQ(set_nubrel_verbose_level(static_cast<uint32_t>(-1)), 3);
    EXPECT_EQ(set_nubrel_verbose_level(3), 3);
    EXPECT_TRUE(testlog::lines().empty()) << testlog::dump();
    EXPECT_EQ(set_nubrel_verbose_level(4), 4);
    EXPECT_TRUE(testlog::has("Changed verbose level of the Nubrel library from 3 to 4"));
}

TEST_F(LoggingTest, LevelsGateTheClasses) {
    Instance handle = make_instance();
    struct Case {
        unsigned level;
        bool error, warning, detail;
    };
    const Case cases[] = {{0, true, false, false}, {1, true, true, false}, {3, true, true, true}};
    for (const auto &c : cases) {
        testutil::VerboseLevel level(c.level);
        testlog::clear();
        set_nubrel_cipher_suite(handle.get(), 9);  // error
        is_password_based_generation_available(handle.get());  // warning: password is empty
        get_nubrel_iterations_number(handle.get(), nullptr);  // detail
        EXPECT_EQ(testlog::has_fragment("suite 9 is not valid"), c.error) << c.level;
        EXPECT_EQ(testlog::has_fragment("password is empty"), c.warning) << c.level;
        EXPECT_EQ(testlog::has_fragment("Iterations number for the NBR API instance"), c.detail) << c.level;
    }
    for (const auto &line : testlog::lines()) {
        int expected = -1;
        if (line.text.find("not valid") != std::string::npos) expected = testlog::kError;
        if (line.text.find("password is empty") != std::string::npos) expected = testlog::kWarning;
        if (line.text.find("Iterations number") != std::string::npos) expected = testlog::kInfo;
        if (expected != -1) {
            EXPECT_EQ(line.level, expected) << line.text;
        }
    }
}

TEST_F(LoggingTest, TextsAreWrittenLiterallyAndCutAt1023Characters) {
    // A '%' inside a value is printed, not interpreted.
    EXPECT_EQ(nubrel_get_payload_value("a=1\n", "%s%n%p"), nullptr);
    EXPECT_TRUE(testlog::has("Key \"%s%n%p\" has not been found in the payload")) << testlog::dump();
    // Long values are cut so that the line holds 1023 characters.
    const std::string key(2000, 'k');
    testlog::clear();
    EXPECT_EQ(nubrel_get_payload_value("a=1\n", key.c_str()), nullptr);
    bool found = false;
    for (const auto &line : testlog::lines())
        if (line.text.rfind("Key \"kkk", 0) == 0) {
            found = true;
            EXPECT_EQ(line.text.size(), 1023u);
        }
    EXPECT_TRUE(found) << testlog::dump();
    // Lines never end in CR or LF.
    for (const auto &line : testlog::lines()) {
        ASSERT_FALSE(line.text.empty());
        EXPECT_NE(line.text.back(), '\n');
        EXPECT_NE(line.text.back(), '\r');
    }
}

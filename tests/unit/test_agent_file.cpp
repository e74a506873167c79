// The agent configuration file reader: syntax, the library's three keys and
// what makes a file invalid.
#include "fixtures.h"

#include "../../token-library/src/obfuscation_key.h"

#include <string>

using testutil::Owned;

namespace {

// "password" and "s3cret pass" in standard base64.
constexpr const char *kPasswordB64 = "cGFzc3dvcmQ=";
constexpr const char *kSecretB64 = "czNjcmV0IHBhc3M=";

std::string obfuscated_base64(std::string_view plain) {
    const auto bytes = nubrel::obfuscation::obfuscate(plain);
    return testutil::to_base64(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

int32_t suite_of(nubrel_instance *handle) {
    int32_t suite = -1;
    get_nubrel_cipher_suite(handle, &suite);
    return suite;
}

}  // namespace

class AgentFileTest : public LibraryTest {
protected:
    testutil::Instance handle_ = testutil::make_instance();

    int32_t read(std::string_view contents) {
        path_ = testutil::write_temp_file("agent.properties", contents);
        testlog::clear();
        return set_quorvelagent_configuration_file(handle_.get(), path_.c_str());
    }

    std::string path_;
};

TEST_F(AgentFileTest, PlainAndDecoratedFormsReadTheSame) {
    const std::string plain = std::string("password=") + kSecretB64 + "\ncipher-suite=3\n";
    const std::string decorated = std::string("# written by the federation server\r\n") +
                                  "\r\n"
                                  "   \t\r\n"
                                  "  password \t=  " + kSecretB64 + " \t\r\n"
                                  "\t# cipher-suite = 1\r\n"
                                  "cipher-suite\t= 3\r\n"
                                  "= an empty key matches nothing\r\n"
                                  "cookie-name = QVSESSION\r\n"
                                  "   ";  // no line end after the last line
    for (const auto &contents : {plain, decorated}) {
        handle_ = testutil::make_instance();
        ASSERT_EQ(read(contents), 0) << testlog::dump();
        EXPECT_EQ(suite_of(handle_.get()), 3);
        EXPECT_TRUE(testutil::holds_password(handle_.get(), "s3cret pass"));
        EXPECT_TRUE(testlog::has("Parsing Quorvel Agent's configuration file: \"" + path_ + "\""));
        EXPECT_TRUE(testlog::has("Calling a function for processing value of a configuration file property \"password\""));
        EXPECT_TRUE(testlog::has("Succeeded to parse the Quorvel Agent's configuration file"));
    }
}

TEST_F(AgentFileTest, HashEndsTheValue) {
    // Without the cut the value would not be base64 and the password setter would fail.
    ASSERT_EQ(read(std::string("password = ") + kPasswordB64 + "#comment\ncipher-suite = 2# AES-128\n"), 0)
        << testlog::dump();
    EXPECT_TRUE(testutil::holds_password(handle_.get(), "password"));
    EXPECT_EQ(suite_of(handle_.get()), 2);
}

TEST_F(AgentFileTest, LineWithoutAssignmentStopsReading) {
    EXPECT_EQ(read(std::string("cipher-suite = 2\npassword ") + kPasswordB64 + "\ncipher-suite = 3\n"), -1);
    EXPECT_TRUE(testlog::has("Cannot parse definition of Quorvel Agent's configuration file - assignment is absent"));
    EXPECT_EQ(suite_of(handle_.get()), 2);  // the line after it was not applied
    // The end-of-file checks are skipped.
    EXPECT_FALSE(testlog::has("Configuration file is not valid - password is not defined"));
    EXPECT_FALSE(testlog::has("Succeeded to parse the Quorvel Agent's configuration file"));
}

TEST_F(AgentFileTest, FileMustDefineThePassword) {
    // Keys in another case or unknown to the library do not set it.
    EXPECT_EQ(read(std::string("PASSWORD = ") + kPasswordB64 + "\nPassword=" + kPasswordB64 +
                   "\ntoken-lifetime = 3600\ncipher-suite = 2\n"),
              -1);
    EXPECT_TRUE(testlog::has("Configuration file is not valid - password is not defined"));
    EXPECT_EQ(is_password_based_generation_available(handle_.get()), 0);
    EXPECT_EQ(suite_of(handle_.get()), 2);
    EXPECT_FALSE(testlog::has("Succeeded to parse the Quorvel Agent's configuration file"));
}

TEST_F(AgentFileTest, ObfuscatedPasswordIsDecryptedAtTheEnd) {
    const std::string hidden = obfuscated_base64("s3cret pass");
    struct Case {
        const char *name;
        std::string contents;
    };
    const Case cases[] = {
        {"flag before the password", "obfuscate-password = TRUE\npassword = " + hidden + "\n"},
        {"flag after the password", "password = " + hidden + "\nobfuscate-password = true\n"},
        // A repeated password replaces the earlier one before de-obfuscation.
        {"repeated password", std::string("password = ") + kPasswordB64 + "\nobfuscate-password = True\npassword = " +
                                  hidden + "\n"},
        // The last flag decides.
        {"flag switched on", "obfuscate-password = false\npassword = " + hidden + "\nobfuscate-password = tRUE\n"},
    };
    for (const auto &c : cases) {
        handle_ = testutil::make_instance();
        ASSERT_EQ(read(c.contents), 0) << c.name << "\n" << testlog::dump();
        EXPECT_TRUE(testlog::has("Succeeded to decrypt the password")) << c.name;
        EXPECT_TRUE(testlog::has("Changed the password obfuscation flag for the NBR API instance to \"true\"")) << c.name;
        EXPECT_TRUE(testutil::holds_password(handle_.get(), "s3cret pass")) << c.name;
    }

    handle_ = testutil::make_instance();
    ASSERT_EQ(read("obfuscate-password = true\nobfuscate-password = FALSE\npassword = " + std::string(kSecretB64)), 0);
    EXPECT_TRUE(testlog::has("Changed the password obfuscation flag for the NBR API instance to \"false\""));
    EXPECT_FALSE(testlog::has("Decrypting the password via 3DES-168..."));
    EXPECT_TRUE(testutil::holds_password(handle_.get(), "s3cret pass"));
}

TEST_F(AgentFileTest, SetterFailuresAreCountedAndReadingGoesOn) {
    const std::string flag = "Cannot set flag, which dictates for the NBR API instance, whether to enable or disable "
                             "3DES-decryption of password";
    struct Case {
        std::string line;
        std::string message;
    };
    const Case cases[] = {
        {"cipher-suite = 7", "Cannot set cipher suite for the NBR API instance - suite 7 is not valid"},
        {"cipher-suite =", "Cannot set cipher suite for the NBR API instance - suite ID string is empty"},
        {"obfuscate-password = yes", flag + " - value \"yes\" does not match \"false\" or \"true\""},
        {"obfuscate-password = ", flag + " - string is empty"},
        {"password = not base64!", "Cannot deobfuscate password for the password-based keys generation"},
    };
    for (const auto &c : cases) {
        handle_ = testutil::make_instance();
        // Settings on both sides of the failing line stay applied.
        EXPECT_EQ(read("cipher-suite = 2\n" + c.line + "\npassword = " + kSecretB64 + "\n"), -1) << c.line;
        EXPECT_TRUE(testlog::has(c.message)) << c.line << "\n" << testlog::dump();
        EXPECT_EQ(suite_of(handle_.get()), 2) << c.line;
        EXPECT_TRUE(testutil::holds_password(handle_.get(), "s3cret pass")) << c.line;
        EXPECT_FALSE(testlog::has("Succeeded to parse the Quorvel Agent's configuration file")) << c.line;
    }
}

TEST_F(AgentFileTest, FailedDeobfuscationMakesTheFileInvalid) {
    // Plain base64 of 12 bytes cannot be a Triple-DES text.
    EXPECT_EQ(read("obfuscate-password = true\npassword = MDEyMzQ1Njc4OWFi\n"), -1);
    EXPECT_TRUE(testlog::has(
        "Cannot decrypt the password - the encrypted password's size is not a multiple of DES block size"));
    EXPECT_FALSE(testlog::has("Succeeded to parse the Quorvel Agent's configuration file"));
}

TEST_F(AgentFileTest, FilesThatCannotBeRead) {
    EXPECT_EQ(read(""), -1);
    EXPECT_TRUE(testlog::has("Cannot parse Quorvel Agent's configuration file \"" + path_ + "\" - it is empty"));

    struct Case {
        std::string path;
        std::string message;
    };
    const std::string missing = path_ + ".missing";
    const std::string under_file = path_ + "/agent.properties";  // a file used as a directory
    const Case cases[] = {
        {missing, "Cannot get statistics on Quorvel Agent's configuration file \"" + missing +
                      "\" - the filename or path could not be found"},
        {under_file, "Cannot get statistics on Quorvel Agent's configuration file \"" + under_file +
                         "\" - the filename or path could not be found"},
        {"", "Cannot parse Quorvel Agent's configuration file - path is empty"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_EQ(set_quorvelagent_configuration_file(handle_.get(), c.path.c_str()), -1) << c.path;
        EXPECT_TRUE(testlog::has(c.message)) << testlog::dump();
    }
    testlog::clear();
    EXPECT_EQ(set_quorvelagent_configuration_file(handle_.get(), nullptr), -1);
    EXPECT_TRUE(testlog::has("Cannot parse Quorvel Agent's configuration file - path is NULL"));
    EXPECT_EQ(set_quorvelagent_configuration_file(nullptr, path_.c_str()), -1);
    EXPECT_TRUE(testlog::has("Cannot parse Quorvel Agent's configuration file - NBR instance handle is null"));
    // A directory has a size but no readable contents.
    const std::string directory = path_.substr(0, path_.rfind('/'));
    testlog::clear();
    EXPECT_EQ(set_quorvelagent_configuration_file(handle_.get(), directory.c_str()), -1);
    EXPECT_TRUE(testlog::has("Cannot read the contents of Quorvel Agent's configuration file \"" + directory + "\""))
        << testlog::dump();
}

// The payload text: line scan, trimming, quoting, escaping, the
// readers, the item accessor and the writer.
#include "fixtures.h"

#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <vector>

using testutil::Owned;

namespace {

// A payload buffer from the standard allocator, as the writer requires.
class Payload {
public:
    Payload() = default;
    explicit Payload(const char *text) : text_(text == nullptr ? nullptr : nubrel_strdup(text)) {}
    ~Payload() { nubrel_free(text_); }
    Payload(const Payload &) = delete;
    Payload &operator=(const Payload &) = delete;

    char **slot() { return &text_; }
    const char *get() const { return text_; }
    std::string str() const { return text_ == nullptr ? std::string("<null>") : std::string(text_); }

private:
    char *text_ = nullptr;
};

std::optional<std::string> value_of(const char *payload, const char *key) {
    char *value = nubrel_get_payload_value(payload, key);
    if (value == nullptr) return std::nullopt;
    Owned<char> owned(value);
    return std::string(value);
}

// Every value of the key; nullopt when the reader returned null.
std::optional<std::vector<std::string>> values_of(const char *payload, const char *key) {
    char **array = nubrel_get_payload_values_array(payload, key);
    if (array == nullptr) return std::nullopt;
    std::vector<std::string> values;
    for (char **entry = array; *entry != nullptr; ++entry) values.emplace_back(*entry);
    nubrel_free_values_array(array);
    return values;
}

struct Item {
    std::string key;
    std::string value;
    bool operator==(const Item &) const = default;
};

std::optional<Item> item_at(const char *payload, int32_t index) {
    char *key = reinterpret_cast<char *>(0x1);
    char *value = reinterpret_cast<char *>(0x1);
    if (nubrel_get_payload_item(payload, index, &key, &value) != 0) {
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(value, nullptr);
        return std::nullopt;
    }
    Owned<char> owned_key(key);
    Owned<char> owned_value(value);
    return Item{key, value};
}

// The Apache level of the first captured line equal to the text, or -1.
int level_of(const std::string &text) {
    for (const auto &line : testlog::lines())
        if (line.text == text) return line.level;
    return -1;
}

int count_of(const std::string &text) {
    int count = 0;
    for (const auto &line : testlog::lines())
        if (line.text == text) ++count;
    return count;
}

bool has_level(int level) {
    for (const auto &line : testlog::lines())
        if (line.level == level) return true;
    return false;
}

}  // namespace

class PayloadTest : public LibraryTest {};

// ---- readers: syntax ------------------------------------------------------

TEST_F(PayloadTest, QuotedValueWithBlanksAroundIsTrimmedAndUnquoted) {
    const char *payload = "subject=joe\nname = 'Joe Smith' \nmail=joe@example.com";
    EXPECT_EQ(value_of(payload, "name"), "Joe Smith");
    EXPECT_EQ(value_of(payload, "subject"), "joe");
    EXPECT_EQ(value_of(payload, "mail"), "joe@example.com");  // last line without a line feed
    EXPECT_TRUE(testlog::has("Searching value of key \"name\"..."));
    EXPECT_TRUE(testlog::has("Value of key \"name\": \"Joe Smith\""));
    EXPECT_TRUE(testlog::has("Total characters escaped in the found value: 0"));
    EXPECT_TRUE(testlog::has("Allocating buffer of 10 bytes for a value found by key in payload..."));
}

TEST_F(PayloadTest, ValueRulesTrimQuotesAndEscapes) {
    struct Case {
        const char *line;      // the text after "k=" on the payload's only line
        const char *expected;  // the value read back
    };
    const Case cases[] = {
        {"plain", "plain"},
        {" \t plain \t ", "plain"},
        {"with inner  blanks", "with inner  blanks"},
        {"value\r", "value"},                // CR before the line feed is white space
        {"\v\fvalue\f\v", "value"},
        {"", ""},
        {"   ", ""},
        {"\t", ""},
        {"b=c=d", "b=c=d"},                  // further '=' belong to the value
        {"'quoted'", "quoted"},
        {"\"quoted\"", "quoted"},
        {"' inside blanks '", " inside blanks "},  // quotes keep inner blanks
        {"\"'nested'\"", "nested"},          // quote removal repeats
        {"'\"'nested'\"'", "nested"},
        {"'''", "'"},                        // one pair removed, a single one stays
        {"''", ""},                          // two apostrophes: the empty value
        {"\"\"", ""},
        {"'", "'"},                          // a single apostrophe stays
        {"\"", "\""},
        {"'mismatch\"", "'mismatch\""},     // different quote characters stay
        {"'open", "'open"},
        {"it\\'s", "it's"},
        {"say \\\"hi\\\"", "say \"hi\""},
        {"back\\\\slash", "back\\slash"},
        {"\\\\\\'", "\\'"},                 // \\ then \' : two pairs
        {"\\n and \\t", "\\n and \\t"},     // other escapes stay as written
        {"trailing\\", "trailing\\"},
        {"'it\\'s a test'", "it's a test"},
        {"'\\''", "'"},                      // quotes removed first, then the escape
        {"\\'x\\'", "'x'"},                 // escaped quotes are not a quote pair
    };
    for (const auto &c : cases) {
        const std::string payload = std::string("first=1\nk=") + c.line + "\nlast=2\n";
        EXPECT_EQ(value_of(payload.c_str(), "k"), std::string(c.expected)) << "line: k=" << c.line;
        EXPECT_EQ(values_of(payload.c_str(), "k"), std::vector<std::string>{c.expected}) << "line: k=" << c.line;
    }
}

TEST_F(PayloadTest, EscapeCountAndBufferSizeAreLogged) {
    EXPECT_EQ(value_of("k='a \\' \\\\ b'\n", "k"), "a ' \\ b");
    EXPECT_TRUE(testlog::has("Total characters escaped in the found value: 2"));
    // value text "a \' \\ b" is 9 characters: 9 - 2 + 1
    EXPECT_TRUE(testlog::has("Allocating buffer of 8 bytes for a value found by key in payload..."));
}

TEST_F(PayloadTest, KeysAreTrimmedAndComparedCaseSensitivelyByWholeLength) {
    const char *payload = "  Name\t= upper\nabc2=two\nabc =three \n";
    EXPECT_EQ(value_of(payload, "Name"), "upper");
    EXPECT_EQ(value_of(payload, "name"), std::nullopt);
    EXPECT_TRUE(testlog::has("Key \"name\" has not been found in the payload"));
    EXPECT_EQ(value_of(payload, "NAME"), std::nullopt);
    EXPECT_EQ(value_of(payload, "abc"), "three");  // not "abc2"
    EXPECT_EQ(value_of(payload, "abc2"), "two");
    EXPECT_EQ(value_of(payload, "ab"), std::nullopt);
    EXPECT_EQ(value_of(payload, "abc23"), std::nullopt);
    EXPECT_EQ(value_of(payload, " abc"), std::nullopt);  // searched keys are not trimmed
    EXPECT_EQ(nubrel_find_line(payload, "abc"), payload + std::strlen("  Name\t= upper\nabc2=two\n"));
    EXPECT_EQ(nubrel_find_line(payload, "ABC"), nullptr);
}

TEST_F(PayloadTest, LinesWithoutEqualsOrKeyAreSkippedWithWarningsAndStillCounted) {
    const char *payload = "no equals here\n=starts with equals\n \t = blank key\nk=v\n\nlast\n";
    EXPECT_EQ(value_of(payload, "k"), "v");
    EXPECT_EQ(level_of("The equals sign has not been found for the item 0 of payload - skipping..."),
              testlog::kWarning)
        << testlog::dump();
    EXPECT_EQ(level_of("The payload line 1 has no key"), testlog::kWarning);
    EXPECT_EQ(level_of("The payload line 2 has no key"), testlog::kWarning);
    // The scan stopped at the match: later lines were not looked at.
    EXPECT_FALSE(testlog::has_fragment("item 4 of payload"));

    testlog::clear();
    EXPECT_EQ(value_of(payload, "missing"), std::nullopt);
    EXPECT_EQ(level_of("The equals sign has not been found for the item 4 of payload - skipping..."),
              testlog::kWarning);  // the empty line
    EXPECT_EQ(level_of("The equals sign has not been found for the item 5 of payload - skipping..."),
              testlog::kWarning);
    EXPECT_FALSE(has_level(testlog::kError)) << testlog::dump();
}

TEST_F(PayloadTest, DuplicateKeysFirstForSingleReaderAllForArrayReader) {
    const char *payload = "group=admins\nother=x\ngroup = 'web users'\ngroup=\n";
    EXPECT_EQ(value_of(payload, "group"), "admins");
    EXPECT_EQ(nubrel_find_line(payload, "group"), payload);
    testlog::clear();
    EXPECT_EQ(values_of(payload, "group"), (std::vector<std::string>{"admins", "web users", ""}));
    EXPECT_TRUE(testlog::has("Searching values of key \"group\"..."));
    EXPECT_TRUE(testlog::has("Allocating buffer of 16 bytes for the array of values..."));
    EXPECT_TRUE(testlog::has("Reallocating buffer from 16 to 24 bytes for the array of values..."));
    EXPECT_TRUE(testlog::has("Reallocating buffer from 24 to 32 bytes for the array of values..."));
    EXPECT_TRUE(testlog::has("Value 1 of key \"group\": admins"));
    EXPECT_TRUE(testlog::has("Value 2 of key \"group\": web users"));
    EXPECT_TRUE(testlog::has("Total values, found in payload by key \"group\": 3"));
    EXPECT_TRUE(testlog::has("Releasing values in the array..."));
    EXPECT_TRUE(testlog::has("Releasing buffer, allocated for the array..."));
}

TEST_F(PayloadTest, ArrayReaderGivesNullWhenNothingMatches) {
    EXPECT_EQ(values_of("a=1\nb=2\n", "c"), std::nullopt);
    EXPECT_TRUE(testlog::has("Total values, found in payload by key \"c\": 0"));
    nubrel_free_values_array(nullptr);  // ignored
}

TEST_F(PayloadTest, FindLineReturnsTheLineStartInsideThePayload) {
    const char *payload = "a=1\n  b = 2\nb=3";
    EXPECT_EQ(nubrel_find_line(payload, "a"), payload);
    EXPECT_EQ(nubrel_find_line(payload, "b"), payload + 4);  // the line start, before the blanks
    EXPECT_TRUE(testlog::has("Searching the key \"b\"..."));
    EXPECT_EQ(nubrel_find_line(payload, "c"), nullptr);
    EXPECT_TRUE(testlog::has("Key \"c\" has not been found in the payload"));
}

// ---- readers: refused arguments --------------------------------------------

TEST_F(PayloadTest, ReadersRefuseNullAndEmptyArguments) {
    using Reader = bool (*)(const char *, const char *);  // true when the result is null
    struct Case {
        const char *name;
        Reader reader;
        const char *payload;
        const char *key;
        const char *message;
        int level;
    };
    const Reader find = [](const char *p, const char *k) { return nubrel_find_line(p, k) == nullptr; };
    const Reader value = [](const char *p, const char *k) {
        char *v = nubrel_get_payload_value(p, k);
        nubrel_free(v);
        return v == nullptr;
    };
    const Reader array = [](const char *p, const char *k) {
        char **a = nubrel_get_payload_values_array(p, k);
        nubrel_free_values_array(a);
        return a == nullptr;
    };
    const Case cases[] = {
        {"find", find, "k=v", nullptr, "Cannot find line of payload by key - key is NULL", testlog::kError},
        {"find", find, "k=v", "", "Cannot find line of payload by key - key is empty", testlog::kError},
        {"find", find, nullptr, "k", "Cannot find line of payload by key \"k\" - payload is NULL", testlog::kError},
        {"find", find, "", "k", "Cannot find line of payload by key \"k\" - payload is empty", testlog::kWarning},
        {"find", find, nullptr, nullptr, "Cannot find line of payload by key - key is NULL", testlog::kError},
        {"value", value, "k=v", nullptr, "Cannot get value from payload - key is NULL", testlog::kError},
        {"value", value, "k=v", "", "Cannot get value from payload - key is empty", testlog::kError},
        {"value", value, nullptr, "k", "Cannot get value from payload by key \"k\" - payload is NULL",
         testlog::kError},
        {"value", value, "", "k", "Cannot get value from payload by key \"k\" - payload is empty", testlog::kWarning},
        {"array", array, "k=v", nullptr, "Cannot get values from payload - key is NULL", testlog::kError},
        {"array", array, "k=v", "", "Cannot get values from payload - key is empty", testlog::kError},
        {"array", array, nullptr, "k", "Cannot get values from payload by key \"k\" - payload is NULL",
         testlog::kError},
        {"array", array, "", "k", "Cannot get values from payload by key \"k\" - payload is empty",
         testlog::kWarning},
    };
    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_TRUE(c.reader(c.payload, c.key)) << c.name << ": " << c.message;
        EXPECT_EQ(level_of(c.message), c.level) << c.name << ": " << c.message << "\n" << testlog::dump();
        EXPECT_EQ(count_of(c.message), 1) << c.name << ": " << c.message;  // logged once
        EXPECT_FALSE(testlog::has_fragment("Searching")) << c.name << ": " << c.message;
    }
}

// ---- item accessor ---------------------------------------------------------

TEST_F(PayloadTest, ItemIndexCountsPhysicalLinesAndSkipsMalformedOnes) {
    const char *payload = "not a pair\nk1 = 'it\\'s' \n=no key\nk2=\"a \\\\ b\"\nk3=plain";
    // Index 0: line 0 has no '=', so the item is line 1; escapes stay as stored.
    EXPECT_EQ(item_at(payload, 0), (Item{"k1", "it\\'s"}));
    EXPECT_EQ(level_of("The equals sign has not been found for the item 0 of payload - skipping..."),
              testlog::kWarning);
    EXPECT_TRUE(testlog::has("Searching value item 0 in the payload..."));
    EXPECT_EQ(item_at(payload, 1), (Item{"k1", "it\\'s"}));
    testlog::clear();
    EXPECT_EQ(item_at(payload, 2), (Item{"k2", "a \\\\ b"}));
    EXPECT_EQ(level_of("The payload line 2 has no key"), testlog::kWarning);
    EXPECT_EQ(item_at(payload, 3), (Item{"k2", "a \\\\ b"}));
    testlog::clear();
    EXPECT_EQ(item_at(payload, 4), (Item{"k3", "plain"}));
    // Lines before the index are passed over without any check.
    EXPECT_FALSE(testlog::has_fragment("skipping")) << testlog::dump();
    EXPECT_FALSE(testlog::has_fragment("has no key"));
    testlog::clear();
    EXPECT_EQ(item_at(payload, 5), std::nullopt);
    EXPECT_EQ(level_of("Cannot get a payload item 5 - no such item"), testlog::kInfo);
    EXPECT_EQ(item_at(payload, 1000), std::nullopt);
    EXPECT_TRUE(testlog::has("Cannot get a payload item 1000 - no such item"));
    // A final line feed does not open another line.
    EXPECT_EQ(item_at("a=1\n", 1), std::nullopt);
    // A value with only quotes reads empty; key and value are trimmed.
    EXPECT_EQ(item_at(" key\t=\t'' \r\n", 0), (Item{"key", ""}));
}

TEST_F(PayloadTest, ItemAccessorRefusesBadArgumentsAndClearsOutputs) {
    char *key = reinterpret_cast<char *>(0x1);
    char *value = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(nubrel_get_payload_item("a=1", 0, nullptr, &value), -1);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(level_of("Cannot get a payload item - output storage of key is NULL"), testlog::kError);
    key = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(nubrel_get_payload_item("a=1", 0, &key, nullptr), -1);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(level_of("Cannot get a payload item - output storage of value is NULL"), testlog::kError);

    struct Case {
        const char *payload;
        int32_t index;
        const char *message;
        int level;
    };
    const Case cases[] = {
        {nullptr, 0, "Cannot get a payload item - payload is NULL", testlog::kError},
        {"", 0, "Cannot get a payload item - payload is empty", testlog::kWarning},
        {"a=1", -1, "Cannot get a payload item - item index is negative", testlog::kError},
        {"a=1", INT32_MIN, "Cannot get a payload item - item index is negative", testlog::kError},
    };
    for (const auto &c : cases) {
        testlog::clear();
        key = reinterpret_cast<char *>(0x1);
        value = reinterpret_cast<char *>(0x1);
        EXPECT_EQ(nubrel_get_payload_item(c.payload, c.index, &key, &value), -1) << c.message;
        EXPECT_EQ(key, nullptr) << c.message;
        EXPECT_EQ(value, nullptr) << c.message;
        EXPECT_EQ(level_of(c.message), c.level) << c.message << "\n" << testlog::dump();
    }
    EXPECT_EQ(nubrel_get_payload_item(nullptr, 0, nullptr, nullptr), -1);
}

// ---- writer ---------------------------------------------------------------

TEST_F(PayloadTest, ValueWithSpacesAndApostropheIsQuotedAndEscaped) {
    Payload payload("subject=joe\n");
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "note", "it's a test"), 0);
    EXPECT_EQ(payload.str(), "subject=joe\nnote='it\\'s a test'\n");
    EXPECT_EQ(value_of(payload.get(), "note"), "it's a test");
    EXPECT_TRUE(testlog::has("The given value has spaces and needs to be surrounded by a pair of single quotes"));
    EXPECT_TRUE(testlog::has("1 characters should be escaped in the given value via preceding backslash"));
    // 11 characters + 1 escape + 2 quotes + 1
    EXPECT_TRUE(testlog::has("Allocating buffer of 15 bytes to fit the updated value..."));
    EXPECT_TRUE(testlog::has("Key \"note\" has not been found in the payload"));
    // 12 + 4 + 14 + 3
    EXPECT_TRUE(testlog::has("Allocating new payload buffer of 33 bytes to append the key/value definition..."));
    EXPECT_TRUE(testlog::has("Releasing the old payload buffer..."));
    EXPECT_TRUE(testlog::has("Setting an updated payload buffer for output..."));
}

TEST_F(PayloadTest, StoredFormTable) {
    struct Case {
        const char *value;
        const char *line;  // the line the writer appends
    };
    const Case cases[] = {
        {"plain", "k=plain\n"},
        {"say\"hi\"", "k=say\\\"hi\\\"\n"},  // escaped, not quoted (no space)
        {"a\\b", "k=a\\\\b\n"},
        {"'", "k=\\'\n"},
        {"a b", "k='a b'\n"},
        {" ", "k=' '\n"},
        {"a\tb", "k=a\tb\n"},  // only the space character causes quoting
        {"\t", "k=\t\n"},
        {"", "k=\n"},
        {"x=y", "k=x=y\n"},
        {"'q' \"d\" \\", "k='\\'q\\' \\\"d\\\" \\\\'\n"},
    };
    for (const auto &c : cases) {
        Payload payload;
        ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "k", c.value), 0) << c.value;
        EXPECT_EQ(payload.str(), c.line) << c.value;
    }
}

TEST_F(PayloadTest, NoSpacesMessageAlsoForTheEmptyValue) {
    Payload payload;
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "k", ""), 0);
    EXPECT_TRUE(testlog::has(
        "The given value has no spaces and does not need to be surrounded by a pair of single quotes"));
    EXPECT_TRUE(testlog::has("0 characters should be escaped in the given value via preceding backslash"));
    EXPECT_FALSE(testlog::has_fragment("to fit the updated value"));  // used unchanged
}

TEST_F(PayloadTest, TabOnlyValueReadsBackEmpty) {
    Payload payload;
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "k", "\t"), 0);
    EXPECT_EQ(value_of(payload.get(), "k"), "");
}

TEST_F(PayloadTest, NullPayloadCreatesTheSingleLine) {
    Payload payload;
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "key", "value"), 0);
    EXPECT_EQ(payload.str(), "key=value\n");
    EXPECT_TRUE(testlog::has("Payload buffer is not supplied - allocating a new one of size 11 bytes..."));
    EXPECT_FALSE(testlog::has("Releasing the old payload buffer..."));
}

TEST_F(PayloadTest, NullValueIsTheEmptyValue) {
    Payload payload;
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "k", nullptr), 0);
    EXPECT_EQ(payload.str(), "k=\n");
    EXPECT_TRUE(testlog::has("Treating null value as an empty value..."));
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "j", "x"), 0);
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "j", nullptr), 0);
    EXPECT_EQ(payload.str(), "k=\nj=\n");
    testlog::clear();
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "k", nullptr), 0);
    EXPECT_TRUE(testlog::has("Old and new value are identical - no need to update the payload"));
}

TEST_F(PayloadTest, AppendInsertsALineFeedOnlyWhenMissing) {
    struct Case {
        const char *before;
        const char *after;
        int allocated;  // the logged size, including the NUL
    };
    const Case cases[] = {
        {"a=1", "a=1\nb=2\n", 9},
        {"a=1\n", "a=1\nb=2\n", 9},
        {"a=1\r", "a=1\r\nb=2\n", 10},
        {"", "b=2\n", 5},
        {"\n", "\nb=2\n", 6},
        {"junk", "junk\nb=2\n", 10},
    };
    for (const auto &c : cases) {
        testlog::clear();
        Payload payload(c.before);
        ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "b", "2"), 0) << c.before;
        EXPECT_EQ(payload.str(), c.after);
        EXPECT_TRUE(testlog::has("Allocating new payload buffer of " + std::to_string(c.allocated) +
                                 " bytes to append the key/value definition..."))
            << c.before << "\n" << testlog::dump();
    }
}

TEST_F(PayloadTest, ReplacementKeepsEverythingButTheOldStoredText) {
    struct Case {
        const char *before;
        const char *value;
        const char *after;
    };
    const Case cases[] = {
        {"k=old\n", "new", "k=new\n"},
        {"k=old", "new", "k=new"},                                 // no final line feed, none added
        {"  k \t= 'old value' \r\nz=1\n", "new", "  k \t=new\nz=1\n"},  // key side byte for byte
        {"a=1\nk=old\nb=2", "x y", "a=1\nk='x y'\nb=2"},
        {"k=1\nk=2\n", "3", "k=3\nk=2\n"},                        // first matching line only
        {"k=\n", "v", "k=v\n"},
        {"k=v\n", "", "k=\n"},
        {"k= v\n", "v", "k=v\n"},                                 // stored texts differ by a blank
        {"k2=a\nK=b\nk=c\n", "d", "k2=a\nK=b\nk=d\n"},            // whole-length, case-sensitive
        {"k=a=b\n", "c", "k=c\n"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        Payload payload(c.before);
        ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "k", c.value), 0) << c.before;
        EXPECT_EQ(payload.str(), c.after) << c.before;
        EXPECT_TRUE(testlog::has("Key \"k\" has been found")) << c.before;
        EXPECT_TRUE(testlog::has("Allocating new payload buffer of " + std::to_string(std::strlen(c.after)) +
                                 " bytes to update the key/value definition..."))
            << c.before << "\n" << testlog::dump();
        EXPECT_TRUE(testlog::has("Releasing the old payload buffer..."));
    }
}

TEST_F(PayloadTest, IdenticalStoredFormLeavesThePayloadUntouched) {
    struct Case {
        const char *payload;
        const char *value;
    };
    const Case cases[] = {
        {"k=v\n", "v"},
        {"k=v", "v"},
        {"k='it\\'s a test'\nx=1\n", "it's a test"},
        {"k=\n", ""},
        {"k=", ""},
        {"a=1\nk=say\\\"hi\\\"\r", "say\"hi\"\r"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        Payload payload(c.payload);
        const char *before = payload.get();
        ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "k", c.value), 0) << c.payload;
        EXPECT_EQ(payload.get(), before) << c.payload;  // the same buffer
        EXPECT_EQ(payload.str(), c.payload);
        EXPECT_TRUE(testlog::has("Old and new value are identical - no need to update the payload"))
            << c.payload << "\n" << testlog::dump();
        EXPECT_FALSE(testlog::has("Releasing the old payload buffer..."));
    }
    // Setting the same value twice: the second call changes nothing.
    Payload payload("a=1\n");
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "name", "Joe Smith"), 0);
    const std::string once = payload.str();
    const char *before = payload.get();
    testlog::clear();
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "name", "Joe Smith"), 0);
    EXPECT_EQ(payload.get(), before);
    EXPECT_EQ(payload.str(), once);
    EXPECT_TRUE(testlog::has("Old and new value are identical - no need to update the payload"));
}

TEST_F(PayloadTest, WriterLogsSkippedLinesAtErrorClass) {
    Payload payload("junk\n=x\n\t= y\nk=1\n");
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "k", "2"), 0);
    EXPECT_EQ(payload.str(), "junk\n=x\n\t= y\nk=2\n");
    EXPECT_TRUE(testlog::has("Searching value of key \"k\"..."));
    EXPECT_EQ(level_of("The equals sign has not been found for the item 0 of payload - skipping..."),
              testlog::kError);
    EXPECT_EQ(level_of("The payload line 1 has no key (starts with the equal sign)"), testlog::kError);
    EXPECT_EQ(level_of("The payload line 2 has no key (starts with the equal sign)"), testlog::kError);
    EXPECT_FALSE(testlog::has("The payload line 1 has no key"));
}

TEST_F(PayloadTest, WriterRefusesBadArgumentsAndKeepsThePayload) {
    struct Case {
        bool null_storage;
        const char *key;
        const char *message;
    };
    const Case cases[] = {
        {true, "k", "Cannot set value into payload - payload storage is NULL"},
        {false, nullptr, "Cannot set value into payload - key is NULL"},
        {false, "", "Cannot set value into payload - key is empty"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        Payload payload("k=v\n");
        const char *before = payload.get();
        EXPECT_EQ(nubrel_set_payload_value(c.null_storage ? nullptr : payload.slot(), c.key, "x"), -1);
        EXPECT_EQ(payload.get(), before);
        EXPECT_EQ(payload.str(), "k=v\n");
        EXPECT_EQ(level_of(c.message), testlog::kError) << c.message << "\n" << testlog::dump();
    }
    EXPECT_EQ(nubrel_set_payload_value(nullptr, nullptr, nullptr), -1);
}

TEST_F(PayloadTest, WrittenLinesAreFoundByTheItemAccessorWithStoredEscapes) {
    Payload payload;
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "q", "a 'b'"), 0);
    ASSERT_EQ(nubrel_set_payload_value(payload.slot(), "r", "c\\d"), 0);
    EXPECT_EQ(item_at(payload.get(), 0), (Item{"q", "a \\'b\\'"}));
    EXPECT_EQ(item_at(payload.get(), 1), (Item{"r", "c\\\\d"}));
    EXPECT_EQ(values_of(payload.get(), "q"), std::vector<std::string>{"a 'b'"});
}

// ---- property: what the writer stores, the reader gives back ------------------

TEST_F(PayloadTest, RandomValuesRoundTripThroughWriterAndReader) {
    testutil::VerboseLevel quiet(0);
    std::mt19937 generator(20240611);
    // Weighted towards the characters that the rules treat specially.
    const std::string alphabet = std::string("abcXYZ019=#%&;,.~ ") + "   ''\"\"\\\\\\\t\r\v\f" + "\xc3\xa9\xff";
    const char *keys[] = {"a", "ab", "b", "name", "x.y", "A"};
    std::uniform_int_distribution<size_t> pick_char(0, alphabet.size() - 1);
    std::uniform_int_distribution<size_t> pick_length(0, 24);
    std::uniform_int_distribution<size_t> pick_key(0, std::size(keys) - 1);
    const auto is_edge_space = [](char c) { return c == '\t' || c == '\r' || c == '\v' || c == '\f'; };

    for (int round = 0; round < 200; ++round) {
        // Start from nothing, or from hand-written lines that the writer must keep.
        Payload payload(round % 2 == 0 ? nullptr : "junk line\n = no key\n  other = ' kept '\nlast=1");
        std::map<std::string, std::string> model;
        for (int step = 0; step < 12; ++step) {
            std::string value(pick_length(generator), '\0');
            for (auto &c : value) c = alphabet[pick_char(generator)];
            if (!value.empty() && is_edge_space(value.front())) value.front() = 'x';
            if (!value.empty() && is_edge_space(value.back())) value.back() = 'y';
            const char *key = keys[pick_key(generator)];
            ASSERT_EQ(nubrel_set_payload_value(payload.slot(), key, value.c_str()), 0) << key << "=" << value;
            model[key] = value;
            ASSERT_EQ(payload.str().back(), '\n') << payload.str();
            for (const auto &[k, v] : model) {
                ASSERT_EQ(value_of(payload.get(), k.c_str()), v)
                    << "key " << k << " after setting " << key << "=[" << value << "]\npayload:\n"
                    << payload.str();
                ASSERT_EQ(values_of(payload.get(), k.c_str()), std::vector<std::string>{v});
            }
            if (round % 2 == 1) {
                ASSERT_EQ(value_of(payload.get(), "other"), " kept ");
                ASSERT_EQ(value_of(payload.get(), "last"), "1");
            }
        }
    }
}

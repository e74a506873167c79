// Typed payload values and times.
#include "fixtures.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <random>

namespace {

// A payload buffer from the standard allocator, as the writer requires.
struct Payload {
    char *text = nullptr;
    Payload() = default;
    explicit Payload(const char *initial) : text(nubrel_strdup(initial)) {}
    ~Payload() { nubrel_free(text); }
    Payload(const Payload &) = delete;
    Payload &operator=(const Payload &) = delete;
    std::string str() const { return text == nullptr ? std::string("<null>") : std::string(text); }
};

int level_of(const std::string &text) {
    for (const auto &line : testlog::lines())
        if (line.text == text) return line.level;
    return -1;
}

bool has_level(int level) {
    for (const auto &line : testlog::lines())
        if (line.level == level) return true;
    return false;
}

// Sets TZ for the scope and restores the previous setting afterwards.
class TimeZone {
public:
    explicit TimeZone(const char *zone) {
        if (const char *old = std::getenv("TZ"); old != nullptr) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone() {
        if (old_) setenv("TZ", old_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    TimeZone(const TimeZone &) = delete;
    TimeZone &operator=(const TimeZone &) = delete;

private:
    std::optional<std::string> old_;
};

// The UTC offset in seconds that the process's time zone applies at `when`.
long local_offset_at(time_t when) {
    struct tm local {};
    localtime_r(&when, &local);
    return local.tm_gmtoff;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm),
// an independent reference for the library's conversion.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::optional<int64_t> parse(const char *text) {
    int64_t value = 12345;
    if (nubrel_get_time(text, &value) != 0) {
        EXPECT_EQ(value, 0) << text;
        return std::nullopt;
    }
    return value;
}

}  // namespace

class PayloadValuesTest : public LibraryTest {};

// ---- integers -----------------------------------------------------------

TEST_F(PayloadValuesTest, IntegerAcceptsDecimalDigitsOnly) {
    struct Case {
        const char *line;
        std::optional<int32_t> expected;
        const char *failure;  // the error line when it fails
    };
    const Case cases[] = {
        {"n=42", 42, nullptr},
        {"n=042", 42, nullptr},
        {"n=0", 0, nullptr},
        {"n= 7 ", 7, nullptr},   // blanks removed by the payload reader
        {"n='7'", 7, nullptr},   // and quotes
        {"n=2147483647", INT32_MAX, nullptr},
        {"n=00000000000000000000000000012", 12, nullptr},
        {"n=-5", std::nullopt, "Cannot get an integer value from the nubrel payload - value \"-5\" is not digital"},
        {"n=+5", std::nullopt, "Cannot get an integer value from the nubrel payload - value \"+5\" is not digital"},
        {"n=5a", std::nullopt, "Cannot get an integer value from the nubrel payload - value \"5a\" is not digital"},
        {"n=", std::nullopt, "Cannot get an integer value from the nubrel payload - value \"\" is not digital"},
        {"n=1 2", std::nullopt, "Cannot get an integer value from the nubrel payload - value \"1 2\" is not digital"},
        {"n=0x10", std::nullopt,
         "Cannot get an integer value from the nubrel payload - value \"0x10\" is not digital"},
        {"n=1.0", std::nullopt, "Cannot get an integer value from the nubrel payload - value \"1.0\" is not digital"},
        // Beyond the range of the type: refused, never wrapped.
        {"n=2147483648", std::nullopt,
         "Cannot get an integer value from the nubrel payload - value \"2147483648\" is out of range"},
        {"n=4294967338", std::nullopt,
         "Cannot get an integer value from the nubrel payload - value \"4294967338\" is out of range"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        int32_t value = 99;
        const int32_t result = nubrel_get_payload_int(c.line, "n", &value);
        if (c.expected) {
            EXPECT_EQ(result, 0) << c.line << "\n" << testlog::dump();
            EXPECT_EQ(value, *c.expected) << c.line;
            EXPECT_FALSE(has_level(testlog::kError)) << c.line;
        } else {
            EXPECT_EQ(result, -1) << c.line;
            EXPECT_EQ(value, 0) << c.line;
            EXPECT_EQ(level_of(c.failure), testlog::kError) << c.line << "\n" << testlog::dump();
        }
        EXPECT_TRUE(testlog::has("Quering an integer value of the item \"n\"...")) << c.line;
        EXPECT_TRUE(testlog::has("Releasing the value of key \"n\"...")) << c.line;
    }
}

TEST_F(PayloadValuesTest, LongCoversItsOwnRange) {
    struct Case {
        const char *line;
        std::optional<long> expected;
        const char *failure;
    };
    const Case cases[] = {
        {"n=042", 42L, nullptr},
        {"n=2147483648", 2147483648L, nullptr},
        {"n=9223372036854775807", LONG_MAX, nullptr},
        {"n=9223372036854775808", std::nullopt,
         "Cannot get a long value from the nubrel payload - value \"9223372036854775808\" is out of range"},
        {"n=99999999999999999999999", std::nullopt,
         "Cannot get a long value from the nubrel payload - value \"99999999999999999999999\" is out of range"},
        {"n=-5", std::nullopt, "Cannot get a long value from the nubrel payload - value \"-5\" is not digital"},
        {"n=+5", std::nullopt, "Cannot get a long value from the nubrel payload - value \"+5\" is not digital"},
        {"n=5a", std::nullopt, "Cannot get a long value from the nubrel payload - value \"5a\" is not digital"},
        {"n=''", std::nullopt, "Cannot get a long value from the nubrel payload - value \"\" is not digital"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        long value = 99;
        const int32_t result = nubrel_get_payload_long(c.line, "n", &value);
        if (c.expected) {
            EXPECT_EQ(result, 0) << c.line;
            EXPECT_EQ(value, *c.expected) << c.line;
        } else {
            EXPECT_EQ(result, -1) << c.line;
            EXPECT_EQ(value, 0) << c.line;
            EXPECT_EQ(level_of(c.failure), testlog::kError) << c.line << "\n" << testlog::dump();
        }
        EXPECT_TRUE(testlog::has("Quering an long value of the item \"n\"...")) << c.line;
    }
}

// ---- flags ----------------------------------------------------------------

TEST_F(PayloadValuesTest, YesNoAndTrueFalseIgnoreCaseOnly) {
    using Getter = int32_t (*)(const char *, const char *, int32_t *);
    struct Case {
        Getter getter;
        const char *value;
        int expected;  // 1, 0, or -1 for a failure
    };
    const Getter yes_no = nubrel_get_payload_yes_or_no;
    const Getter true_false = nubrel_get_payload_true_or_false;
    const Case cases[] = {
        {yes_no, "yes", 1},     {yes_no, "YES", 1},       {yes_no, "yEs", 1},    {yes_no, "no", 0},
        {yes_no, "No", 0},      {yes_no, "'no'", 0},      {yes_no, " no ", 0},   {yes_no, "y", -1},
        {yes_no, "n", -1},      {yes_no, "1", -1},        {yes_no, "0", -1},     {yes_no, "true", -1},
        {yes_no, "yess", -1},   {yes_no, "", -1},         {yes_no, "ye", -1},    {true_false, "true", 1},
        {true_false, "TRUE", 1}, {true_false, "True", 1}, {true_false, "false", 0}, {true_false, "FaLsE", 0},
        {true_false, "t", -1},  {true_false, "1", -1},    {true_false, "yes", -1}, {true_false, "truest", -1},
        {true_false, "", -1},
    };
    for (const auto &c : cases) {
        testlog::clear();
        const std::string payload = std::string("other=1\nflag=") + c.value + "\n";
        int32_t flag = 7;
        const int32_t result = c.getter(payload.c_str(), "flag", &flag);
        const bool is_yes_no = c.getter == yes_no;
        if (c.expected >= 0) {
            EXPECT_EQ(result, 0) << c.value;
            EXPECT_EQ(flag, c.expected) << c.value;
        } else {
            EXPECT_EQ(result, -1) << c.value;
            EXPECT_EQ(flag, 0) << c.value;
            char *read = nubrel_get_payload_value(payload.c_str(), "flag");
            const std::string message = std::string(is_yes_no ? "Cannot get a yes or no value from the nubrel payload"
                                                              : "Cannot get a true or false value from the nubrel payload") +
                                        " - value \"" + read + "\" does not match";
            nubrel_free(read);
            EXPECT_EQ(level_of(message), testlog::kError) << c.value << "\n" << testlog::dump();
        }
        EXPECT_TRUE(testlog::has(is_yes_no ? "Quering a yes or no value of the item \"flag\"..."
                                           : "Quering a true or false value of the item \"flag\"..."));
    }
}

// ---- the common frame -------------------------------------------------------

TEST_F(PayloadValuesTest, EveryGetterRefusesNullArgumentsAndMissingKeys) {
    // Runs one getter with its output preset, returns the result and checks
    // that the output was cleared.
    using Run = int32_t (*)(const char *payload, const char *key);
    struct Case {
        const char *name;
        Run run;
        const char *payload_null;
        const char *key_null;
        const char *no_value;
    };
    const Case cases[] = {
        {"int",
         [](const char *p, const char *k) {
             int32_t v = 5;
             const int32_t r = nubrel_get_payload_int(p, k, &v);
             EXPECT_EQ(v, 0);
             return r;
         },
         "Cannot get an integer value from the nubrel payload item - payload is NULL",
         "Cannot get an integer value from the nubrel payload item - keyname is NULL",
         "Cannot get an integer value from the nubrel payload"},
        {"long",
         [](const char *p, const char *k) {
             long v = 5;
             const int32_t r = nubrel_get_payload_long(p, k, &v);
             EXPECT_EQ(v, 0);
             return r;
         },
         "Cannot get a long value from the nubrel payload item - payload is NULL",
         "Cannot get a long value from the nubrel payload item - keyname is NULL",
         "Cannot get a long value from the nubrel payload"},
        {"yes/no",
         [](const char *p, const char *k) {
             int32_t v = 5;
             const int32_t r = nubrel_get_payload_yes_or_no(p, k, &v);
             EXPECT_EQ(v, 0);
             return r;
         },
         "Cannot get a yes or no value from the nubrel payload item - payload is NULL",
         "Cannot get a yes or no value from the nubrel payload item - keyname is NULL",
         "Cannot get a yes or no value from the nubrel payload"},
        {"true/false",
         [](const char *p, const char *k) {
             int32_t v = 5;
             const int32_t r = nubrel_get_payload_true_or_false(p, k, &v);
             EXPECT_EQ(v, 0);
             return r;
         },
         "Cannot get a true or false value from the nubrel payload item - payload is NULL",
         "Cannot get a true or false value from the nubrel payload item - keyname is NULL",
         "Cannot get a true or false value from the nubrel payload"},
        {"time",
         [](const char *p, const char *k) {
             int64_t v = 5;
             const int32_t r = nubrel_get_payload_time(p, k, &v);
             EXPECT_EQ(v, 0);
             return r;
         },
         "Cannot get time from the nubrel payload item - payload is NULL",
         "Cannot get time from the nubrel payload item - keyname is NULL",
         "Cannot get a time value from the nubrel payload"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_EQ(c.run(nullptr, "k"), -1) << c.name;
        EXPECT_EQ(level_of(c.payload_null), testlog::kError) << c.name << "\n" << testlog::dump();
        EXPECT_FALSE(testlog::has_fragment("Quering")) << c.name;

        testlog::clear();
        EXPECT_EQ(c.run("k=1", nullptr), -1) << c.name;
        EXPECT_EQ(level_of(c.key_null), testlog::kError) << c.name << "\n" << testlog::dump();

        testlog::clear();
        EXPECT_EQ(c.run("other=1\n", "k"), -1) << c.name;
        EXPECT_EQ(level_of(c.no_value), testlog::kInfo) << c.name << "\n" << testlog::dump();
        EXPECT_FALSE(has_level(testlog::kError)) << c.name;
        EXPECT_FALSE(testlog::has("Releasing the value of key \"k\"...")) << c.name;

        testlog::clear();
        EXPECT_EQ(c.run("", "k"), -1) << c.name;  // the reader's warning, then no value
        EXPECT_TRUE(testlog::has(c.no_value)) << c.name;

        testlog::clear();
        EXPECT_EQ(c.run("k=1", ""), -1) << c.name;  // the reader refuses the empty key
        EXPECT_TRUE(testlog::has("Cannot get value from payload - key is empty")) << c.name;
    }
}

TEST_F(PayloadValuesTest, OutputPointerMayBeNull) {
    EXPECT_EQ(nubrel_get_payload_int("n=5", "n", nullptr), 0);
    EXPECT_EQ(nubrel_get_payload_int("n=x", "n", nullptr), -1);
    EXPECT_EQ(nubrel_get_payload_long("n=5", "n", nullptr), 0);
    EXPECT_EQ(nubrel_get_payload_yes_or_no("f=yes", "f", nullptr), 0);
    EXPECT_EQ(nubrel_get_payload_true_or_false("f=maybe", "f", nullptr), -1);
    EXPECT_EQ(nubrel_get_payload_time("t=2001-09-09T01:46:40Z", "t", nullptr), 0);
    EXPECT_EQ(nubrel_get_payload_int(nullptr, nullptr, nullptr), -1);
}

// ---- times ------------------------------------------------------------------

TEST_F(PayloadValuesTest, SetTimeStoresIsoTextWithoutQuotes) {
    struct Case {
        int64_t time;
        const char *text;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1000000000, "2001-09-09T01:46:40Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {2147483648LL, "2038-01-19T03:14:08Z"},
        {253402300799LL, "9999-12-31T23:59:59Z"},
    };
    for (const auto &c : cases) {
        testlog::clear();
        Payload payload("subject=joe\n");
        ASSERT_EQ(nubrel_set_payload_time(&payload.text, "exp", c.time), 0) << c.time;
        EXPECT_EQ(payload.str(), std::string("subject=joe\nexp=") + c.text + "\n");
        EXPECT_TRUE(testlog::has("Updating time value for the payload item \"exp\"..."));
        EXPECT_TRUE(testlog::has("Converting UTC time structure to the ISO 8601 string..."));
        EXPECT_TRUE(testlog::has(std::string("Succeeded to create the ISO 8601 string: ") + c.text));
        int64_t back = 0;
        ASSERT_EQ(nubrel_get_payload_time(payload.text, "exp", &back), 0) << c.text;
        EXPECT_EQ(back, c.time) << c.text;
        EXPECT_TRUE(testlog::has("Quering time of the item \"exp\"..."));
    }
    // A second write replaces the value in place.
    Payload payload;
    ASSERT_EQ(nubrel_set_payload_time(&payload.text, "t", 0), 0);
    ASSERT_EQ(nubrel_set_payload_time(&payload.text, "t", 1000000000), 0);
    EXPECT_EQ(payload.str(), "t=2001-09-09T01:46:40Z\n");
}

TEST_F(PayloadValuesTest, SetTimeRefusals) {
    Payload payload("a=1\n");
    EXPECT_EQ(nubrel_set_payload_time(nullptr, "t", 0), -1);
    EXPECT_EQ(level_of("Cannot set time for the nubrel payload item - payload is NULL"), testlog::kError);
    EXPECT_EQ(nubrel_set_payload_time(&payload.text, nullptr, 0), -1);
    EXPECT_EQ(level_of("Cannot set time for the nubrel payload item - keyname is NULL"), testlog::kError);
    EXPECT_EQ(nubrel_set_payload_time(&payload.text, "t", INT64_MAX), -1);
    EXPECT_EQ(level_of("Cannot convert the specified local time to the UTC time structure"), testlog::kError);
    EXPECT_EQ(nubrel_set_payload_time(&payload.text, "", 0), -1);
    EXPECT_TRUE(testlog::has("Cannot set value into payload - key is empty"));
    EXPECT_EQ(level_of("Cannot set value into the nubrel payload"), testlog::kError);
    EXPECT_EQ(payload.str(), "a=1\n");
}

TEST_F(PayloadValuesTest, GetTimeParsesTheIsoPattern) {
    struct Case {
        const char *text;
        int64_t expected;
    };
    const Case cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2001-09-09T01:46:40Z", 1000000000},
        {"1969-12-31T23:59:59Z", -1},
        {"2024-02-29T12:00:00Z", 1709208000},
        {"2038-01-19T03:14:08Z", 2147483648LL},
        {"2001-9-9T1:46:40Z", 1000000000},          // numbers of fewer digits
        {"2001-09-09T01:46:60Z", 1000000020},       // fields are normalised, not checked
        {"2001-09-09T01:46:40Ztrailing", 1000000000},  // the pattern ends at Z
    };
    for (const auto &c : cases) {
        testlog::clear();
        EXPECT_EQ(parse(c.text), c.expected) << c.text;
        EXPECT_TRUE(testlog::has("Local time of the ISO8601 string is: " + std::to_string(c.expected) + " sec"))
            << c.text << "\n" << testlog::dump();
    }
}

// Fields out of their calendar range are normalised as timegm does, whether
// the text has all its digits or not.
TEST_F(PayloadValuesTest, GetTimeNormalisesLikeTimegm) {
    const auto reference = [](int year, int month, int day, int hour, int minute, int second) {
        struct tm calendar {};
        calendar.tm_year = year > 1900 ? year - 1900 : year;
        calendar.tm_mon = month > 0 ? month - 1 : month;
        calendar.tm_mday = day;
        calendar.tm_hour = hour;
        calendar.tm_min = minute;
        calendar.tm_sec = second;
        return static_cast<int64_t>(timegm(&calendar));
    };
    const int cases[][6] = {
        {2023, 2, 29, 0, 0, 0},   {2024, 12, 31, 23, 59, 60}, {2001, 9, 0, 99, 99, 99}, {1901, 1, 1, 0, 0, 0},
        {9999, 12, 31, 23, 59, 59}, {1900, 1, 1, 0, 0, 0},    {2001, 0, 10, 0, 0, 0},   {2001, 13, 1, 0, 0, 0},
        {2100, 2, 29, 12, 0, 0},  {2000, 2, 29, 12, 0, 0},    {1969, 12, 31, 23, 59, 59},
    };
    for (const auto &c : cases) {
        char padded[32];
        std::snprintf(padded, sizeof padded, "%04d-%02d-%02dT%02d:%02d:%02dZ", c[0], c[1], c[2], c[3], c[4], c[5]);
        char short_form[32];
        std::snprintf(short_form, sizeof short_form, "%d-%d-%dT%d:%d:%dZ", c[0], c[1], c[2], c[3], c[4], c[5]);
        const int64_t expected = reference(c[0], c[1], c[2], c[3], c[4], c[5]);
        EXPECT_EQ(parse(padded), expected) << padded;
        EXPECT_EQ(parse(short_form), expected) << short_form;
    }
}

TEST_F(PayloadValuesTest, GetTimeRefusesOtherForms) {
    const char *cases[] = {
        "2001-09-09T01:46:40.5Z",     // fractional seconds
        "2001-09-09T01:46:40",        // no Z
        "2001-09-09 01:46:40Z",       // space instead of T
        "2001-09-09T01:46:40+01:00",  // numeric offset
        "2001-09-09T01:46:40-05:00",
        "2001-09-09t01:46:40z",       // lower-case letters
        "2001-09-09T01:46:40z",
        "2001-09-09",
        "20010909T014640Z",
        "2001/09/09T01:46:40Z",
        "T01:46:40Z",
        "",
        "not a time",
    };
    for (const char *text : cases) {
        testlog::clear();
        EXPECT_EQ(parse(text), std::nullopt) << text;
        EXPECT_EQ(level_of("Cannot parse the payload time - it does not match the format string"), testlog::kInfo)
            << text << "\n" << testlog::dump();
        EXPECT_FALSE(has_level(testlog::kError)) << text;
    }
}

TEST_F(PayloadValuesTest, GetTimeRefusesNullArguments) {
    int64_t value = 5;
    EXPECT_EQ(nubrel_get_time(nullptr, &value), -1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(level_of("Cannot get time from supplied string - string is NULL"), testlog::kError);
    EXPECT_EQ(nubrel_get_time("2001-09-09T01:46:40Z", nullptr), -1);
    EXPECT_EQ(level_of("Cannot get time from the supplied string - output storage is NULL"), testlog::kError);
    EXPECT_EQ(nubrel_get_time(nullptr, nullptr), -1);
}

TEST_F(PayloadValuesTest, MalformedPayloadTimeFailsWithDetailMessageOnly) {
    int64_t value = 5;
    EXPECT_EQ(nubrel_get_payload_time("exp=2001-09-09 01:46:40Z\n", "exp", &value), -1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(level_of("Cannot parse the payload time - it does not match the format string"), testlog::kInfo);
    EXPECT_TRUE(testlog::has("Releasing the value of key \"exp\"..."));
    EXPECT_FALSE(has_level(testlog::kError)) << testlog::dump();
    // Quotes and blanks are removed by the reader before parsing.
    EXPECT_EQ(nubrel_get_payload_time("exp = '2001-09-09T01:46:40Z' \n", "exp", &value), 0);
    EXPECT_EQ(value, 1000000000);
}

// The count is the same in every time zone, in summer and in winter.
TEST_F(PayloadValuesTest, GetTimeIgnoresTimeZoneAndDaylightSaving) {
    struct Zone {
        const char *tz;
        const char *zoneinfo;  // file that must exist for a named zone, or null
        long winter_offset;    // seconds east of UTC at 2021-01-15T12:00:00Z
        long summer_offset;    // at 2021-07-01T12:00:00Z
    };
    const Zone zones[] = {
        {"America/New_York", "America/New_York", -5 * 3600, -4 * 3600},
        {"Europe/Berlin", "Europe/Berlin", 1 * 3600, 2 * 3600},
        {"Australia/Sydney", "Australia/Sydney", 11 * 3600, 10 * 3600},  // southern summer in January
        {"EST5EDT,M3.2.0,M11.1.0", nullptr, -5 * 3600, -4 * 3600},     // POSIX rules, no tzdata needed
        {"CET-1CEST,M3.5.0,M10.5.0/3", nullptr, 1 * 3600, 2 * 3600},
        {"UTC0", nullptr, 0, 0},
    };
    struct Case {
        const char *text;
        int64_t expected;
    };
    const Case cases[] = {
        {"2021-01-15T12:00:00Z", 1610712000},  // winter in the north
        {"2021-07-01T12:00:00Z", 1625140800},  // summer in the north
        {"2021-03-28T01:30:00Z", 1616895000},  // inside the European spring-forward hour
        {"2021-11-07T06:30:00Z", 1636266600},  // inside the American fall-back hour (local 01:30 twice)
        {"2001-09-09T01:46:40Z", 1000000000},
        {"1970-01-01T00:00:00Z", 0},
    };
    for (const auto &zone : zones) {
        if (zone.zoneinfo != nullptr &&
            !std::filesystem::exists(std::filesystem::path("/usr/share/zoneinfo") / zone.zoneinfo))
            continue;  // tzdata lacks the zone; the POSIX-rule zones still run
        TimeZone scoped(zone.tz);
        // The zone really is in force, with daylight saving.
        ASSERT_EQ(local_offset_at(1610712000), zone.winter_offset) << zone.tz;
        ASSERT_EQ(local_offset_at(1625140800), zone.summer_offset) << zone.tz;
        for (const auto &c : cases) {
            EXPECT_EQ(parse(c.text), c.expected) << zone.tz << " " << c.text;
            Payload payload;
            ASSERT_EQ(nubrel_set_payload_time(&payload.text, "t", c.expected), 0);
            EXPECT_EQ(payload.str(), std::string("t=") + c.text + "\n") << zone.tz;
        }
    }
}

// Random instants: text written by the setter, parsed by nubrel_get_time,
// checked against an independent civil-date computation, in two zones.
TEST_F(PayloadValuesTest, RandomInstantsRoundTripInSeveralZones) {
    testutil::VerboseLevel quiet(0);
    std::mt19937_64 generator(1000000000);
    std::uniform_int_distribution<int> year(1971, 2399), month(1, 12), day(1, 28), hour(0, 23), minute(0, 59),
        second(0, 59);
    for (const char *tz : {"EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
        TimeZone scoped(tz);
        for (int i = 0; i < 500; ++i) {
            const int y = year(generator), mo = month(generator), d = day(generator), h = hour(generator),
                      mi = minute(generator), s = second(generator);
            const int64_t expected = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
                                     h * 3600 + mi * 60 + s;
            char text[32];
            std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", y, mo, d, h, mi, s);
            ASSERT_EQ(parse(text), expected) << tz << " " << text;
            Payload payload;
            ASSERT_EQ(nubrel_set_payload_time(&payload.text, "t", expected), 0);
            ASSERT_EQ(payload.str(), std::string("t=") + text + "\n") << tz;
        }
    }
}

// Typed payload values and times: integers, yes/no and true/false
// flags, and ISO 8601 UTC times, on top of the payload text functions.
#include "internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <strings.h>

namespace {

// The messages of one typed getter. `bad_value` and `out_of_range` take the
// value ("%s"); a null `bad_value` means that the conversion logs its own
// failure (the time getter).
struct GetterMessages {
    const char *payload_null;
    const char *key_null;
    const char *querying;  // takes the key
    const char *no_value;
    const char *bad_value;
    const char *out_of_range;
};

constexpr GetterMessages kIntegerGetter{
    "Cannot get an integer value from the nubrel payload item - payload is NULL\n",
    "Cannot get an integer value from the nubrel payload item - keyname is NULL\n",
    "Quering an integer value of the item \"%s\"...\n",
    "Cannot get an integer value from the nubrel payload\n",
    "Cannot get an integer value from the nubrel payload - value \"%s\" is not digital\n",
    "Cannot get an integer value from the nubrel payload - value \"%s\" is out of range\n",
};

constexpr GetterMessages kLongGetter{
    "Cannot get a long value from the nubrel payload item - payload is NULL\n",
    "Cannot get a long value from the nubrel payload item - keyname is NULL\n",
    "Quering an long value of the item \"%s\"...\n",
    "Cannot get a long value from the nubrel payload\n",
    "Cannot get a long value from the nubrel payload - value \"%s\" is not digital\n",
    "Cannot get a long value from the nubrel payload - value \"%s\" is out of range\n",
};

constexpr GetterMessages kYesNoGetter{
    "Cannot get a yes or no value from the nubrel payload item - payload is NULL\n",
    "Cannot get a yes or no value from the nubrel payload item - keyname is NULL\n",
    "Quering a yes or no value of the item \"%s\"...\n",
    "Cannot get a yes or no value from the nubrel payload\n",
    "Cannot get a yes or no value from the nubrel payload - value \"%s\" does not match\n",
    nullptr,
};

constexpr GetterMessages kTrueFalseGetter{
    "Cannot get a true or false value from the nubrel payload item - payload is NULL\n",
    "Cannot get a true or false value from the nubrel payload item - keyname is NULL\n",
    "Quering a true or false value of the item \"%s\"...\n",
    "Cannot get a true or false value from the nubrel payload\n",
    "Cannot get a true or false value from the nubrel payload - value \"%s\" does not match\n",
    nullptr,
};

constexpr GetterMessages kTimeGetter{
    "Cannot get time from the nubrel payload item - payload is NULL\n",
    "Cannot get time from the nubrel payload item - keyname is NULL\n",
    "Quering time of the item \"%s\"...\n",
    "Cannot get a time value from the nubrel payload\n",
    nullptr,
    nullptr,
};

// How a conversion ended.
enum class Converted { ok, bad_value, out_of_range };

// The common frame of the typed getters. The formats come from the tables
// above, each taking exactly one "%s".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T, typename Convert>
int32_t get_typed(const GetterMessages &messages, const char *payload, const char *key, T *output,
                  Convert &&convert) {
    if (output != nullptr) *output = T{};
    if (payload == nullptr) {
        nubrel::write_log(__FILE_NAME__, __LINE__, nubrel::LogClass::error, "%s", messages.payload_null);
        return -1;
    }
    if (key == nullptr) {
        nubrel::write_log(__FILE_NAME__, __LINE__, nubrel::LogClass::error, "%s", messages.key_null);
        return -1;
    }
    nubrel::write_log(__FILE_NAME__, __LINE__, nubrel::LogClass::detail, messages.querying, key);
    char *value = nubrel_get_payload_value(payload, key);
    if (value == nullptr) {
        nubrel::write_log(__FILE_NAME__, __LINE__, nubrel::LogClass::detail, "%s", messages.no_value);
        return -1;
    }
    T converted{};
    const Converted outcome = convert(value, &converted);
    if (outcome == Converted::ok) {
        if (output != nullptr) *output = converted;
    } else {
        const char *message = outcome == Converted::out_of_range ? messages.out_of_range : messages.bad_value;
        if (message != nullptr) nubrel::write_log(__FILE_NAME__, __LINE__, nubrel::LogClass::error, message, value);
    }
    NBR_LOG(detail, "Releasing the value of key \"%s\"...\n", key);
    std::free(value);
    return outcome == Converted::ok ? 0 : -1;
}
#pragma GCC diagnostic pop

// Decimal digits only (no sign, no blanks, not empty); a number beyond the
// type's range fails instead of wrapping.
template <typename T>
Converted to_unsigned_decimal(const char *text, T *output) {
    if (*text == '\0') return Converted::bad_value;
    for (const char *p = text; *p != '\0'; ++p)
        if (*p < '0' || *p > '9') return Converted::bad_value;
    T number = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        const T digit = static_cast<T>(*p - '0');
        if (number > (std::numeric_limits<T>::max() - digit) / 10) return Converted::out_of_range;
        number = static_cast<T>(number * 10 + digit);
    }
    *output = number;
    return Converted::ok;
}

// A flag from one of two words, letter case ignored.
Converted to_flag(const char *text, const char *one, const char *zero, int32_t *output) {
    if (strcasecmp(text, one) == 0) {
        *output = 1;
        return Converted::ok;
    }
    if (strcasecmp(text, zero) == 0) {
        *output = 0;
        return Converted::ok;
    }
    return Converted::bad_value;
}

}  // namespace

namespace {

// Days from 1970-01-01 to the first of the month, proleptic Gregorian.
constexpr int64_t days_to_month(int64_t year, int64_t month) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// The form the payload writer produces, "YYYY-MM-DDThh:mm:ssZ" with every
// digit present, read without the C library's scanner, which is several
// times slower and runs for three times on every request. Anything else goes
// the general way. Day, hour, minute and second count on linearly from the
// first of the month, as in timegm's normalisation.
bool read_canonical_time(const char *text, int64_t &seconds) {
    static constexpr char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    int digits[14];
    int count = 0;
    for (size_t i = 0; i + 1 < sizeof kShape; ++i) {
        const char c = text[i];
        if (kShape[i] == 'd') {
            if (c < '0' || c > '9') return false;
            digits[count++] = c - '0';
        } else if (c != kShape[i]) {
            return false;
        }
    }
    const auto number = [&](int at, int width) {
        int value = 0;
        for (int i = 0; i < width; ++i) value = value * 10 + digits[at + i];
        return value;
    };
    const int year = number(0, 4);
    const int month = number(4, 2);
    if (year <= 1900 || month < 1 || month > 12) return false;
    seconds = (days_to_month(year, month) + number(6, 2) - 1) * 86400 + int64_t{number(8, 2)} * 3600 +
              int64_t{number(10, 2)} * 60 + number(12, 2);
    return true;
}

}  // namespace

extern "C" {

NUBREL_API int32_t nubrel_get_payload_int(const char *payload, const char *key, int32_t *value) {
    return get_typed(kIntegerGetter, payload, key, value,
                     [](const char *text, int32_t *out) { return to_unsigned_decimal(text, out); });
}

NUBREL_API int32_t nubrel_get_payload_long(const char *payload, const char *key, long *value) {
    return get_typed(kLongGetter, payload, key, value,
                     [](const char *text, long *out) { return to_unsigned_decimal(text, out); });
}

NUBREL_API int32_t nubrel_get_payload_yes_or_no(const char *payload, const char *key, int32_t *flag) {
    return get_typed(kYesNoGetter, payload, key, flag,
                     [](const char *text, int32_t *out) { return to_flag(text, "yes", "no", out); });
}

NUBREL_API int32_t nubrel_get_payload_true_or_false(const char *payload, const char *key, int32_t *flag) {
    return get_typed(kTrueFalseGetter, payload, key, flag,
                     [](const char *text, int32_t *out) { return to_flag(text, "true", "false", out); });
}

NUBREL_API int32_t nubrel_get_payload_time(const char *payload, const char *key, int64_t *time) {
    return get_typed(kTimeGetter, payload, key, time, [](const char *text, int64_t *out) {
        return nubrel_get_time(text, out) == 0 ? Converted::ok : Converted::bad_value;
    });
}

NUBREL_API int32_t nubrel_set_payload_time(char **payload, const char *key, int64_t time) {
    if (payload == nullptr) {
        NBR_LOG(error, "Cannot set time for the nubrel payload item - payload is NULL\n");
        return -1;
    }
    if (key == nullptr) {
        NBR_LOG(error, "Cannot set time for the nubrel payload item - keyname is NULL\n");
        return -1;
    }
    NBR_LOG(detail, "Updating time value for the payload item \"%s\"...\n", key);
    struct tm broken {};
    const time_t seconds = static_cast<time_t>(time);
    if (static_cast<int64_t>(seconds) != time || gmtime_r(&seconds, &broken) == nullptr) {
        NBR_LOG(error, "Cannot convert the specified local time to the UTC time structure\n");
        return -1;
    }
    NBR_LOG(detail, "Converting UTC time structure to the ISO 8601 string...\n");
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &broken) == 0) {
        NBR_LOG(error, "Cannot convert the UTC time structure to the ISO 8601 string\n");
        return -1;
    }
    NBR_LOG(detail, "Succeeded to create the ISO 8601 string: %s\n", text);
    if (nubrel_set_payload_value(payload, key, text) != 0) {
        NBR_LOG(error, "Cannot set value into the nubrel payload\n");
        return -1;
    }
    return 0;
}

NUBREL_API int32_t nubrel_get_time(const char *text, int64_t *time) {
    if (time == nullptr) {
        NBR_LOG(error, "Cannot get time from the supplied string - output storage is NULL\n");
        return -1;
    }
    *time = 0;
    if (text == nullptr) {
        NBR_LOG(error, "Cannot get time from supplied string - string is NULL\n");
        return -1;
    }
    if (int64_t seconds = 0; read_canonical_time(text, seconds)) {
        NBR_LOG(detail, "Local time of the ISO8601 string is: %li sec\n", static_cast<long>(seconds));
        *time = seconds;
        return 0;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = '\0', final = '\0';
    const int items = std::sscanf(text, "%4d-%2d-%2d%c%2d:%2d:%2d%c", &year, &month, &day, &separator, &hour,
                                  &minute, &second, &final);
    if (items != 8 || separator != 'T' || final != 'Z') {
        NBR_LOG(detail, "Cannot parse the payload time - it does not match the format string\n");
        return -1;
    }
    struct tm calendar {};
    calendar.tm_year = year > 1900 ? year - 1900 : year;
    calendar.tm_mon = month > 0 ? month - 1 : month;
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    calendar.tm_isdst = 0;
    // Read directly as UTC: independent of the process's time zone and its
    // daylight saving state. -1 is also the valid result 1969-12-31T23:59:59Z.
    errno = 0;
    const time_t seconds = timegm(&calendar);
    if (seconds == static_cast<time_t>(-1) && errno != 0) {
        NBR_LOG(error, "Cannot convert the time structure to the UTC calendar time\n");
        return -1;
    }
    NBR_LOG(detail, "Local time of the ISO8601 string is: %li sec\n", static_cast<long>(seconds));
    *time = static_cast<int64_t>(seconds);
    return 0;
}

}  // extern "C"

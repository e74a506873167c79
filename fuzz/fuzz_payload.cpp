// The payload reader and writer. An input is "payload\0key\0value": the
// readers run on the payload text as it is, then the writer sets the value
// and the readers must give it back. Without a third part the value is NULL,
// which the writer stores as empty. The typed readers run on the same text,
// the value is also read as a time, and a time made from its bytes is
// written and read back.
#include "fuzz_check.h"
#include "nubrel.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";
// get_payload_item scans from the start for each index; a few suffice.
constexpr int32_t kItemsRead = 16;

struct Text {
    char *text = nullptr;
    explicit Text(char *owned) : text(owned) {}
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
    ~Text() { nubrel_free(text); }
};

struct Values {
    char **array = nullptr;
    explicit Values(char **owned) : array(owned) {}
    Values(const Values &) = delete;
    Values &operator=(const Values &) = delete;
    ~Values() { nubrel_free_values_array(array); }
};

bool is_trimmed(std::string_view text) {
    return text.empty() || (kWhiteSpace.find(text.front()) == std::string_view::npos &&
                            kWhiteSpace.find(text.back()) == std::string_view::npos);
}

// Keys the writer can add so that a reader finds them: one line, no '=',
// nothing the reader trims away.
bool is_writable_key(std::string_view key) {
    return !key.empty() && key.find_first_of("=\n") == std::string_view::npos && is_trimmed(key);
}

// Values the writer stores faithfully: it does not escape line breaks, and
// it quotes only values with a space, so other white space at either end
// would be trimmed by the reader.
bool is_writable_value(std::string_view value) {
    if (value.find('\n') != std::string_view::npos) return false;
    return value.find(' ') != std::string_view::npos || is_trimmed(value);
}

// The three by-key readers agree with one another.
void check_readers(const char *payload, const char *key) {
    Text value(nubrel_get_payload_value(payload, key));
    Values values(nubrel_get_payload_values_array(payload, key));
    const char *line = nubrel_find_line(payload, key);
    FUZZ_CHECK((value.text != nullptr) == (values.array != nullptr));
    FUZZ_CHECK((value.text != nullptr) == (line != nullptr));
    if (value.text == nullptr) return;
    FUZZ_CHECK(values.array[0] != nullptr && std::strcmp(values.array[0], value.text) == 0);
    // The line is a line of the payload, and its key is the key asked for.
    const size_t offset = static_cast<size_t>(line - payload);
    FUZZ_CHECK(line >= payload && offset < std::strlen(payload));
    FUZZ_CHECK(offset == 0 || payload[offset - 1] == '\n');
    const std::string_view text = line;
    const std::string_view line_key = text.substr(0, text.find('='));
    FUZZ_CHECK(line_key.find('\n') == std::string_view::npos);
    const size_t first = line_key.find_first_not_of(kWhiteSpace);
    FUZZ_CHECK(first != std::string_view::npos);
    FUZZ_CHECK(line_key.substr(first, line_key.find_last_not_of(kWhiteSpace) + 1 - first) == key);
}

void check_items(const char *payload) {
    for (int32_t index = 0; index < kItemsRead; ++index) {
        char *key = nullptr;
        char *value = nullptr;
        const int32_t result = nubrel_get_payload_item(payload, index, &key, &value);
        if (result != 0) {
            FUZZ_CHECK(result == -1 && key == nullptr && value == nullptr);
            continue;
        }
        FUZZ_CHECK(key != nullptr && value != nullptr);
        FUZZ_CHECK(*key != '\0' && is_trimmed(key));
        FUZZ_CHECK(std::strchr(key, '=') == nullptr && std::strchr(key, '\n') == nullptr);
        FUZZ_CHECK(std::strchr(value, '\n') == nullptr);
        nubrel_free(key);
        nubrel_free(value);
    }
}

// The typed readers read what the text reader finds.
void check_typed_values(const char *payload, const char *key) {
    Text text(nubrel_get_payload_value(payload, key));
    int64_t time = -1;
    const int32_t result = nubrel_get_payload_time(payload, key, &time);
    if (text.text == nullptr) {
        FUZZ_CHECK(result == -1 && time == 0);
    } else {
        int64_t direct = -1;
        FUZZ_CHECK(nubrel_get_time(text.text, &direct) == result && direct == time);
    }
    int32_t narrow = -1;
    long wide = -1;
    if (nubrel_get_payload_int(payload, key, &narrow) == 0)
        FUZZ_CHECK(nubrel_get_payload_long(payload, key, &wide) == 0 && wide == narrow && narrow >= 0);
    int32_t flag = -1;
    if (nubrel_get_payload_yes_or_no(payload, key, &flag) == 0) FUZZ_CHECK(flag == 0 || flag == 1);
    if (nubrel_get_payload_true_or_false(payload, key, &flag) == 0) FUZZ_CHECK(flag == 0 || flag == 1);
}

// Text in the writer's time form, "YYYY-MM-DDThh:mm:ssZ" (anything may follow),
// reads as the C library's timegm reads its fields, out-of-range ones included.
void check_time_text(const std::string &value) {
    int64_t seconds = -1;
    const int32_t result = nubrel_get_time(value.c_str(), &seconds);
    FUZZ_CHECK(result == 0 || (result == -1 && seconds == 0));
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (value.size() < kShape.size()) return;
    int fields[6] = {};
    int field = 0;
    for (size_t i = 0; i < kShape.size(); ++i) {
        const char c = value[i];
        if (kShape[i] != 'd') {
            if (c != kShape[i]) return;
            ++field;
            continue;
        }
        if (c < '0' || c > '9') return;
        fields[field] = fields[field] * 10 + (c - '0');
    }
    if (fields[0] <= 1900 || fields[1] < 1 || fields[1] > 12) return;
    struct tm calendar {};
    calendar.tm_year = fields[0] - 1900;
    calendar.tm_mon = fields[1] - 1;
    calendar.tm_mday = fields[2];
    calendar.tm_hour = fields[3];
    calendar.tm_min = fields[4];
    calendar.tm_sec = fields[5];
    FUZZ_CHECK(result == 0 && seconds == static_cast<int64_t>(timegm(&calendar)));
}

// Times the writer stores read back, within the years it writes with four
// digits and the reader takes as years (after 1900).
void check_time_round_trip(const char *payload, const std::string &key, const std::string &value) {
    constexpr int64_t kFirst = -2177452800;   // 1901-01-01T00:00:00Z
    constexpr int64_t kLast = 253402300799;   // 9999-12-31T23:59:59Z
    uint64_t bits = 0;
    std::memcpy(&bits, value.data(), std::min(value.size(), sizeof bits));
    const int64_t time = kFirst + static_cast<int64_t>(bits % static_cast<uint64_t>(kLast - kFirst + 1));
    Text updated(nubrel_strdup(payload));
    const int32_t result = nubrel_set_payload_time(&updated.text, key.c_str(), time);
    FUZZ_CHECK(result == (key.empty() ? -1 : 0));
    if (!is_writable_key(key)) return;
    int64_t read = -1;
    FUZZ_CHECK(nubrel_get_payload_time(updated.text, key.c_str(), &read) == 0 && read == time);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size && parts.size() <= 3; ++i) {
        if (data[i] == '\0')
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<char>(data[i]));
    }
    const std::string &payload = parts[0];
    const std::string key = parts.size() > 1 ? parts[1] : std::string();
    const bool has_value = parts.size() > 2;
    const std::string value = has_value ? parts[2] : std::string();

    check_readers(payload.c_str(), key.c_str());
    check_items(payload.c_str());
    check_typed_values(payload.c_str(), key.c_str());
    check_time_text(value);
    check_time_round_trip(payload.c_str(), key, value);

    // Another key already in the payload keeps its value when this one is set.
    char *other_key = nullptr;
    char *other_value = nullptr;
    if (nubrel_get_payload_item(payload.c_str(), 0, &other_key, &other_value) == 0) nubrel_free(other_value);
    Text before(other_key != nullptr ? nubrel_get_payload_value(payload.c_str(), other_key) : nullptr);

    Text updated(nubrel_strdup(payload.c_str()));
    const int32_t result = nubrel_set_payload_value(&updated.text, key.c_str(), has_value ? value.c_str() : nullptr);
    FUZZ_CHECK(result == (key.empty() ? -1 : 0));
    if (result == 0) {
        check_readers(updated.text, key.c_str());
        check_items(updated.text);
        if (is_writable_key(key) && is_writable_value(value)) {
            Text read(nubrel_get_payload_value(updated.text, key.c_str()));
            FUZZ_CHECK(read.text != nullptr && read.text == value);
            if (other_key != nullptr && key != other_key) {
                Text after(nubrel_get_payload_value(updated.text, other_key));
                FUZZ_CHECK(before.text != nullptr && after.text != nullptr);
                FUZZ_CHECK(std::strcmp(before.text, after.text) == 0);
            }
        }
    }
    nubrel_free(other_key);
    return 0;
}

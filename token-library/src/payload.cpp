// The payload text: key=value lines with trimming, quoting and
// backslash escaping; one line scanner shared by the readers and the writer.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace {

using std::string_view;

constexpr string_view kWhiteSpace = " \t\n\v\f\r";

string_view trim(string_view text) {
    const size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == string_view::npos) return {};
    const size_t last = text.find_last_not_of(kWhiteSpace);
    return text.substr(first, last - first + 1);
}

bool is_quote(char c) { return c == '\'' || c == '"'; }

// The three characters that a backslash escapes.
bool is_escapable(char c) { return c == '\'' || c == '"' || c == '\\'; }

// Removes matching quote pairs while there are any, so nested pairs all go.
string_view unquote(string_view value) {
    while (value.size() >= 2 && is_quote(value.front()) && value.front() == value.back()) {
        value.remove_prefix(1);
        value.remove_suffix(1);
    }
    return value;
}

// The number of escape pairs in a value.
size_t count_escape_pairs(string_view value) {
    size_t pairs = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && is_escapable(value[i + 1])) {
            ++pairs;
            ++i;
        }
    }
    return pairs;
}

// A new NUL-terminated copy of the parts joined, or null when out of memory.
char *concat(std::initializer_list<string_view> parts) {
    size_t length = 0;
    for (string_view part : parts) length += part.size();
    auto *buffer = static_cast<char *>(std::malloc(length + 1));
    if (buffer == nullptr) return nullptr;
    char *out = buffer;
    for (string_view part : parts) {
        if (!part.empty()) std::memcpy(out, part.data(), part.size());
        out += part.size();
    }
    *out = '\0';
    return buffer;
}

int as_int(size_t n) { return static_cast<int>(n); }

// ---- the line scanner ------------------------------------------------------

// Who scans: readers log skipped lines as warnings, the writer as errors.
enum class Scanner { reader, writer };

// One key/value line of the payload. Offsets are into the scanned payload.
struct Line {
    int number;        // counts every physical line from 0
    size_t start;      // first byte of the line
    size_t equals;     // the line's first '='
    size_t end;        // its line feed, or the end of the text
    string_view key;   // trimmed
    string_view value; // text after '=', trimmed, quotes still on
};

// Walks the lines from number `first` on (earlier lines are passed over
// without any check), logs and skips lines that are not key/value lines, and
// hands each key/value line to `visit` until it returns true. Returns whether
// `visit` stopped the scan.
template <typename Visit>
bool scan_lines(string_view payload, Scanner who, int first, Visit &&visit) {
    size_t start = 0;
    for (int number = 0; start < payload.size(); ++number) {
        const size_t feed = payload.find('\n', start);
        const size_t end = feed == string_view::npos ? payload.size() : feed;
        const size_t next = feed == string_view::npos ? payload.size() : feed + 1;
        if (number >= first) {
            const string_view text = payload.substr(start, end - start);
            const size_t equals = text.find('=');
            if (equals == string_view::npos) {
                if (who == Scanner::writer)
                    NBR_LOG(error, "The equals sign has not been found for the item %i of payload - skipping...\n",
                            number);
                else
                    NBR_LOG(warning, "The equals sign has not been found for the item %i of payload - skipping...\n",
                            number);
            } else if (const string_view key = trim(text.substr(0, equals)); key.empty()) {
                if (who == Scanner::writer)
                    NBR_LOG(error, "The payload line %i has no key (starts with the equal sign)\n", number);
                else
                    NBR_LOG(warning, "The payload line %i has no key\n", number);
            } else {
                const Line line{number, start, start + equals, end, key, trim(text.substr(equals + 1))};
                if (visit(line)) return true;
            }
        }
        start = next;
    }
    return false;
}

// The first key/value line whose key equals `key` (case-sensitive, whole length); false when none.
bool find_key(string_view payload, string_view key, Scanner who, Line *found) {
    return scan_lines(payload, who, 0, [&](const Line &line) {
        if (line.key != key) return false;
        *found = line;
        return true;
    });
}

// Rules 5 and 6 on a trimmed value: a new string with quote pairs removed and
// escape pairs reduced, or null when out of memory (the caller logs that).
char *copy_value(string_view raw) {
    const string_view value = unquote(raw);
    const size_t pairs = count_escape_pairs(value);
    NBR_LOG(detail, "Total characters escaped in the found value: %i\n", as_int(pairs));
    const size_t size = value.size() - pairs + 1;
    NBR_LOG(detail, "Allocating buffer of %i bytes for a value found by key in payload...\n", as_int(size));
    auto *copy = static_cast<char *>(std::malloc(size));
    if (copy == nullptr) return nullptr;
    char *out = copy;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && is_escapable(value[i + 1])) ++i;
        *out++ = value[i];
    }
    *out = '\0';
    return copy;
}

}  // namespace

extern "C" {

NUBREL_API char *nubrel_find_line(const char *payload, const char *key) {
    if (key == nullptr) {
        NBR_LOG(error, "Cannot find line of payload by key - key is NULL\n");
        return nullptr;
    }
    if (*key == '\0') {
        NBR_LOG(error, "Cannot find line of payload by key - key is empty\n");
        return nullptr;
    }
    if (payload == nullptr) {
        NBR_LOG(error, "Cannot find line of payload by key \"%s\" - payload is NULL\n", key);
        return nullptr;
    }
    if (*payload == '\0') {
        NBR_LOG(warning, "Cannot find line of payload by key \"%s\" - payload is empty\n", key);
        return nullptr;
    }
    NBR_LOG(detail, "Searching the key \"%s\"...\n", key);
    Line line{};
    if (!find_key(payload, key, Scanner::reader, &line)) {
        NBR_LOG(detail, "Key \"%s\" has not been found in the payload\n", key);
        return nullptr;
    }
    return const_cast<char *>(payload + line.start);
}

NUBREL_API char *nubrel_get_payload_value(const char *payload, const char *key) {
    if (key == nullptr) {
        NBR_LOG(error, "Cannot get value from payload - key is NULL\n");
        return nullptr;
    }
    if (*key == '\0') {
        NBR_LOG(error, "Cannot get value from payload - key is empty\n");
        return nullptr;
    }
    if (payload == nullptr) {
        NBR_LOG(error, "Cannot get value from payload by key \"%s\" - payload is NULL\n", key);
        return nullptr;
    }
    if (*payload == '\0') {
        NBR_LOG(warning, "Cannot get value from payload by key \"%s\" - payload is empty\n", key);
        return nullptr;
    }
    NBR_LOG(progress, "Searching value of key \"%s\"...\n", key);
    Line line{};
    if (!find_key(payload, key, Scanner::reader, &line)) {
        NBR_LOG(detail, "Key \"%s\" has not been found in the payload\n", key);
        return nullptr;
    }
    char *value = copy_value(line.value);
    if (value == nullptr) {
        NBR_LOG(error, "Cannot allocate buffer for a value found by key in payload - out of memory\n");
        return nullptr;
    }
    NBR_LOG(detail, "Value of key \"%s\": \"%s\"\n", key, value);
    return value;
}

NUBREL_API char **nubrel_get_payload_values_array(const char *payload, const char *key) {
    if (key == nullptr) {
        NBR_LOG(error, "Cannot get values from payload - key is NULL\n");
        return nullptr;
    }
    if (*key == '\0') {
        NBR_LOG(error, "Cannot get values from payload - key is empty\n");
        return nullptr;
    }
    if (payload == nullptr) {
        NBR_LOG(error, "Cannot get values from payload by key \"%s\" - payload is NULL\n", key);
        return nullptr;
    }
    if (*payload == '\0') {
        NBR_LOG(warning, "Cannot get values from payload by key \"%s\" - payload is empty\n", key);
        return nullptr;
    }
    NBR_LOG(progress, "Searching values of key \"%s\"...\n", key);
    const string_view wanted = key;
    char **array = nullptr;
    size_t count = 0;
    bool failed = false;
    scan_lines(payload, Scanner::reader, 0, [&](const Line &line) {
        if (line.key != wanted) return false;
        char *value = copy_value(line.value);
        if (value == nullptr) {
            NBR_LOG(error, "Cannot copy value of payload, found by key in payload - out of memory\n");
            failed = true;
            return true;
        }
        if (array == nullptr) {
            const size_t size = 2 * sizeof(char *);
            NBR_LOG(detail, "Allocating buffer of %i bytes for the array of values...\n", as_int(size));
            array = static_cast<char **>(std::malloc(size));
            if (array == nullptr) {
                NBR_LOG(error, "Cannot allocate array for storing values found by key in payload - out of memory\n");
                std::free(value);
                failed = true;
                return true;
            }
        } else {
            const size_t old_size = (count + 1) * sizeof(char *);
            const size_t new_size = old_size + sizeof(char *);
            NBR_LOG(detail, "Reallocating buffer from %i to %i bytes for the array of values...\n", as_int(old_size),
                    as_int(new_size));
            auto *grown = static_cast<char **>(std::realloc(array, new_size));
            if (grown == nullptr) {
                NBR_LOG(error, "Cannot reallocate array for values - out of memory\n");
                std::free(value);
                failed = true;
                return true;
            }
            array = grown;
        }
        array[count++] = value;
        array[count] = nullptr;
        NBR_LOG(detail, "Value %i of key \"%s\": %s\n", as_int(count), key, value);
        return false;
    });
    if (failed) {
        nubrel_free_values_array(array);
        return nullptr;
    }
    NBR_LOG(detail, "Total values, found in payload by key \"%s\": %i\n", key, as_int(count));
    return array;
}

NUBREL_API void nubrel_free_values_array(char **array) {
    if (array == nullptr) return;
    NBR_LOG(detail, "Releasing values in the array...\n");
    for (char **entry = array; *entry != nullptr; ++entry) {
        std::free(*entry);
        *entry = nullptr;
    }
    NBR_LOG(detail, "Releasing buffer, allocated for the array...\n");
    std::free(array);
}

NUBREL_API int32_t nubrel_get_payload_item(const char *payload, int32_t index, char **key, char **value) {
    if (key != nullptr) *key = nullptr;
    if (value != nullptr) *value = nullptr;
    if (key == nullptr) {
        NBR_LOG(error, "Cannot get a payload item - output storage of key is NULL\n");
        return -1;
    }
    if (value == nullptr) {
        NBR_LOG(error, "Cannot get a payload item - output storage of value is NULL\n");
        return -1;
    }
    if (payload == nullptr) {
        NBR_LOG(error, "Cannot get a payload item - payload is NULL\n");
        return -1;
    }
    if (*payload == '\0') {
        NBR_LOG(warning, "Cannot get a payload item - payload is empty\n");
        return -1;
    }
    if (index < 0) {
        NBR_LOG(error, "Cannot get a payload item - item index is negative\n");
        return -1;
    }
    NBR_LOG(detail, "Searching value item %i in the payload...\n", index);
    Line line{};
    const bool found = scan_lines(payload, Scanner::reader, index, [&](const Line &candidate) {
        line = candidate;
        return true;
    });
    if (!found) {
        NBR_LOG(detail, "Cannot get a payload item %i - no such item\n", index);
        return -1;
    }
    // The payload is NUL-terminated, so neither view holds a NUL.
    char *key_copy = concat({line.key});
    if (key_copy == nullptr) {
        NBR_LOG(error, "Cannot copy the found key of payload - out of memory\n");
        return -1;
    }
    char *value_copy = concat({unquote(line.value)});
    if (value_copy == nullptr) {
        NBR_LOG(error, "Cannot copy value of payload - out of memory\n");
        std::free(key_copy);
        return -1;
    }
    *key = key_copy;
    *value = value_copy;
    return 0;
}

NUBREL_API int32_t nubrel_set_payload_value(char **payload, const char *key, const char *value) {
    if (payload == nullptr) {
        NBR_LOG(error, "Cannot set value into payload - payload storage is NULL\n");
        return -1;
    }
    if (key == nullptr) {
        NBR_LOG(error, "Cannot set value into payload - key is NULL\n");
        return -1;
    }
    if (*key == '\0') {
        NBR_LOG(error, "Cannot set value into payload - key is empty\n");
        return -1;
    }

    // The stored form of the value: escapes, and apostrophes around a value with spaces.
    string_view stored;
    char *stored_buffer = nullptr;  // owned when quoting or escaping was needed
    if (value == nullptr) {
        NBR_LOG(detail, "Treating null value as an empty value...");
    } else {
        const string_view plain = value;
        size_t escapes = 0;
        bool has_space = false;
        for (char c : plain) {
            if (is_escapable(c)) ++escapes;
            if (c == ' ') has_space = true;
        }
        if (has_space)
            NBR_LOG(detail, "The given value has spaces and needs to be surrounded by a pair of single quotes\n");
        else
            NBR_LOG(detail,
                    "The given value has no spaces and does not need to be surrounded by a pair of single quotes\n");
        NBR_LOG(detail, "%i characters should be escaped in the given value via preceding backslash\n",
                as_int(escapes));
        if (has_space || escapes > 0) {
            const size_t size = plain.size() + escapes + (has_space ? 2 : 0) + 1;
            NBR_LOG(detail, "Allocating buffer of %i bytes to fit the updated value...\n", as_int(size));
            stored_buffer = static_cast<char *>(std::malloc(size));
            if (stored_buffer == nullptr) {
                NBR_LOG(error, "Cannot update the given value before adding into payload - out of memory\n");
                return -1;
            }
            char *out = stored_buffer;
            if (has_space) *out++ = '\'';
            for (char c : plain) {
                if (is_escapable(c)) *out++ = '\\';
                *out++ = c;
            }
            if (has_space) *out++ = '\'';
            *out = '\0';
            stored = string_view(stored_buffer, static_cast<size_t>(out - stored_buffer));
        } else {
            stored = plain;
        }
    }

    char *updated = nullptr;
    int32_t result = -1;
    if (*payload == nullptr) {
        NBR_LOG(detail, "Payload buffer is not supplied - allocating a new one of size %i bytes...\n",
                as_int(std::strlen(key) + stored.size() + 3));
        updated = concat({key, "=", stored, "\n"});
        if (updated == nullptr) {
            NBR_LOG(error, "Cannot allocate a payload buffer - out of memory\n");
        } else {
            *payload = updated;
            result = 0;
        }
        std::free(stored_buffer);
        return result;
    }

    const string_view old = *payload;
    NBR_LOG(detail, "Searching value of key \"%s\"...\n", key);
    Line line{};
    if (find_key(old, key, Scanner::writer, &line)) {
        NBR_LOG(detail, "Key \"%s\" has been found\n", key);
        const string_view old_stored = old.substr(line.equals + 1, line.end - line.equals - 1);
        if (old_stored == stored) {
            NBR_LOG(detail, "Old and new value are identical - no need to update the payload\n");
            std::free(stored_buffer);
            return 0;
        }
        const string_view head = old.substr(0, line.equals + 1);
        const string_view tail = old.substr(line.end);
        NBR_LOG(detail, "Allocating new payload buffer of %i bytes to update the key/value definition...\n",
                as_int(head.size() + stored.size() + tail.size()));
        updated = concat({head, stored, tail});
        if (updated == nullptr)
            NBR_LOG(error, "Cannot allocate new payload buffer to update the value - out of memory\n");
    } else {
        NBR_LOG(detail, "Key \"%s\" has not been found in the payload\n", key);
        const bool insert_feed = !old.empty() && old.back() != '\n';
        const string_view feed = insert_feed ? "\n" : "";
        NBR_LOG(detail, "Allocating new payload buffer of %i bytes to append the key/value definition...\n",
                as_int(old.size() + std::strlen(key) + stored.size() + 3 + (insert_feed ? 1 : 0)));
        updated = concat({old, feed, key, "=", stored, "\n"});
        if (updated == nullptr) NBR_LOG(error, "Cannot append the key/value definition - out of memory\n");
    }
    std::free(stored_buffer);
    if (updated == nullptr) return -1;

    NBR_LOG(detail, "Releasing the old payload buffer...\n");
    std::free(*payload);
    NBR_LOG(detail, "Setting an updated payload buffer for output...\n");
    *payload = updated;
    return 0;
}

}  // extern "C"

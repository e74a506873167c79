// The module's Apache-free request parsing. An input is a selector byte, a
// name up to the first NUL (the token or cookie name, the base URL of a
// resume, or an attribute prefix) and the request text after it. The
// selector picks the part under test:
//   0  token search in a query string, a posted body and a Cookie value
//   1  the resume redirect of a logout
//   2  removing the token parameter from a request URL
//   3  the HTTP address check and URL-safe encoding
//   4  attribute values and names, and the payload as the library reads it
//   5  the readings of a request path that protected-area patterns see
#include "request/attributes.h"
#include "request/path_forms.h"
#include "response/request_url.h"
#include "request/resume_url.h"
#include "request/token_search.h"
#include "response/url_syntax.h"
#include "fuzz_check.h"
#include "nubrel.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t npos = std::string_view::npos;

bool within(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

bool is_trimmed(std::string_view text) { return qv::trim(text) == text; }

// A parameter value as the searches hand it out: a trimmed piece of the text
// that does not run into the next parameter.
void check_query_value(std::string_view value, std::string_view text) {
    FUZZ_CHECK(within(value, text) && is_trimmed(value) && value.find('&') == npos);
}

// True when a pair of the name starts at `at` of a Cookie value: at its start
// or after ';' or ',', with white space between.
bool starts_cookie_pair(std::string_view text, size_t at) {
    while (at > 0 && qv::is_space(text[at - 1])) --at;
    return at == 0 || text[at - 1] == ';' || text[at - 1] == ',';
}

void check_token_search(std::string_view name, std::string_view text) {
    const size_t at = qv::find_query_parameter(text, name);
    if (at != npos) {
        FUZZ_CHECK(text.substr(at, name.size()) == name && text.substr(at + name.size(), 1) == "=");
        size_t before = at;
        while (before > 0 && qv::is_space(text[before - 1])) --before;
        FUZZ_CHECK(at == 0 || (before > 0 && (text[before - 1] == '&' || text[before - 1] == '?')));
    }
    if (name.empty()) FUZZ_CHECK(at == npos);

    const auto value = qv::query_parameter_value(text, name);
    FUZZ_CHECK(value.has_value() == (at != npos));
    if (value) {
        check_query_value(*value, text);
        if (!value->empty()) FUZZ_CHECK(value->data() > text.data() + at + name.size());
    }

    const qv::CookieToken cookie = qv::cookie_token(text, name);
    if (cookie.kind == qv::CookieTokenKind::found) {
        FUZZ_CHECK(!cookie.value.empty() && within(cookie.value, text) && is_trimmed(cookie.value));
        FUZZ_CHECK(cookie.value.find(';') == npos && cookie.value.find(',') == npos);
        // The value follows "name=" (and white space) at the start of a pair.
        size_t equals = static_cast<size_t>(cookie.value.data() - text.data());
        while (equals > 0 && qv::is_space(text[equals - 1])) --equals;
        FUZZ_CHECK(equals > name.size() && text[equals - 1] == '=');
        const size_t name_at = equals - 1 - name.size();
        FUZZ_CHECK(text.substr(name_at, name.size()) == name && starts_cookie_pair(text, name_at));
    } else {
        FUZZ_CHECK(cookie.value.empty());
    }
    if (cookie.kind != qv::CookieTokenKind::absent) FUZZ_CHECK(text.find(name) != npos);

    // A posted body starts with the assignment or is not the token's.
    const bool posted = qv::is_token_assignment(text, name);
    if (!name.empty()) FUZZ_CHECK(posted == (text.size() > name.size() && text.starts_with(name) && text[name.size()] == '='));
    if (posted) {
        const std::string_view body_value = qv::posted_token_value(text, name.size());
        FUZZ_CHECK(within(body_value, text) && is_trimmed(body_value));
        if (!body_value.empty()) FUZZ_CHECK(body_value.data() > text.data() + name.size());
    }
}

bool is_header_safe(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f;
    });
}

void check_resume(std::string_view base, std::string_view resume) {
    std::string_view tail = resume;
    if (!tail.empty() && tail.front() == '/') tail.remove_prefix(1);
    const std::string joined = qv::join_resume_url(base, resume);
    const bool base_has_slash = !base.empty() && base.back() == '/';
    FUZZ_CHECK(joined.size() == base.size() + (base_has_slash ? 0 : 1) + tail.size());
    FUZZ_CHECK(joined.starts_with(base) && joined.ends_with(tail));
    FUZZ_CHECK(joined[base.size() - (base_has_slash ? 1 : 0)] == '/');

    const auto url = qv::resume_redirect_url(base, resume);
    const std::string origin = qv::url_origin(base);
    if (url) {
        // Never another host, never a header split.
        FUZZ_CHECK(*url == joined && is_header_safe(resume));
        FUZZ_CHECK(qv::url_origin(*url) == origin);
        return;
    }
    // A well-formed base URL that names its host takes any value a header can carry.
    const size_t colon = origin.find(':');
    const bool names_host = colon != npos && origin.size() > colon + 1;
    FUZZ_CHECK(!is_header_safe(resume) || qv::check_http_url(base).problem != nullptr || !names_host);
}

void check_removal(std::string_view name, std::string_view text) {
    std::string url(text);
    const size_t removed = qv::remove_token_parameter(url, name);
    const size_t query = text.find('?');
    if (name.empty() || query == npos) {
        FUZZ_CHECK(removed == 0 && url == text);
        return;
    }
    // Only the query changes, and only by losing parameters.
    FUZZ_CHECK(url.size() >= query && url.size() <= text.size() && text.starts_with(url.substr(0, query)));
    FUZZ_CHECK((removed == 0) == (url == text));
    FUZZ_CHECK((removed > 0) == (qv::find_query_parameter(text.substr(query + 1), name) != npos));
    // No token parameter is left for the next request to carry.
    if (url.size() > query) FUZZ_CHECK(qv::find_query_parameter(std::string_view(url).substr(query + 1), name) == npos);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void check_url_syntax(std::string_view login_url, std::string_view text) {
    const qv::UrlCheck check = qv::check_http_url(text);
    FUZZ_CHECK((check.problem == nullptr) == qv::http_url_problem(text).empty());
    if (check.problem == nullptr) {
        std::string scheme(text.substr(0, text.find(':')));
        std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](char c) { return c | 0x20; });
        FUZZ_CHECK(scheme == "http" || scheme == "https");
        const std::string_view authority = text.substr(scheme.size() + 3);
        FUZZ_CHECK(text.substr(scheme.size(), 3) == "://" && !authority.empty());
        FUZZ_CHECK(authority.front() != '/' && authority.front() != ' ');
    }

    // The encoding holds only URL-safe bytes and "%XX", and decodes back.
    const std::string encoded = qv::url_safe_encode(text);
    FUZZ_CHECK(encoded.size() == text.size() + 2 * qv::count_url_unsafe(text));
    std::string decoded;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            FUZZ_CHECK(qv::is_url_safe_byte(static_cast<unsigned char>(encoded[i])));
            decoded.push_back(encoded[i]);
            continue;
        }
        FUZZ_CHECK(i + 2 < encoded.size() && hex_value(encoded[i + 1]) >= 0 && hex_value(encoded[i + 2]) >= 0);
        decoded.push_back(static_cast<char>(hex_value(encoded[i + 1]) * 16 + hex_value(encoded[i + 2])));
        i += 2;
    }
    FUZZ_CHECK(decoded == text);
    const std::string login = qv::login_url_with_target(login_url, text);
    FUZZ_CHECK(login.starts_with(login_url) && login.ends_with(encoded));
}

// The module exposes each payload line's value as the library reads it.
void check_payload_agreement(std::string_view text) {
    const std::string payload(text.substr(0, text.find('\0')));
    std::string_view rest = payload;
    qv::PayloadItem item;
    std::set<std::string> seen;
    for (int items = 0; items < 16 && qv::next_payload_item(rest, item); ++items) {
        const std::string key(qv::trim(item.key));
        if (key.empty() || !seen.insert(key).second) continue;
        char *library = nubrel_get_payload_value(payload.c_str(), key.c_str());
        FUZZ_CHECK(library != nullptr);
        FUZZ_CHECK(qv::unescape_value(qv::strip_value(item.value)) == library);
        nubrel_free(library);
    }
}

void check_attributes(std::string_view prefix, std::string_view text) {
    const std::string_view stripped = qv::strip_value(text);
    FUZZ_CHECK(within(stripped, text));
    const size_t pairs = qv::escaped_pair_count(stripped);
    FUZZ_CHECK(2 * pairs <= stripped.size());
    // Exactly the size the module allocates: writing one byte more is an overflow.
    const size_t size = stripped.size() - pairs + 1;
    auto *out = static_cast<char *>(std::malloc(size));
    FUZZ_CHECK(out != nullptr);
    qv::unescape_into(out, stripped);
    FUZZ_CHECK(out[size - 1] == '\0');
    const std::string value = qv::unescape_value(stripped);
    FUZZ_CHECK(value.size() == size - 1 && value.size() <= text.size());
    FUZZ_CHECK(std::memcmp(out, value.data(), value.size()) == 0);
    std::free(out);

    const size_t name_size = prefix.size() + stripped.size() + 1;
    auto *name = static_cast<char *>(std::malloc(name_size));
    FUZZ_CHECK(name != nullptr);
    qv::attribute_name_into(name, prefix, stripped);
    FUZZ_CHECK(name[name_size - 1] == '\0');
    const std::string concatenated = std::string(prefix) + std::string(stripped);
    FUZZ_CHECK(qv::header_names_equal(std::string_view(name, name_size - 1), concatenated) == !concatenated.empty());
    std::free(name);
    FUZZ_CHECK(qv::header_names_equal(prefix, text) == qv::header_names_equal(text, prefix));
    if (qv::header_names_equal(prefix, text)) FUZZ_CHECK(qv::header_has_prefix(text, prefix));

    check_payload_agreement(text);
}

// A resolved path has no empty or dot segment left, keeps its leading '/',
// and stays as it is when resolved again; every other reading differs from
// the path and from each other.
void check_path_forms(std::string_view path) {
    const std::string resolved = qv::with_dot_segments_resolved(path);
    FUZZ_CHECK(qv::with_dot_segments_resolved(resolved) == resolved);
    FUZZ_CHECK(resolved.find("//") == npos);
    FUZZ_CHECK(!path.starts_with('/') || resolved.starts_with('/'));
    for (const std::string_view dot : {"/./", "/../"}) FUZZ_CHECK(resolved.find(dot) == npos);
    FUZZ_CHECK(!resolved.ends_with("/.") && !resolved.ends_with("/.."));
    FUZZ_CHECK(qv::without_path_parameters(path).find(';') == npos);
    const std::string folded = qv::with_slashes_folded(path);
    FUZZ_CHECK(folded.find('\\') == npos && folded.size() <= path.size());
    const std::vector<std::string> forms = qv::other_path_forms(path);
    for (size_t i = 0; i < forms.size(); ++i) {
        FUZZ_CHECK(forms[i] != path);
        for (size_t j = i + 1; j < forms.size(); ++j) FUZZ_CHECK(forms[i] != forms[j]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char *>(data + 1), size - 1);
    const size_t nul = input.find('\0');
    const std::string_view name = nul == npos ? std::string_view() : input.substr(0, nul);
    const std::string_view text = nul == npos ? input : input.substr(nul + 1);
    switch (data[0] % 6) {
    case 0: check_token_search(name, text); break;
    case 1: check_resume(name, text); break;
    case 2: check_removal(name, text); break;
    case 3: check_url_syntax(name, text); break;
    case 4: check_attributes(name, text); break;
    case 5: check_path_forms(text); break;
    }
    return 0;
}

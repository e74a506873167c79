// A module loaded before mod_qv that exports, with wrong answers, every
// function of libnubrel that the library itself calls. Apache loads modules
// with global symbol visibility, so these definitions come first in the
// process's lookup order: a library that reached its own functions through
// the PLT would get these answers, and tokens would neither decode nor encode.
//
// Calls that come straight from mod_qv are passed on to the library: nothing
// on the library's side can keep a caller's own calls, and the test is about
// the library's. Each name logs once to standard error (Apache's error log)
// which way it went:
//   qv-interposer: NAME answered a call from FILE
//   qv-interposer: NAME passed a call from mod_qv on
#include <httpd.h>
#include <http_config.h>

#include <nubrel.h>

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" {
extern module AP_MODULE_DECLARE_DATA qv_nubrel_interposer_module;
}

namespace {

const char *caller_file(const void *return_address) {
    Dl_info info{};
    if (::dladdr(return_address, &info) == 0 || info.dli_fname == nullptr) return "?";
    return info.dli_fname;
}

bool from_agent(const char *file) { return std::string_view(file).ends_with("/mod_qv.so"); }

// The library's own definition, looked up in the library itself.
template <typename Function>
Function library_function(const char *name) {
    static void *const library = ::dlopen("libnubrel.so.2", RTLD_NOW | RTLD_NOLOAD);
    void *address = library != nullptr ? ::dlsym(library, name) : nullptr;
    if (address == nullptr) {
        std::fprintf(stderr, "qv-interposer: cannot find %s in libnubrel.so.2\n", name);
        std::fflush(stderr);
        std::abort();
    }
    return reinterpret_cast<Function>(address);
}

// One line per name and way, so that the log shows what reached this module.
void note_once(std::atomic<bool> &noted, const char *name, const char *what, const char *file) {
    if (noted.exchange(true)) return;
    std::fprintf(stderr, "qv-interposer: %s %s%s\n", name, what, file);
    std::fflush(stderr);
}

}  // namespace

// Forwards calls from mod_qv, answers WRONG to all others.
#define QV_INTERPOSE(result, name, wrong, parameters, arguments)                            \
    extern "C" result name parameters {                                                     \
        static std::atomic<bool> passed_on{false}, answered{false};                         \
        const char *file = caller_file(__builtin_return_address(0));                        \
        if (from_agent(file)) {                                                             \
            note_once(passed_on, #name, "passed a call from mod_qv on", "");                \
            return library_function<decltype(&name)>(#name) arguments;                      \
        }                                                                                   \
        note_once(answered, #name, "answered a call from ", file);                          \
        return wrong;                                                                       \
    }

QV_INTERPOSE(int32_t, base64_decode, -1,
             (const char *input, int32_t input_length, unsigned char **output, int32_t *output_length),
             (input, input_length, output, output_length))
QV_INTERPOSE(int32_t, base64_url_safe_modified_decode, -1,
             (const char *input, int32_t input_length, unsigned char **output, int32_t *output_length),
             (input, input_length, output, output_length))
QV_INTERPOSE(int32_t, base64_url_safe_modified_encode, -1,
             (const unsigned char *input, int32_t input_length, char **output, int32_t *output_length),
             (input, input_length, output, output_length))
QV_INTERPOSE(int32_t, generate_password_based_key, -1,
             (const unsigned char *password, int32_t password_length, int32_t suite, const unsigned char *salt,
              int32_t salt_length, int32_t iterations, unsigned char **key, int32_t *key_length),
             (password, password_length, suite, salt, salt_length, iterations, key, key_length))
QV_INTERPOSE(int32_t, generate_random_ivec, -1, (unsigned char *buffer, int32_t length), (buffer, length))
QV_INTERPOSE(int32_t, is_keymanager_available, 0, (nubrel_instance * handle), (handle))
QV_INTERPOSE(int32_t, is_password_based_generation_available, 0, (nubrel_instance * handle), (handle))
QV_INTERPOSE(int32_t, is_valid_cipher_suite, 0, (int32_t suite), (suite))
QV_INTERPOSE(const char *, nubrel_get_cipher_suite_name, "interposed", (int32_t suite), (suite))
QV_INTERPOSE(char *, nubrel_get_payload_value, nullptr, (const char *payload, const char *key), (payload, key))
QV_INTERPOSE(int32_t, nubrel_set_payload_value, -1, (char **payload, const char *key, const char *value),
             (payload, key, value))
QV_INTERPOSE(int32_t, nubrel_get_time, -1, (const char *text, int64_t *time), (text, time))
QV_INTERPOSE(void, nubrel_free_values_array, void(), (char **array), (array))
QV_INTERPOSE(int32_t, set_nubrel_cipher_suite, -1, (nubrel_instance * handle, int32_t suite), (handle, suite))
QV_INTERPOSE(int32_t, set_nubrel_cipher_suite_str, -1, (nubrel_instance * handle, const char *suite),
             (handle, suite))
QV_INTERPOSE(int32_t, set_nubrel_password, -1, (nubrel_instance * handle, const char *password_b64),
             (handle, password_b64))

extern "C" {
module AP_MODULE_DECLARE_DATA qv_nubrel_interposer_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, AP_MODULE_FLAG_NONE,
};
}

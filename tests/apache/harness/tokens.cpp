#include "tokens.h"

#include <nubrel.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace qvtest {

namespace {

struct InstanceDeleter {
    void operator()(nubrel_instance *handle) const { nubrel_release_instance(handle); }
};
using Instance = std::unique_ptr<nubrel_instance, InstanceDeleter>;

Instance keyed_instance(std::string_view password) {
    Instance instance(nubrel_create_instance());
    char *text = nullptr;
    int32_t length = 0;
    if (!instance || base64_encode(reinterpret_cast<const unsigned char *>(password.data()),
                                   static_cast<int32_t>(password.size()), &text, &length) != 0)
        throw std::runtime_error("cannot prepare a library instance");
    const int32_t result = set_nubrel_password(instance.get(), text);
    nubrel_free(text);
    if (result != 0) throw std::runtime_error("cannot set the password");
    return instance;
}

}  // namespace

std::string make_token(std::string_view payload, int suite, std::string_view password) {
    const Instance instance = keyed_instance(password);
    std::string text(payload);
    nubrel_tokendata data{};
    data.version = 1;
    data.cipher_suite = static_cast<uint8_t>(suite);
    data.payload_length = static_cast<uint32_t>(text.size());
    data.payload = text.data();
    char *token = nubrel_encode(instance.get(), &data, nullptr, nullptr, nullptr);
    if (token == nullptr) throw std::runtime_error("nubrel_encode failed");
    std::string result(token);
    nubrel_free(token);
    return result;
}

std::optional<std::string> token_payload(std::string_view token, std::string_view password) {
    const Instance instance = keyed_instance(password);
    const std::string text(token);
    nubrel_tokendata data{};
    if (nubrel_decode(instance.get(), text.c_str(), &data, nullptr, nullptr, nullptr) != 0) return std::nullopt;
    std::string payload = data.payload != nullptr ? std::string(data.payload, data.payload_length) : std::string();
    nubrel_free_tokendata(&data);
    return payload;
}

CommandResult run_tool(const std::vector<std::string> &arguments, std::string_view input) {
    CommandResult result;
    const std::string tool = tool_path();
    if (tool.empty()) return result;
    char input_path[] = "/tmp/qv-tool-input-XXXXXX";
    const int fd = ::mkstemp(input_path);
    if (fd < 0) return result;
    const bool written = ::write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size());
    ::close(fd);
    if (written) result = run_command(tool, arguments, std::string("< ") + input_path);
    ::unlink(input_path);
    return result;
}

std::string tool_path() {
#ifdef QV_TOOL_PATH
    return QV_TOOL_PATH;
#else
    return {};
#endif
}

}  // namespace qvtest

// Tokens for bench-apache's "unique" workload: COUNT distinct tokens, one per
// line, each the template token's session with a line of its own added, made
// with the agent file's password and cipher suite.
//
//   bench_mint_tokens AGENT_FILE TEMPLATE_TOKEN COUNT > tokens.txt
#include "nubrel.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s AGENT_FILE TEMPLATE_TOKEN COUNT\n", argv[0]);
        return 2;
    }
    nubrel_instance *handle = nubrel_create_instance();
    if (handle == nullptr || set_quorvelagent_configuration_file(handle, argv[1]) != 0) return 1;
    nubrel_tokendata data{};
    if (nubrel_decode(handle, argv[2], &data, nullptr, nullptr, nullptr) != 0) return 1;
    const std::string payload(data.payload, data.payload_length);
    const long count = std::strtol(argv[3], nullptr, 10);
    std::string text;
    for (long i = 0; i < count; ++i) {
        text = payload + "bench-request=" + std::to_string(i) + "\n";
        nubrel_tokendata fresh = data;
        fresh.payload = text.data();
        fresh.payload_length = static_cast<uint32_t>(text.size());
        char *token = nubrel_encode(handle, &fresh, nullptr, nullptr, nullptr);
        if (token == nullptr) return 1;
        std::fputs(token, stdout);
        std::fputc('\n', stdout);
        nubrel_free(token);
    }
    nubrel_free_tokendata(&data);
    nubrel_release_instance(handle);
    return 0;
}

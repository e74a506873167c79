// The agent configuration file reader. The library reads a file by its path,
// so each input is written to an in-memory file and read through /proc.
#include "fuzz_check.h"
#include "nubrel.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

// One in-memory file for the whole run, rewritten for each input.
struct MemoryFile {
    int fd;
    std::string path;
};

const MemoryFile &memory_file() {
    static const MemoryFile file = [] {
        const int fd = memfd_create("agent.conf", 0);
        FUZZ_CHECK(fd >= 0);
        return MemoryFile{fd, "/proc/self/fd/" + std::to_string(fd)};
    }();
    return file;
}

void write_file(const uint8_t *data, size_t size) {
    const int fd = memory_file().fd;
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    size_t written = 0;
    while (written < size) {
        const ssize_t n = pwrite(fd, data + written, size - written, static_cast<off_t>(written));
        FUZZ_CHECK(n > 0);
        written += static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    write_file(data, size);
    nubrel_instance *handle = nubrel_create_instance();
    FUZZ_CHECK(handle != nullptr);
    const int32_t result = set_quorvelagent_configuration_file(handle, memory_file().path.c_str());
    FUZZ_CHECK(result == 0 || result == -1);
    // A file reported as read has given the instance a password.
    if (result == 0) FUZZ_CHECK(is_password_based_generation_available(handle) == 1);
    int32_t suite = -1;
    FUZZ_CHECK(get_nubrel_cipher_suite(handle, &suite) == 0 && is_valid_cipher_suite(suite) == 1);
    FUZZ_CHECK(nubrel_release_instance(handle) == 0);
    return 0;
}

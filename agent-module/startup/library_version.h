// The library's version text ("Nubrel/major.minor.patch") and what it allows.
#pragma once

#include <string_view>

namespace qv {

struct LibraryVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
};

// Reads "Nubrel/%i.%i.%i"; false unless all three numbers are there.
bool parse_library_version(std::string_view text, LibraryVersion &version);

// Obfuscated passwords are understood from version 1.3.0 on.
constexpr bool supports_obfuscated_password(const LibraryVersion &v) {
    return v.major > 1 || (v.major == 1 && v.minor > 2);
}

}  // namespace qv

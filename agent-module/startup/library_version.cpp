#include "startup/library_version.h"

#include <cstdio>
#include <string>

namespace qv {

bool parse_library_version(std::string_view text, LibraryVersion &version) {
    const std::string copy(text);
    LibraryVersion parsed;
    if (std::sscanf(copy.c_str(), "Nubrel/%i.%i.%i", &parsed.major, &parsed.minor, &parsed.patch) != 3) return false;
    version = parsed;
    return true;
}

}  // namespace qv

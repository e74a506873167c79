// Writes the module's built-in page templates into a folder, as the files
// that `cmake --install` puts beside the module's configuration.
#include "response/page_text.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

namespace {

bool write_file(const std::string &path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!text.empty() && text.back() != '\n') out.put('\n');
    out.close();
    if (!out) {
        std::fprintf(stderr, "qv_write_templates: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qv_write_templates FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const bool ok = write_file(folder + "/error-page.html", qv::kBuiltinErrorPage) &&
                    write_file(folder + "/start-page.html", qv::kBuiltinStartPage);
    return ok ? 0 : 1;
}

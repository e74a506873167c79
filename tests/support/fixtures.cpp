#include "fixtures.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace testutil {

// A level above 5 changes nothing and reports the level in force.
VerboseLevel::VerboseLevel(unsigned level) : old_(set_nubrel_verbose_level(6)) { set_nubrel_verbose_level(level); }

VerboseLevel::~VerboseLevel() { set_nubrel_verbose_level(static_cast<unsigned>(old_)); }

std::string to_base64(std::string_view bytes) {
    char *text = nullptr;
    int32_t length = 0;
    if (base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int32_t>(bytes.size()), &text,
                      &length) != 0)
        return {};
    std::string result(text, static_cast<size_t>(length));
    nubrel_free(text);
    return result;
}

Instance make_instance(std::string_view password) {
    Instance handle(nubrel_create_instance());
    // A password the library refuses leaves no instance: tests then fail at once.
    if (handle && !password.empty() && set_nubrel_password(handle.get(), to_base64(password).c_str()) != 0)
        handle.reset();
    return handle;
}

bool holds_password(nubrel_instance *handle, std::string_view plain) {
    const std::string payload = "subject=joe\n";
    nubrel_tokendata data{};
    data.version = 1;
    data.cipher_suite = NUBREL_SUITE_AES256;
    data.payload = const_cast<char *>(payload.c_str());
    data.payload_length = static_cast<uint32_t>(payload.size());
    Owned<char> token(nubrel_encode(handle, &data, nullptr, nullptr, nullptr));
    if (!token) return false;
    Instance reader = make_instance(plain);
    nubrel_tokendata decoded{};
    const bool opened = nubrel_decode(reader.get(), token.get(), &decoded, nullptr, nullptr, nullptr) == 0;
    nubrel_free_tokendata(&decoded);
    return opened;
}

std::string write_temp_file(const std::string &name, std::string_view contents) {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "nubrel-tests" /
                                (info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "misc");
    std::filesystem::create_directories(dir);
    const auto path = dir / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return path.string();
}

}  // namespace testutil

void LibraryTest::SetUp() {
    old_level_ = set_nubrel_verbose_level(6);
    set_nubrel_verbose_level(5);
    testlog::clear();
}

void LibraryTest::TearDown() { set_nubrel_verbose_level(static_cast<unsigned>(old_level_)); }

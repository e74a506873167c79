// Shared helpers for the library's unit tests.
#pragma once

#include "log_capture.h"
#include "nubrel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

namespace testutil {

struct InstanceDeleter {
    void operator()(nubrel_instance *handle) const { nubrel_release_instance(handle); }
};
using Instance = std::unique_ptr<nubrel_instance, InstanceDeleter>;

struct FreeDeleter {
    void operator()(void *pointer) const { nubrel_free(pointer); }
};
// A buffer handed out by the library.
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

// Sets the library's verbose level for the scope and restores the old one.
class VerboseLevel {
public:
    explicit VerboseLevel(unsigned level);
    ~VerboseLevel();
    VerboseLevel(const VerboseLevel &) = delete;
    VerboseLevel &operator=(const VerboseLevel &) = delete;

private:
    int old_;
};

// Standard base64 of bytes, through the library's encoder.
std::string to_base64(std::string_view bytes);

// A fresh instance; with a password when one is given (plain text).
Instance make_instance(std::string_view password = {});

// True when a token made with the instance's keys opens with keys derived
// from the plain password.
bool holds_password(nubrel_instance *handle, std::string_view plain);

// Writes a file under the test's temporary folder and returns its path.
std::string write_temp_file(const std::string &name, std::string_view contents);

}  // namespace testutil

// Every library test runs at the highest verbose level with a clean capture.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    int old_level_ = 0;
};

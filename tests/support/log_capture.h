// Captures the library's log lines: the test executable exports the web
// server's logger symbol, which the library binds to instead of stderr.
#pragma once

#include <string>
#include <vector>

namespace testlog {

struct Line {
    int level;  // Apache level with the no-errno flag removed
    std::string text;
};

// Clears the captured lines.
void clear();
// Every line captured since the last clear().
std::vector<Line> lines();
// True when a captured line equals the text exactly.
bool has(const std::string &text);
// True when a captured line contains the fragment.
bool has_fragment(const std::string &fragment);
// All captured texts joined by line feeds, for failure messages.
std::string dump();

// Apache levels as they reach the logger.
constexpr int kError = 3;
constexpr int kWarning = 4;
constexpr int kInfo = 6;

}  // namespace testlog

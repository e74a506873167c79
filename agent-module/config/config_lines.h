// Line syntax of the two files the module reads: the module configuration
// file ("Name value") and the agent configuration file ("key = value").
#pragma once

#include <cstddef>
#include <string_view>

namespace qv {

enum class LineKind {
    skip,           // blank or comment
    entry,          // key and value
    no_key,         // agent file: the line starts with '='
    no_assignment,  // agent file: a key without '='
};

struct ConfigLine {
    LineKind kind = LineKind::skip;
    std::string_view key;
    std::string_view value;  // trimmed; may be empty
};

// A directive line: the name runs up to the first white space, the value is
// the rest. '#' ends the content of any line.
ConfigLine parse_directive_line(std::string_view line);

// An agent-file line: the key runs up to white space or '=', then '=' must
// follow (white space allowed around it).
ConfigLine parse_agent_line(std::string_view line);

// Walks a buffer line by line; a line runs up to and including the next line
// feed, or to the end of the buffer. Line numbers start at 1 and count every
// line.
struct LineReader {
    std::string_view rest;
    int number = 0;

    explicit LineReader(std::string_view text) : rest(text) {}
    // The next line, or false at the end of the buffer.
    bool next(std::string_view &line);
};

}  // namespace qv

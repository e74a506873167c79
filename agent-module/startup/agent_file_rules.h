// The agent's own keys of the agent configuration file, judged as start-up
// judges them, over the file's text alone: for tools that check a file
// before Apache reads it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct AgentFileProblem {
    int line = 0;        // 0 for the file as a whole
    std::string text;    // "token-lifetime = \"30m\" has text after the number"
};

struct AgentFileFindings {
    std::vector<AgentFileProblem> problems;
    int cipher_suite = 2;           // the agent's suite: the file's, else the agent's default
    int token_lifetime = -1;        // -1 when the file names none
    int notbefore_tolerance = 0;
};

// The keys token-lifetime, token-notbefore-tolerance, cipher-suite,
// use-cookie and obfuscate-password with the rules of the agent: plain
// numbers (no unit, no '+'), lifetimes of 0 or more, a lifetime above 0 in
// the end, flags true or false; a line without '=' ends the file. Whether the
// library knows a suite is for `known_suite` to say. Keys the agent leaves to
// the library (password) are not judged here.
AgentFileFindings judge_agent_file(std::string_view text, bool (*known_suite)(int));

}  // namespace qv

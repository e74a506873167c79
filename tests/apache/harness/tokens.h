// Tokens made and read with the library itself, as the federation server
// and the agent would.
#pragma once

#include "apache_server.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvtest {

// A token for the payload text under the suite, keyed with the password
// (plain text, as the agent file holds it in base64).
std::string make_token(std::string_view payload, int suite = 2, std::string_view password = kAgentPassword);

// The payload of a token, or nothing when the token does not decode.
std::optional<std::string> token_payload(std::string_view token, std::string_view password = kAgentPassword);

// Path of the built command-line tool "nubrel", or empty when it is not built.
std::string tool_path();

// Runs the tool with the arguments and the input on its standard input; the
// output is its standard output (standard error goes to the test's).
CommandResult run_tool(const std::vector<std::string> &arguments, std::string_view input = {});

}  // namespace qvtest

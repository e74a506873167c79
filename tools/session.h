// Session times of a token as the agent judges them, and their text for people.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tool {

// "2001-09-09T01:46:40Z"; "(out of range)" when the time cannot be shown.
std::string iso_time(int64_t seconds);
// "42 s", "59 min", "3 h", "7 h 59 min", "2 d 3 h" (truncated, never rounded up).
std::string duration_text(int64_t seconds);
// "in 59 min", "3 h ago", "now".
std::string relative_time(int64_t when, int64_t now);

// One of the session's time keys as found in the payload.
struct SessionTime {
    std::string_view key;
    bool present = false;            // the key has a value
    std::string text{};              // the value as it stands
    std::optional<int64_t> value{};  // the value read as a time
};

struct SessionTimes {
    SessionTime not_before{"not-before"};
    SessionTime not_on_or_after{"not-on-or-after"};
    SessionTime renew_until{"renew-until"};
};

// The agent's view of a session at a given time.
struct SessionCheck {
    int64_t now = 0;
    int64_t notbefore_tolerance = 0;
    int32_t token_suite = 0;
    std::optional<int32_t> agent_suite;  // checked only when known
    bool empty_prefix = false;           // QuorvelAuthnPrefix is empty
    bool has_attribute_list = true;      // the payload holds "qv_attribute_list"
};

struct Verdict {
    bool valid = false;
    std::string reason;  // why not; empty when valid
};

// Checks in the agent's order: cipher suite, the attribute list an empty
// prefix needs, not-before (with its tolerance), renew-until,
// not-on-or-after; the first failure is the reason.
Verdict judge_session(const SessionTimes &times, const SessionCheck &check);

}  // namespace tool

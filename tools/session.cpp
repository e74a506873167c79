#include "session.h"

#include "cli.h"

#include <ctime>

namespace tool {

namespace {

// A missing or unreadable time key makes the agent refuse the session.
std::optional<std::string> unusable(const SessionTime &time) {
    if (!time.present) return quoted(time.key) + " is missing";
    if (!time.value) return quoted(time.key) + " is not a time such as 2001-09-09T01:46:40Z";
    return std::nullopt;
}

}  // namespace

std::string iso_time(int64_t seconds) {
    const auto value = static_cast<std::time_t>(seconds);
    std::tm broken{};
    char text[64];
    if (static_cast<int64_t>(value) != seconds || gmtime_r(&value, &broken) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &broken) == 0)
        return "(out of range)";
    return text;
}

std::string duration_text(int64_t seconds) {
    constexpr int64_t kMinute = 60;
    constexpr int64_t kHour = 60 * kMinute;
    constexpr int64_t kDay = 24 * kHour;
    const auto with_rest = [](int64_t major, const char *major_unit, int64_t minor, const char *minor_unit) {
        std::string text = std::to_string(major) + " " + major_unit;
        if (minor > 0) text += " " + std::to_string(minor) + " " + minor_unit;
        return text;
    };
    if (seconds < kMinute) return std::to_string(seconds) + " s";
    if (seconds < kHour) return std::to_string(seconds / kMinute) + " min";
    if (seconds < kDay) return with_rest(seconds / kHour, "h", seconds % kHour / kMinute, "min");
    return with_rest(seconds / kDay, "d", seconds % kDay / kHour, "h");
}

std::string relative_time(int64_t when, int64_t now) {
    if (when == now) return "now";
    if (when > now) return "in " + duration_text(when - now);
    return duration_text(now - when) + " ago";
}

Verdict judge_session(const SessionTimes &times, const SessionCheck &check) {
    if (check.agent_suite && *check.agent_suite != check.token_suite)
        return {false, "the token's cipher suite " + std::to_string(check.token_suite) +
                           " differs from the agent's cipher suite " + std::to_string(*check.agent_suite)};
    if (check.empty_prefix && !check.has_attribute_list)
        return {false, "with an empty QuorvelAuthnPrefix the agent refuses a token without \"qv_attribute_list\" "
                       "(it shows the error page)"};

    if (auto reason = unusable(times.not_before)) return {false, *reason};
    const int64_t not_before = *times.not_before.value;
    if (not_before > check.now + check.notbefore_tolerance)
        return {false, "the session has not started: \"not-before\" is " + relative_time(not_before, check.now) +
                           ", beyond the not-before tolerance of " + duration_text(check.notbefore_tolerance)};

    if (auto reason = unusable(times.renew_until)) return {false, *reason};
    if (check.now >= *times.renew_until.value)
        return {false, "the overall session limit \"renew-until\" has been reached (" +
                           relative_time(*times.renew_until.value, check.now) + ")"};

    if (auto reason = unusable(times.not_on_or_after)) return {false, *reason};
    if (check.now >= *times.not_on_or_after.value)
        return {false, "the inactivity limit \"not-on-or-after\" has been reached (" +
                           relative_time(*times.not_on_or_after.value, check.now) + ")"};
    return {true, {}};
}

}  // namespace tool

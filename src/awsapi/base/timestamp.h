// The one reader (and ISO 8601 writer) of the times the services write: ISO 8601 in bodies and credential answers,
// HTTP dates in headers (the Date the clock-skew correction learns from), epoch seconds in JSON.
// Every layer that reads a time goes through here, so that they all agree on what a time is.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quenfold_testlibs::awsapi {

// A point in time to the microsecond, the finest the services write and the reference SDK keeps.
using Timestamp = std::chrono::sys_time<std::chrono::microseconds>;

// ISO 8601 as the services write it: "2026-12-07T21:00:00Z", with an optional fraction (digits past
// the microsecond cut) and an optional offset ("+02:00", "-0100"); no zone reads as UTC, and 't' or
// a blank may stand for the 'T'. Absent for anything else, an impossible date included.
std::optional<Timestamp> parse_iso8601(std::string_view text);

// Epoch seconds, the fraction rounded to the microsecond; absent when not finite or out of range.
std::optional<Timestamp> timestamp_of_epoch(double seconds);

// Any spelling the services use: ISO 8601, epoch seconds ("1765141141.5"), or an HTTP date in any
// of the forms HTTP allows ("Wed, 12 Oct 2009 17:50:00 GMT", RFC 850, asctime).
std::optional<Timestamp> parse_timestamp(std::string_view text);

// ISO 8601 in UTC to the second, as the services and the CLI's caches write it: "2026-12-07T21:00:00Z".
std::string format_iso8601(std::chrono::system_clock::time_point t);

}  // namespace quenfold_testlibs::awsapi

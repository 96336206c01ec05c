// Dates of HTTP header fields ("Sun, 06 Nov 1994 08:49:37 GMT", also without weekday or seconds).
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

// Thread-safe.
namespace ZRHTTPDate {

// The weekday is expected when the text holds a comma, the seconds when it holds exactly two colons;
// the zone is GMT, UT, UTC, Z, a North American zone abbreviation, or a numeric offset (+0100,
// GMT+01:00). Anything else gives no date.
std::optional<std::chrono::system_clock::time_point> dateFromRFC1123String(std::string_view text);

} // namespace ZRHTTPDate

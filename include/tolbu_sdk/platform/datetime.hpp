#pragma once
// Calendar date-times in the host's local time, without a zone, and their conversions.
// Every conversion between epoch milliseconds and local date-times goes through here.

#include <chrono>
#include <cstdint>
#include <string>

#include "tolbu_sdk/platform/export.hpp"

// The layers under the services: time, JSON, numbers as text, logging, HTTP and WebSocket.
namespace tolbu_sdk::platform {

// A zone-less local date-time with microsecond resolution.
using LocalDateTime = std::chrono::local_time<std::chrono::microseconds>;

// The local date-time of the instant epoch_ms milliseconds after the Unix epoch; fractions
// of a millisecond are kept down to the microsecond (rounded to nearest).
TOLBU_API LocalDateTime from_epoch_ms(double epoch_ms);

// The Unix time of a local date-time in milliseconds (with fraction).
TOLBU_API double to_epoch_ms(LocalDateTime time);

// Epoch milliseconds as the back end wants them: truncated toward zero.
TOLBU_API std::int64_t to_epoch_ms_int(LocalDateTime time);

// Local midnight at the start of the calendar day of time.
TOLBU_API LocalDateTime local_midnight(LocalDateTime time);

// The current local date-time.
TOLBU_API LocalDateTime now_local();

// The current Unix time in milliseconds.
TOLBU_API std::int64_t now_epoch_ms();

// Builds a local date-time from its calendar fields.
TOLBU_API LocalDateTime make_local(int year, unsigned month, unsigned day, int hour = 0,
                                   int minute = 0, int second = 0, int microsecond = 0);

// YYYY-MM-DDTHH:MM:SS, then "." and six digits of microseconds only when they are not zero.
TOLBU_API std::string iso_text(LocalDateTime time);

// Seconds (with fraction) from a to b.
TOLBU_API double seconds_between(LocalDateTime a, LocalDateTime b);

}  // namespace tolbu_sdk::platform

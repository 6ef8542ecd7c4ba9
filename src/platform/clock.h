// The clock and the C runtime's random numbers: the local date as an OLE date, the tick
// count, rand and its seed. A test clock can stand in for the real one (SetTestClock), so that
// time windows are tested without sleeping; the DLL never sets it.
#pragma once

#include <cstdint>

namespace tk::platform {

// Current local date and time as an OLE Automation date (days since 1899-12-30).
double LocalNowOleDate() noexcept;
// Calendar year of an OLE Automation date, or -1 when it is not a valid date.
int OleDateYear(double oleDate) noexcept;
// Milliseconds since system start (wraps after 49.7 days, as GetTickCount does).
std::uint32_t TickCount() noexcept;

// Seeds the C runtime's rand with the calendar time in seconds.
void SeedRandom() noexcept;
// The C runtime's rand: 0 to 32767.
int Random() noexcept;

// Test clock: while set, LocalNowOleDate, TickCount and the seed of SeedRandom answer
// from it.
struct TestClock {
  double oleNow;
  std::uint32_t ticks;
  std::int64_t calendarSeconds;
};
void SetTestClock(const TestClock* clock) noexcept;  // nullptr returns to the real clock

}  // namespace tk::platform

// The clock, the test clock and rand (see clock.h).
#include "platform/clock.h"

#include <cstdlib>
#include <ctime>

#include "platform/ole.h"

namespace tk::platform {
namespace {

const TestClock* g_testClock = nullptr;

}  // namespace

double LocalNowOleDate() noexcept {
  if (g_testClock != nullptr) return g_testClock->oleNow;
  SYSTEMTIME now;
  GetLocalTime(&now);
  double date = 0.0;
  if (!SystemTimeToVariantTime(&now, &date)) return 0.0;
  return date;
}

int OleDateYear(double oleDate) noexcept {
  SYSTEMTIME st;
  if (!VariantTimeToSystemTime(oleDate, &st)) return -1;
  return st.wYear;
}

std::uint32_t TickCount() noexcept {
  if (g_testClock != nullptr) return g_testClock->ticks;
  return GetTickCount();
}

void SeedRandom() noexcept {
  const std::int64_t seconds =
      g_testClock != nullptr ? g_testClock->calendarSeconds : _time64(nullptr);
  std::srand(static_cast<unsigned>(seconds));
}

int Random() noexcept {
  return std::rand();
}

void SetTestClock(const TestClock* clock) noexcept {
  g_testClock = clock;
}

}  // namespace tk::platform

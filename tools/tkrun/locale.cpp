// The locale a run follows (see locale.h).
#include "tkrun/locale.h"

#include "platform/ole.h"
#include "tkrun/progress.h"

namespace tkrun {
namespace {

// A setting of locale `name` (nullptr: the user's), or "" when the system has none.
std::wstring Setting(const wchar_t* name, LCTYPE what) {
  wchar_t value[LOCALE_NAME_MAX_LENGTH] = {};
  return GetLocaleInfoEx(name, what, value, LOCALE_NAME_MAX_LENGTH) > 0 ? value : L"";
}

// The name of the locale the library compares texts in: the system's.
std::wstring SystemLocaleName() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  return LCIDToLocaleName(GetSystemDefaultLCID(), name, LOCALE_NAME_MAX_LENGTH, 0) > 0 ? name : L"";
}

bool IsSpaceMark(wchar_t ch) {
  return ch == L' ' || ch == 0x00A0 || ch == 0x202F;
}

}  // namespace

std::string SettleLocale(Options& o) {
  tkr::CellTyping& typing = o.typing;
  if (o.locale.empty()) {
    // The system's settings, as before there was a choice: its currency and its order of
    // dates; the decimal point unless --decimal says otherwise.
    if (!o.datesGiven) typing.dates = tkr::SystemDateOrder();
    typing.currency = Setting(LOCALE_NAME_USER_DEFAULT, LOCALE_SCURRENCY);
    o.localeName.clear();
    o.rankTexts = false;
    return {};
  }
  if (o.locale.size() >= LOCALE_NAME_MAX_LENGTH || !IsValidLocaleName(o.locale.c_str())) {
    return "--locale takes a Windows locale name such as en-US, de-DE or fr-FR; '" +
           Utf8(o.locale) + "' is none this system knows";
  }
  o.localeName = Setting(o.locale.c_str(), LOCALE_SNAME);
  if (o.localeName.empty()) o.localeName = o.locale;
  const wchar_t* name = o.localeName.c_str();
  if (!o.datesGiven) {
    const std::wstring order = Setting(name, LOCALE_IDATE);
    typing.dates = order == L"1"   ? tkr::DateOrder::DayMonthYear
                   : order == L"2" ? tkr::DateOrder::YearMonthDay
                                   : tkr::DateOrder::MonthDayYear;
  }
  if (!o.decimalGiven) typing.decimal = Setting(name, LOCALE_SDECIMAL) == L"," ? L',' : L'.';
  // The thousands mark: a locale that groups with a space is written with any of the three
  // (typed, pasted, or the no-break ones it writes itself), one with an apostrophe with
  // either; a mark that is the decimal mark groups nothing.
  const std::wstring mark = Setting(name, LOCALE_STHOUSAND);
  if (mark.size() == 1 && IsSpaceMark(mark[0])) {
    typing.groups = L" \u00A0\u202F";
  } else if (mark == L"'" || mark == L"\u2019") {
    typing.groups = L"'\u2019";
  } else {
    typing.groups = mark.size() == 1 && mark[0] != typing.decimal ? mark : L"";
  }
  typing.currency = Setting(name, LOCALE_SCURRENCY);
  o.rankTexts = LocaleNameToLCID(name, 0) != GetSystemDefaultLCID();
  return {};
}

std::string LocaleRuling(const Options& o) {
  const std::string system = Utf8(SystemLocaleName());
  std::string line = o.locale.empty()
                         ? "locale " + system + ", the system's (--locale chooses another)"
                         : "locale " + Utf8(o.localeName) + " (--locale)";
  line += o.rankTexts ? ": texts in its order, ranked by tkrun (the library follows the "
                        "system's " +
                            system + ")"
                      : ": texts in its order";
  const tkr::CellTyping& t = o.typing;
  line += std::string(", short dates ") +
          (t.dates == tkr::DateOrder::DayMonthYear   ? "day first (14/03/2026)"
           : t.dates == tkr::DateOrder::YearMonthDay ? "year first (2026/03/14)"
                                                     : "month first (3/14/2026)") +
          (o.datesGiven ? " by --date-order" : "");
  line += std::string(", decimal ") + (t.decimal == L',' ? "comma" : "point") +
          (o.decimalGiven ? " by --decimal" : "");
  line += t.currency.empty() ? ", no currency symbol" : ", currency " + Utf8(t.currency);
  return line;
}

}  // namespace tkrun

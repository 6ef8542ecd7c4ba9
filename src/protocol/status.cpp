// Status table, banner and the record's text writers. See status.h.
#include "protocol/status.h"

#include <cwchar>

#include "platform/platform.h"
#include "protocol/codes.h"

namespace tk {
namespace {

struct StatusRow {
  std::int32_t code;
  const wchar_t* message;  // nullptr only for the banner row, whose text is built once
};

// Searched from the top: the order is part of the behaviour (the first match wins).
// Callers match these texts exactly, character for character, so "Uninitalized", "extreem",
// "UDF's ... from))" and "Destinaton" stay as they are.
constexpr StatusRow kStatusTable[] = {
    {0, L"Completed without errors"},
    {105, L"Continue iterating"},
    {2, L"Success"},
    {3, L"Done processing"},
    {800, nullptr},
    {700, L"One or more invalid array bounds"},
    {702, L"Invalid number of header lines (or upper bound set too low)"},
    {703, L"Uninitalized TKCOMM array passed"},
    {704, L"Null pointer encountered"},
    {705, L"Not enough memory for the operation"},
    {706, L"Caller passed a static array for the sortindex"},
    {707, L"Operation request out of order (SELECT comes first, then MOVE, etc.)"},
    {708, L"Array has too many dimensions, etc."},
    {709, L"Typing error or missing, uneven or improperly formatted command line"},
    {710, L"Missing, empty or improperly formatted array cell"},
    {711, L"Index corrupted"},
    {712, L"Flow Error"},
    {713, L"Stack-Failure"},
    {714,
     L"Stack-Overflow by extreem recursion (If first-time sort: try presorting 2 or more "
     L"partial ranges first)"},
    {715, L"Range Error"},
    {716, L"Range Read or Write error (UDF's may not change sheet called from))"},
    {717, L"Source & Destinaton range must be different"},
    {718, L"Array Error"},
};

// The banner: "<product line> <year> <trailing text> 2.000". The year is the local year
// at the first lookup of the process, -1 when the clock gives no valid date.
constexpr wchar_t kBannerLead[] =
    L"tkselect - resumable multi-key row sorting for spreadsheet tables - (c)";
constexpr wchar_t kBannerTrail[] = L"the tkselect developers - version";

wchar_t g_banner[kStatusTextLimit + 1];
bool g_bannerBuilt = false;

const wchar_t* BannerText() noexcept {
  if (!g_bannerBuilt) {
    const int year = platform::OleDateYear(platform::LocalNowOleDate());
    // %ls rather than %s: MinGW's C99 printf reads %s as a narrow string in wide formats.
    std::swprintf(g_banner, kStatusTextLimit, L"%ls %d %ls %5.3f", kBannerLead, year, kBannerTrail,
                  kEngineVersion);
    g_bannerBuilt = true;
  }
  return g_banner;
}

}  // namespace

const wchar_t* StatusMessage(std::int32_t code) noexcept {
  for (const StatusRow& row : kStatusTable) {
    if (row.code == code) return row.message != nullptr ? row.message : BannerText();
  }
  return kStatusTable[0].message;
}

Status WriteStatus(TKCOMM& comm, std::int32_t code) noexcept {
  comm.LastError = IsError(code) ? code : 0;
  const wchar_t* message = StatusMessage(comm.LastError);
  if (message[0] == L'\0') return Status::Success;
  wchar_t text[kStatusTextLimit + 1] = {};
  std::swprintf(text, kStatusTextLimit, L"[%03d]%ls", static_cast<int>(code), message);
  return platform::ReplaceText(comm.Status, text) ? Status::Success : Status::NoMemory;
}

Status WriteBanner(TKCOMM& comm, std::int32_t code) noexcept {
  if (platform::ReplaceText(comm.Banner, StatusMessage(code))) return Status::Success;
  // Out of memory: leave an empty string rather than a dangling or foreign value.
  platform::ReplaceText(comm.Banner, L"");
  return Status::NoMemory;
}

void WriteBannerAndVersion(TKCOMM& comm) noexcept {
  (void)WriteBanner(comm, ToCode(Status::Banner));
  comm.Version = kEngineVersion;
}

}  // namespace tk

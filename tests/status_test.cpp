// Status texts, LastError and the two text fields of the record.
#include "protocol/status.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fake_range.h"
#include "support/table.h"

namespace {

using tk::WriteStatus;
using tkt::FieldText;
using tkt::Record;

struct TextCase {
  std::int32_t code;
  std::int32_t lastError;
  const wchar_t* text;
};

// Every error row, and the non-errors that share row 0's message after their own digits.
const TextCase kTexts[] = {
    {700, 700, L"[700]One or more invalid array bounds"},
    {702, 702, L"[702]Invalid number of header lines (or upper bound set too low)"},
    {703, 703, L"[703]Uninitalized TKCOMM array passed"},
    {704, 704, L"[704]Null pointer encountered"},
    {705, 705, L"[705]Not enough memory for the operation"},
    {706, 706, L"[706]Caller passed a static array for the sortindex"},
    {707, 707, L"[707]Operation request out of order (SELECT comes first, then MOVE, etc.)"},
    {708, 708, L"[708]Array has too many dimensions, etc."},
    {709, 709, L"[709]Typing error or missing, uneven or improperly formatted command line"},
    {710, 710, L"[710]Missing, empty or improperly formatted array cell"},
    {711, 711, L"[711]Index corrupted"},
    {712, 712, L"[712]Flow Error"},
    {713, 713, L"[713]Stack-Failure"},
    {714, 714,
     L"[714]Stack-Overflow by extreem recursion (If first-time sort: try presorting 2 or more "
     L"partial ranges first)"},
    {715, 715, L"[715]Range Error"},
    {716, 716, L"[716]Range Read or Write error (UDF's may not change sheet called from))"},
    {717, 717, L"[717]Source & Destinaton range must be different"},
    {718, 718, L"[718]Array Error"},
    {701, 701, L"[701]Completed without errors"},  // an error code without a row of its own
    {799, 799, L"[799]Completed without errors"},
    {0, 0, L"[000]Completed without errors"},
    {2, 0, L"[002]Completed without errors"},
    {3, 0, L"[003]Completed without errors"},
    {105, 0, L"[105]Completed without errors"},
    {200, 0, L"[200]Completed without errors"},
    {201, 0, L"[201]Completed without errors"},
    {204, 0, L"[204]Completed without errors"},
    {800, 0, L"[800]Completed without errors"},  // the banner never lands in Status
    {699, 0, L"[699]Completed without errors"},
    {800000, 0, L"[800000]Completed without errors"},
    {-700, 0, L"[-700]Completed without errors"},  // -700 / 100 is -7: not an error
    {-3, 0, L"[-03]Completed without errors"},
};

TEST(StatusText, EveryCodeGivesItsTextAndLastError) {
  for (const TextCase& c : kTexts) {
    SCOPED_TRACE(c.code);
    Record r;
    r.comm.LastError = 12345;
    EXPECT_EQ(WriteStatus(r.comm, c.code), tk::Status::Success);
    EXPECT_EQ(r.comm.LastError, c.lastError);
    EXPECT_EQ(FieldText(r.comm.Status), c.text);
  }
}

TEST(StatusText, LookupFallsBackToRowZeroAndKeepsTableOrder) {
  EXPECT_STREQ(tk::StatusMessage(201), L"Completed without errors");
  EXPECT_STREQ(tk::StatusMessage(-1), L"Completed without errors");
  // Row 1 (105) and row 2 (2) have messages of their own; only a direct lookup sees them.
  EXPECT_STREQ(tk::StatusMessage(105), L"Continue iterating");
  EXPECT_STREQ(tk::StatusMessage(2), L"Success");
  EXPECT_STREQ(tk::StatusMessage(3), L"Done processing");
}

TEST(StatusText, EmptyStatusBecomesAStringAndAStringIsRewritten) {
  Record r;
  ASSERT_EQ(WriteStatus(r.comm, 2), tk::Status::Success);
  ASSERT_EQ(r.comm.Status.vt, VT_BSTR);
  EXPECT_EQ(FieldText(r.comm.Status), L"[002]Completed without errors");

  // A caller's string is reallocated to the new text (Wine may move the buffer, so the
  // pointer itself is not compared); the tag is left as it is.
  tkt::PutText(r.comm.Status, std::wstring(300, L'x').c_str());
  ASSERT_EQ(WriteStatus(r.comm, 713), tk::Status::Success);
  EXPECT_EQ(r.comm.Status.vt, VT_BSTR);
  EXPECT_EQ(FieldText(r.comm.Status), L"[713]Stack-Failure");
  EXPECT_EQ(SysStringLen(r.comm.Status.bstrVal), 18u);
}

TEST(StatusText, NonStringContentIsReplacedNotReallocated) {
  // A stray number whose bits would be a wild pointer if taken for a string.
  Record r;
  r.comm.Status.vt = VT_I4;
  r.comm.Status.lVal = 0x12345678;
  r.comm.Banner.vt = VT_R8;
  r.comm.Banner.dblVal = 1e300;
  ASSERT_EQ(WriteStatus(r.comm, 711), tk::Status::Success);
  EXPECT_EQ(FieldText(r.comm.Status), L"[711]Index corrupted");
  ASSERT_EQ(tk::WriteBanner(r.comm, 800), tk::Status::Success);
  EXPECT_EQ(FieldText(r.comm.Banner), tk::StatusMessage(800));

  // VT_EMPTY with garbage in its value bits is still empty.
  Record e;
  e.comm.Status.vt = VT_EMPTY;
  e.comm.Status.lVal = 0x0BADF00D;
  ASSERT_EQ(WriteStatus(e.comm, 2), tk::Status::Success);
  EXPECT_EQ(FieldText(e.comm.Status), L"[002]Completed without errors");
}

TEST(StatusText, ObjectInStatusIsReleasedOnce) {
  tkt::FakeRange range(tkt::Rows{{1, 2}});
  Record r;
  r.comm.Status.vt = VT_DISPATCH;
  r.comm.Status.pdispVal = &range;
  range.AddRef();
  ASSERT_EQ(range.refs, 2);
  ASSERT_EQ(WriteStatus(r.comm, 2), tk::Status::Success);
  EXPECT_EQ(range.refs, 1);
  EXPECT_EQ(FieldText(r.comm.Status), L"[002]Completed without errors");
}

TEST(Banner, ProductLineYearAndVersion) {
  const std::wstring banner = tk::StatusMessage(800);
  SYSTEMTIME now;
  GetLocalTime(&now);
  const std::wstring year = L" " + std::to_wstring(now.wYear) + L" ";
  EXPECT_NE(banner.find(year), std::wstring::npos) << "no local year in: " << banner.size();
  ASSERT_GE(banner.size(), 6u);
  EXPECT_EQ(banner.substr(banner.size() - 6), L" 2.000");
  EXPECT_NE(banner.find(L"version 2.000"), std::wstring::npos);
  EXPECT_LE(banner.size(), 199u);
  // Built once: a second lookup answers the very same text.
  EXPECT_EQ(tk::StatusMessage(800), tk::StatusMessage(800));
}

}  // namespace

// The tools' own pieces: the CSV reader and writer, the natural order, and tkrun end to end
// on the bundled examples (its output files against the expected ones).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/compare_rules.h"
#include "common/csv.h"

namespace {

using tkr::CsvRows;

std::vector<std::vector<std::wstring>> Texts(const CsvRows& rows) {
  std::vector<std::vector<std::wstring>> out;
  for (const auto& row : rows) {
    std::vector<std::wstring> texts;
    for (const auto& field : row) texts.push_back(field.text);
    out.push_back(texts);
  }
  return out;
}

TEST(Csv, RecordsAndFields) {
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::vector<std::wstring>> rows;
  } const cases[] = {
      {"plain, CRLF", "a,b\r\nc,d\r\n", {{L"a", L"b"}, {L"c", L"d"}}},
      {"LF and no final line end", "a,b\nc,d", {{L"a", L"b"}, {L"c", L"d"}}},
      {"empty fields", ",x,\r\n", {{L"", L"x", L""}}},
      {"quoted separator and quote", "\"a,b\",\"say \"\"hi\"\"\"\r\n", {{L"a,b", L"say \"hi\""}}},
      {"line break inside quotes", "\"two\r\nlines\",z\r\n", {{L"two\r\nlines", L"z"}}},
      {"byte-order mark", "\xEF\xBB\xBFh1,h2\r\n", {{L"h1", L"h2"}}},
      {"UTF-8 text", "M\xC3\xBCller,\xC3\x98rsted\r\n", {{L"M\u00fcller", L"\u00d8rsted"}}},
      {"ragged rows", "a\r\nb,c,d\r\n", {{L"a"}, {L"b", L"c", L"d"}}},
      {"quoted empty field", "\"\",1\r\n", {{L"", L"1"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CsvRows rows;
    std::string error;
    ASSERT_TRUE(tkr::ParseCsv(c.bytes, L',', rows, error)) << error;
    EXPECT_EQ(Texts(rows), c.rows);
  }
}

TEST(Csv, MalformedInputNamesItsLine) {
  struct Case {
    std::string bytes;
    const char* error;
  } const cases[] = {
      {"a,b\r\n\"open,c\r\nd\r\n", "line 2: quoted field never closed"},
      {"a\r\nb\r\n\"x\"y,z\r\n", "line 3: text after a closing quote"},
  };
  for (const auto& c : cases) {
    CsvRows rows;
    std::string error;
    EXPECT_FALSE(tkr::ParseCsv(c.bytes, L',', rows, error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(Csv, CellTypes) {
  struct Case {
    const wchar_t* text;
    bool quoted;
    VARTYPE vt;
  } const cases[] = {
      {L"", false, VT_EMPTY},
      {L"", true, VT_BSTR},
      {L"42", false, VT_I4},
      {L"-7", false, VT_I4},
      {L"42", true, VT_BSTR},
      {L"3000000000", false, VT_R8},
      {L"2.5", false, VT_R8},
      {L"1e3", false, VT_R8},
      {L"0x10", false, VT_BSTR},
      {L"inf", false, VT_BSTR},
      {L" 5", false, VT_BSTR},
      {L"TRUE", false, VT_BOOL},
      {L"false", false, VT_BOOL},
      {L"2026-03-14", false, VT_DATE},
      {L"2026-03-14T08:30", false, VT_DATE},
      {L"2026-13-01", false, VT_BSTR},
      {L"2026-03-14x", false, VT_BSTR},
      {L"pear", false, VT_BSTR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(tkr::ToUtf8(c.text));
    VARIANT cell = tkr::CellFromField(tkr::CsvField{c.text, c.quoted});
    EXPECT_EQ(cell.vt, c.vt);
    VariantClear(&cell);
  }
}

// Written back, every cell reads as the same cell again, and text keeps every character.
TEST(Csv, RoundTripKeepsTextAndTypes) {
  const std::string input =
      "Name,Code,When,Amount,Flag,Empty,Note\r\n"
      "pear,\"007\",2026-03-14,0.1,TRUE,,\"a, b\"\r\n"
      "\"TRUE\",\"2026-01-01\",2026-03-14T08:30:15,-2.25,FALSE,\"\",\"line\nbreak \"\"q\"\"\"\r\n";
  CsvRows rows;
  std::string error;
  ASSERT_TRUE(tkr::ParseCsv(input, L',', rows, error));
  SAFEARRAY* table = tkr::TableFromCsv(rows);
  const std::string written = tkr::CsvFromTable(table, L',');
  EXPECT_EQ(written, input);
  SafeArrayDestroy(table);
}

TEST(CompareRules, NaturalOrder) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    int expected;
  } const cases[] = {
      {L"file9", L"file10", -1},
      {L"File10", L"file9", 1},
      {L"img002", L"img2", 0},
      {L"img2", L"img10", -1},
      {L"a", L"B", -1},
      {L"abc", L"ab", 1},
      {L"report 2", L"report 10 final", -1},
      {L"x99999999999999999999", L"x100000000000000000000", -1},
      {L"", L"a", -1},
      {L"v1.10", L"v1.9", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(tkr::ToUtf8(c.a) + " vs " + tkr::ToUtf8(c.b));
    EXPECT_EQ(tkr::NaturalCompare(c.a, c.b), c.expected);
    EXPECT_EQ(tkr::NaturalCompare(c.b, c.a), -c.expected);
  }
}

// ---- tkrun end to end ---------------------------------------------------------------------

struct Outcome {
  DWORD exitCode = 0xFFFFFFFF;
  std::string err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// Runs tkrun.exe (beside this test) with `arguments`, standard error into a file.
Outcome RunTool(const std::string& arguments) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  const char* errPath = "tkrun_test_stderr.txt";
  HANDLE err = CreateFileA(errPath, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = err;
  startup.hStdOutput = err;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process = {};
  std::string command = "tkrun.exe " + arguments;
  Outcome out;
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &process)) {
    WaitForSingleObject(process.hProcess, 120000);
    GetExitCodeProcess(process.hProcess, &out.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(err);
  out.err = ReadAll(errPath);
  return out;
}

TEST(Tkrun, SortsTheExamplesAsExpected) {
  struct Case {
    const char* what;
    std::string arguments;
    std::vector<std::pair<std::string, std::string>> files;  // written, expected
  } const cases[] = {
      {"department, then salary descending",
       "--sort \"2,TK_COMPASCAUTO 4,TK_COMPDESAUTO\" --output out_department.csv "
       "examples\\staff.csv",
       {{"out_department.csv", "examples\\expected\\staff_by_department.csv"}}},
      {"file names in natural order by break-outs",
       "--sort \"1,TK_COMPBRKO\" --compare 1=natural --output out_files.csv examples\\files.csv",
       {{"out_files.csv", "examples\\expected\\files_natural.csv"}}},
      {"grade, then name length; export into a shorter table",
       "--sort \"5,TK_COMPASCAUTO 1,TK_COMPBRKO\" --compare 1=length "
       "--export \"1,1,TK_EXPORTAUTO 2,2,TK_EXPORTBRKO 4,3,TK_EXPORTAUTO\" "
       "--export-to examples\\summary.csv --export-out out_summary.csv "
       "--output out_grade.csv examples\\staff.csv",
       {{"out_grade.csv", "examples\\expected\\staff_by_grade.csv"},
        {"out_summary.csv", "examples\\expected\\summary_by_grade.csv"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome run = RunTool(c.arguments);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_NE(run.err.find("SELECT    [002]Completed without errors"), std::string::npos)
        << run.err;
    for (const auto& [written, expected] : c.files) {
      const std::string got = ReadAll(written);
      ASSERT_FALSE(got.empty()) << written;
      EXPECT_TRUE(got == ReadAll(expected)) << written << " differs from " << expected;
    }
  }
}

TEST(Tkrun, ClearErrors) {
  std::ofstream("bad_quotes.csv", std::ios::binary) << "a,b\r\n1,\"open\r\n";
  struct Case {
    const char* what;
    std::string arguments;
    DWORD exitCode;
    const char* says;
  } const cases[] = {
      {"malformed CSV", "--sort \"1,TK_COMPASCAUTO\" bad_quotes.csv", 2,
       "bad_quotes.csv line 2: quoted field never closed"},
      {"missing file", "--sort \"1,TK_COMPASCAUTO\" no_such_file.csv", 2, "cannot read"},
      {"bad sort command", "--sort \"1 , TK_COMPASCAUTO\" examples\\files.csv", 1,
       "[709]Typing error or missing, uneven or improperly formatted command line"},
      {"column outside the table", "--sort \"9,TK_COMPASCAUTO\" examples\\files.csv", 1, "[709]"},
      {"no sort command", "examples\\files.csv", 2, "no --sort"},
      {"unknown option", "--sortt x examples\\files.csv", 2, "unknown option"},
      {"bad compare rule", "--sort \"1,TK_COMPBRKO\" --compare 1=alphabet examples\\files.csv", 2,
       "--compare takes COLUMN=RULE"},
      {"help", "--help", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome run = RunTool(c.arguments + " --output out_error.csv");
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  const Outcome help = RunTool("--help");
  EXPECT_NE(help.err.find("usage: tkrun"), std::string::npos);
}

}  // namespace

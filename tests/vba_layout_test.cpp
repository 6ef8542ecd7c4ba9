// The macro module (TKselect.bas) against the record this library is compiled with.
//
// A macro reaches the library through its own declaration of the record. A field out of
// place there does not fail: the library then reads and writes the wrong bytes of the
// macro's memory. So the module's Type blocks are laid out here by 32-bit VBA's rules and
// compared, field by field and by name, with offsetof and sizeof of tk::TKCOMM and
// tk::RangeSlot. The module's named codes are compared with the engine's commands,
// statuses, return values and keyword tables, and its Declare lines with the exported
// function (two 4-byte arguments by reference, a Long back) and with the system function
// its natural comparison calls, whose locale and flags must order texts as the library's
// natural keys do.
//
// The module is read from the working directory, where the build copies it.#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/csv.h"
#include "common/library.h"
#include "entry/engine.h"
#include "input/parser.h"
#include "protocol/record.h"
#include "protocol/status.h"
#include "support/table.h"
#include "support/vba_module.h"

namespace {

// The module's model: support/vba_module.h.
using tkt::ConstantValue;
using tkt::CppField;
using tkt::Declare;
using tkt::ExpectTableCovers;
using tkt::ExpectTypeMatches;
using tkt::kExportName;
using tkt::kModuleFile;
using tkt::kRecordFields;
using tkt::kSlotFields;
using tkt::kThisVba;
using tkt::kVba;
using tkt::kVba32;
using tkt::kVba64;
using tkt::LayOut;
using tkt::Layout;
using tkt::Line;
using tkt::Lower;
using tkt::Module;
using tkt::ModuleText;
using tkt::Parse;
using tkt::ParseLines;
using tkt::Placed;
using tkt::SameName;
using tkt::TheModule;
using tkt::Trim;
using tkt::VbaAbi;
using tkt::VbaField;
using tkt::VbaType;

TEST(VbaLayoutRules, PlaceFieldsAsEachVbaDoes) {
  // Literal layouts of both: 32-bit VBA puts Doubles and Variants on 4-byte boundaries,
  // 64-bit VBA puts them, and its 8-byte array pointers, on 8-byte ones; smaller fields go on
  // their own size, and a type is padded to its largest alignment.
  const Module sample = Parse(
      "Private Type Inner   ' a comment\r\n"
      "    Tag As Byte\r\n"
      "    Amount As Double\r\n"
      "End Type\r\n"
      "type outer\r\n"
      "    Flag AS integer\r\n"
      "    Part As Inner\r\n"
      "    List() As Variant\r\n"
      "    Note As _\r\n"
      "        Variant\r\n"
      "    Last As Byte\r\n"
      "END TYPE\r\n");
  EXPECT_TRUE(sample.problems.empty());
  struct Expected {
    const VbaAbi& abi;
    std::size_t innerAmount, innerSize;
    std::size_t offsets[5], sizes[5];
    std::size_t outerSize;
  };
  const Expected rows[] = {
      {kVba32, 4, 12, {0, 4, 16, 20, 36}, {2, 12, 4, 16, 1}, 40},
      {kVba64, 8, 16, {0, 8, 24, 32, 56}, {2, 16, 8, 24, 1}, 64},
  };
  for (const Expected& row : rows) {
    SCOPED_TRACE(row.abi.name);
    std::string error;
    const auto inner = LayOut(sample.types.at("inner"), sample.types, row.abi, error);
    ASSERT_TRUE(inner.has_value()) << error;
    EXPECT_EQ(inner->fields.at(1).offset, row.innerAmount);
    EXPECT_EQ(inner->size, row.innerSize);

    const auto outer = LayOut(sample.types.at("outer"), sample.types, row.abi, error);
    ASSERT_TRUE(outer.has_value()) << error;
    ASSERT_EQ(outer->fields.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
      SCOPED_TRACE(outer->fields[i].name);
      EXPECT_EQ(outer->fields[i].offset, row.offsets[i]);
      EXPECT_EQ(outer->fields[i].size, row.sizes[i]);
    }
    EXPECT_EQ(outer->fields[2].type, "Variant()");
    EXPECT_EQ(outer->size, row.outerSize);
  }
}

TEST(VbaLayoutRules, RefuseWhatTheyCannotLayOut) {
  const Module fixed = Parse("Type T\n  Name As String * 8\n  Cells(1 To 3) As Long\nEnd Type\n");
  EXPECT_EQ(fixed.problems.size(), 2u);

  const Module unknown = Parse("Type T\n  Amount As Decimal\nEnd Type\n");
  std::string error;
  EXPECT_FALSE(LayOut(unknown.types.at("t"), unknown.types, kThisVba, error).has_value());
  EXPECT_NE(error.find("Decimal"), std::string::npos);
}

TEST(VbaRecord, CppTablesCoverTheCompiledStructs) {
  ExpectTableCovers(kSlotFields, sizeof(tk::RangeSlot));
  ExpectTableCovers(kRecordFields, sizeof(tk::TKCOMM));
}

TEST(VbaRecord, RangeSlotMatchesTheCompiledSlotFieldByField) {
  TK_LOAD_MODULE(module);
  ExpectTypeMatches(*module, "RangeSlot", kSlotFields, sizeof(tk::RangeSlot));
}

TEST(VbaRecord, TkcommMatchesTheCompiledRecordFieldByField) {
  TK_LOAD_MODULE(module);
  ExpectTypeMatches(*module, "TKCOMM", kRecordFields, sizeof(tk::TKCOMM));
}

// ---------------------------------------------------------------------------------------
// The library driven through a record laid out from the module's text alone, as the macro
// lays it out in this build's Office: the proof that the two agree in use, not only in
// their numbers.

class ModuleRecord {
 public:
  explicit ModuleRecord(const Module& module) {
    const auto record = module.types.find("tkcomm");
    if (record == module.types.end()) throw std::runtime_error("no Type TKCOMM");
    if (!Flatten(module, record->second, "", 0)) throw std::runtime_error(error_);
    bytes_.assign((size_ + 7) / 8, 0);  // zero, and aligned as 8 like the macro's variable
  }
  ~ModuleRecord() {
    for (const auto& [name, field] : fields_) {
      if (SameName(field.type, "Variant")) VariantClear(&At<VARIANT>(field));
      if (field.type.size() > 2 && field.type.substr(field.type.size() - 2) == "()") {
        SAFEARRAY*& array = At<SAFEARRAY*>(field);
        if (array != nullptr) {
          array->fFeatures &= static_cast<USHORT>(~(FADF_STATIC | FADF_FIXEDSIZE));
          SafeArrayDestroy(array);
          array = nullptr;
        }
      }
    }
  }
  ModuleRecord(const ModuleRecord&) = delete;
  ModuleRecord& operator=(const ModuleRecord&) = delete;

  VARIANT& Variant(const std::string& name) { return At<VARIANT>(Field(name, "Variant")); }
  std::int32_t& Long(const std::string& name) { return At<std::int32_t>(Field(name, "Long")); }
  double& Double(const std::string& name) { return At<double>(Field(name, "Double")); }
  SAFEARRAY*& LongArray(const std::string& name) { return At<SAFEARRAY*>(Field(name, "Long()")); }
  // What the Declare hands the library: the address of the macro's variable.
  tk::TKCOMM* Address() { return reinterpret_cast<tk::TKCOMM*>(bytes_.data()); }

 private:
  bool Flatten(const Module& module, const VbaType& type, const std::string& prefix,
               std::size_t base) {
    const std::optional<Layout> layout = LayOut(type, module.types, kThisVba, error_);
    if (!layout) return false;
    if (prefix.empty()) size_ = layout->size;
    for (const Placed& field : layout->fields) {
      const auto nested = module.types.find(Lower(field.type));
      if (nested != module.types.end()) {
        if (!Flatten(module, nested->second, prefix + field.name + ".", base + field.offset)) {
          return false;
        }
      } else {
        fields_[Lower(prefix + field.name)] =
            Placed{prefix + field.name, field.type, base + field.offset, field.size};
      }
    }
    return true;
  }
  const Placed& Field(const std::string& name, const char* type) const {
    const Placed& field = fields_.at(Lower(name));
    if (!SameName(field.type, type)) throw std::runtime_error(name + " is not As " + type);
    return field;
  }
  template <typename T>
  T& At(const Placed& field) {
    return *reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(bytes_.data()) + field.offset);
  }

  std::map<std::string, Placed> fields_;  // by lower-case dotted name: "source.data"
  std::vector<std::uint64_t> bytes_;
  std::size_t size_ = 0;
  std::string error_;
};

TEST(VbaRecordInUse, TheLibrarySortsThroughTheModulesOwnLayout) {
  TK_LOAD_MODULE(module);
  const tkr::Library library(tkr::kLibraryName);
  const tkr::TKselectFn tkselect = library.entry();
  ASSERT_NE(tkselect, nullptr) << "cannot load " << tkr::kLibraryName;
  ModuleRecord r(*module);
  std::int32_t code = 0;
  auto call = [&](std::int32_t command) {
    code = command;
    return tkselect(&code, r.Address());
  };

  EXPECT_EQ(call(tk::kAbout), tk::kReturnOutput);
  EXPECT_EQ(code, 200);
  EXPECT_EQ(r.Double("Version"), 2.0);
  EXPECT_EQ(tkt::FieldText(r.Variant("Status")), L"[200]Completed without errors");
  const std::wstring banner = tkt::FieldText(r.Variant("Banner"));
  ASSERT_GE(banner.size(), 6u);
  EXPECT_EQ(banner.substr(banner.size() - 6), L" 2.000");

  // Two keys: amount descending, then name ascending; one header row stays on top.
  tkt::PutArray(r.Variant("Source.Data"), tkt::MakeTable({{"Name", "Amount"},
                                                          {"pear", 3},
                                                          {"Apple", 12},
                                                          {"fig", 3},
                                                          {"banana", 7},
                                                          {"cherry", 12}}));
  r.Long("Source.HeaderLines") = 1;
  tkt::PutText(r.Variant("SortCmd"), L"2,TK_COMPDESAUTO 1,TK_COMPASCAUTO");
  EXPECT_EQ(call(tk::kSelect), tk::kReturnEnded);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(r.Long("Source.Valid"), 1);
  EXPECT_EQ(r.Double("Source.RowCount"), 5.0);
  EXPECT_EQ(r.Long("SortKeyCount"), 2);
  EXPECT_EQ(r.Long("SortCmdOk"), 1);

  EXPECT_EQ(call(tk::kSortIndex), tk::kReturnOutput);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(r.Long("SortIndexValid"), 1);
  ASSERT_NE(r.LongArray("SortIndex"), nullptr);
  std::vector<std::int32_t> order;
  for (LONG i = 1; i <= 5; ++i) {
    std::int32_t row = 0;
    ASSERT_EQ(SafeArrayGetElement(r.LongArray("SortIndex"), &i, &row), S_OK);
    order.push_back(row);
  }
  EXPECT_EQ(order, (std::vector<std::int32_t>{3, 6, 5, 4, 2}));

  EXPECT_EQ(call(tk::kMove), tk::kReturnEnded);
  EXPECT_EQ(code, 2);
  const auto moved = tkt::Dump(tkr::CellArray(r.Variant("Source.Data")));
  const std::vector<std::wstring> names = {L"Name",   L"Apple", L"cherry",
                                           L"banana", L"fig",   L"pear"};
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(moved.at(i).at(0), names[i]) << i;

  // A key compared by the caller: every comparison is a break-out answered from the cells
  // the record's BrkRowA, BrkRowB and BrkColumn point at.
  EXPECT_EQ(call(tk::kReset), tk::kReturnReset);
  tkt::PutArray(r.Variant("Source.Data"), tkt::MakeTable({{5.0}, {1.0}, {4.0}, {2.0}, {3.0}}));
  r.Long("Source.HeaderLines") = 0;
  tkt::PutText(r.Variant("SortCmd"), L"1,TK_COMPBRKO");
  tkt::PutText(r.Variant("MoveCmd"), L"1,TK_MOVEAUTO");
  int breakOuts = 0;
  std::int32_t returned = call(tk::kSelect);
  while (returned == tk::kReturnBreakOut && code == 3 && breakOuts < 1000) {
    ++breakOuts;
    SAFEARRAY* cells = tkr::CellArray(r.Variant("Source.Data"));
    const std::int32_t column = r.Long("BrkColumn");
    const double a = tkr::CellAt(cells, r.Long("BrkRowA"), column).dblVal;
    const double b = tkr::CellAt(cells, r.Long("BrkRowB"), column).dblVal;
    returned = call(a < b ? -1 : a > b ? 1 : 0);
  }
  EXPECT_EQ(returned, tk::kReturnEnded);
  EXPECT_EQ(code, 2);
  EXPECT_GT(breakOuts, 0);
  EXPECT_EQ(call(tk::kMove), tk::kReturnEnded);
  SAFEARRAY* sorted = tkr::CellArray(r.Variant("Source.Data"));
  for (std::int32_t row = 1; row <= 5; ++row) EXPECT_EQ(tkr::CellAt(sorted, row).dblVal, row);
  EXPECT_EQ(call(tk::kReset), tk::kReturnReset);
}

// ---------------------------------------------------------------------------------------
// Named codes.

struct Named {
  const char* name;
  std::int64_t value;
};

// Every entry of `expected` is a public Long constant (a Public Const As Long, or a member of a
// Public Enum) with the engine's value (and every entry of `own`, the module's own codes, with
// its value), and every module constant with `prefix` is one of them.
void ExpectConstants(const Module& module, const std::string& prefix,
                     const std::vector<Named>& expected, const std::vector<Named>& own = {}) {
  std::vector<Named> all = expected;
  all.insert(all.end(), own.begin(), own.end());
  for (const Named& e : all) {
    SCOPED_TRACE(e.name);
    const auto found = module.publicConstants.find(e.name);
    if (found == module.publicConstants.end()) {
      ADD_FAILURE() << "no Public Const " << e.name << " in " << kModuleFile;
      continue;
    }
    EXPECT_EQ(found->second.type, "long") << "line " << found->second.line;
    ASSERT_TRUE(found->second.value.has_value())
        << "line " << found->second.line << ": not a whole number";
    EXPECT_EQ(*found->second.value, e.value) << "line " << found->second.line;
  }
  for (const auto& [name, constant] : module.publicConstants) {
    if (Lower(name).rfind(Lower(prefix), 0) != 0) continue;
    const bool known =
        std::any_of(all.begin(), all.end(), [&](const Named& e) { return name == e.name; });
    EXPECT_TRUE(known) << name << " (line " << constant.line << ") names no engine value";
  }
}

// True when some module constant with `prefix` holds `value`.
bool HasConstantFor(const Module& module, const std::string& prefix, std::int64_t value) {
  return std::any_of(module.publicConstants.begin(), module.publicConstants.end(),
                     [&](const auto& entry) {
                       return entry.first.rfind(prefix, 0) == 0 && entry.second.value == value;
                     });
}

std::int64_t Code(tk::Status s) {
  return tk::ToCode(s);
}

TEST(VbaConstants, CommandCodesAreTheEngines) {
  TK_LOAD_MODULE(module);
  ExpectConstants(*module, "TKC_",
                  {{"TKC_SELECT", tk::kSelect},
                   {"TKC_SORTINDEX", tk::kSortIndex},
                   {"TKC_MOVE", tk::kMove},
                   {"TKC_EXPORT", tk::kExport},
                   {"TKC_RESET", tk::kReset},
                   {"TKC_ABOUT", tk::kAbout},
                   {"TKC_BENCHMARK", tk::kBenchmark}});
  // And no command is without a name.
  for (std::int32_t code = -1; code <= 2000; ++code) {
    if (tk::IsCommand(code)) {
      EXPECT_TRUE(HasConstantFor(*module, "TKC_", code)) << code;
    }
  }
}

// Statuses the module returns itself: Esc stopped the request, the library could not be called.
const std::vector<Named> kModuleStatuses = {{"TKS_CANCELLED", 1000}, {"TKS_NO_LIBRARY", 1001}};

TEST(VbaConstants, StatusCodesAreTheEngines) {
  TK_LOAD_MODULE(module);
  using tk::Status;
  ExpectConstants(*module, "TKS_",
                  {{"TKS_SUCCESS", Code(Status::Success)},
                   {"TKS_COMPARE_BREAKOUT", Code(Status::CompareBreakOut)},
                   {"TKS_CONTINUE_ITERATING", Code(Status::ContinueIterating)},
                   {"TKS_ABOUT", Code(Status::About)},
                   {"TKS_MOVE_ROW_BREAKOUT", Code(Status::MoveRowBreakOut)},
                   {"TKS_MOVE_START_BREAKOUT", Code(Status::MoveStartBreakOut)},
                   {"TKS_MOVE_CLOSE_BREAKOUT", Code(Status::MoveCloseBreakOut)},
                   {"TKS_EXPORT_BREAKOUT", Code(Status::ExportBreakOut)},
                   {"TKS_BAD_BOUNDS", Code(Status::BadBounds)},
                   {"TKS_BAD_HEADER_LINES", Code(Status::BadHeaderLines)},
                   {"TKS_NULL_RECORD", Code(Status::NullRecord)},
                   {"TKS_NULL_POINTER", Code(Status::NullPointer)},
                   {"TKS_NO_MEMORY", Code(Status::NoMemory)},
                   {"TKS_STATIC_SORT_INDEX", Code(Status::StaticSortIndex)},
                   {"TKS_OUT_OF_ORDER", Code(Status::OutOfOrder)},
                   {"TKS_TOO_MANY_DIMENSIONS", Code(Status::TooManyDimensions)},
                   {"TKS_BAD_COMMAND_LINE", Code(Status::BadCommandLine)},
                   {"TKS_BAD_CELL", Code(Status::BadCell)},
                   {"TKS_INDEX_CORRUPTED", Code(Status::IndexCorrupted)},
                   {"TKS_FLOW_ERROR", Code(Status::FlowError)},
                   {"TKS_STACK_FAILURE", Code(Status::StackFailure)},
                   {"TKS_STACK_OVERFLOW", Code(Status::StackOverflow)},
                   {"TKS_RANGE_ERROR", Code(Status::RangeError)},
                   {"TKS_RANGE_WRITE_ERROR", Code(Status::RangeWriteError)},
                   {"TKS_SAME_SOURCE_AND_DEST", Code(Status::SameSourceAndDest)},
                   {"TKS_ARRAY_ERROR", Code(Status::ArrayError)},
                   {"TKS_BANNER", Code(Status::Banner)}},
                  // The module's own statuses, past the library's three-digit ones.
                  kModuleStatuses);
  // Every code with a message of its own in the engine's table has a name too, so a row
  // added to the table cannot be forgotten here.
  const std::wstring fallback = tk::StatusMessage(0);
  for (std::int32_t code = 1; code <= 999; ++code) {
    if (tk::StatusMessage(code) != fallback) {
      EXPECT_TRUE(HasConstantFor(*module, "TKS_", code)) << code << " has no TKS_ constant";
    }
  }
  // The library has no message for the module's own statuses, so it never returns them.
  for (const Named& own : kModuleStatuses) {
    EXPECT_GT(own.value, 999) << own.name;
    EXPECT_EQ(std::wstring(tk::StatusMessage(static_cast<std::int32_t>(own.value))), fallback)
        << own.name;
  }
}

TEST(VbaConstants, ReturnValuesAreTheEngines) {
  TK_LOAD_MODULE(module);
  ExpectConstants(*module, "TKR_",
                  {{"TKR_ENDED", tk::kReturnEnded},
                   {"TKR_BREAKOUT", tk::kReturnBreakOut},
                   {"TKR_OUTPUT", tk::kReturnOutput},
                   {"TKR_RESET", tk::kReturnReset}});
}

TEST(VbaConstants, KeywordValuesAreTheParsers) {
  TK_LOAD_MODULE(module);
  // The constant carries the keyword's own name, so the table rows are the expectation.
  std::vector<Named> keywords;
  for (const tk::KeywordTable* table :
       {&tk::kSortKeywords, &tk::kMoveKeywords, &tk::kExportKeywords}) {
    for (std::int32_t i = 0; i < table->count; ++i) {
      keywords.push_back(Named{table->rows[i].text, table->rows[i].value});
    }
  }
  ASSERT_FALSE(keywords.empty());
  ExpectConstants(*module, "TK_", keywords);
}

// ---------------------------------------------------------------------------------------
// The Declare lines and the file itself.

std::vector<Declare> DeclaresIn(const std::vector<Line>& lines) {
  static const std::regex declare(
      R"re(^(?:(?:public|private)\s+)?declare\s+(ptrsafe\s+)?(function|sub)\s+(\w+)\s+)re"
      R"re(lib\s+"([^"]*)"(?:\s+alias\s+"([^"]*)")?\s*\((.*)\)(?:\s+as\s+(\w+))?$)re",
      kVba);
  std::vector<Declare> found;
  for (const Line& line : lines) {
    std::smatch m;
    if (!std::regex_match(line.code, m, declare)) continue;
    found.push_back(Declare{m[1].matched, SameName(m[2].str(), "function"), m[3].str(), m[4].str(),
                            m[5].str(), m[6].str(), m[7].str(), line.number});
  }
  return found;
}

// The Offices one module serves, with the compile constants each defines and the library
// file each can load.
struct Office {
  const char* name;
  bool vba7;   // VBA7: Office 2010 and later
  bool win64;  // Win64: 64-bit Office
  const char* library;
};
const Office kOffices[] = {
    {"VBA6, 32-bit Office 2007 and older", false, false, "tkselect.dll"},
    {"VBA7, 32-bit Office", true, false, "tkselect.dll"},
    {"VBA7, 64-bit Office", true, true, "tkselect64.dll"},
};

// The value of one #If condition: [Not] NAME terms joined by And and Or (And binds
// tighter), NAME one of the compile constants an Office defines. False, with a problem,
// for anything else.
bool Condition(const std::string& text, const Office& office, std::vector<std::string>& problems) {
  const std::map<std::string, bool> constants = {{"vba7", office.vba7},   {"vba6", true},
                                                 {"win64", office.win64}, {"win32", true},
                                                 {"win16", false},        {"mac", false}};
  std::istringstream words(text);
  bool result = false;  // the Or of the And-groups so far
  bool group = true;    // the current And-group
  bool negate = false;
  bool expectTerm = true;
  for (std::string word; words >> word;) {
    const std::string lower = Lower(word);
    if (expectTerm && lower == "not") {
      negate = !negate;
    } else if (expectTerm && constants.count(lower) == 1) {
      group = group && (constants.at(lower) != negate);
      negate = false;
      expectTerm = false;
    } else if (!expectTerm && (lower == "and" || lower == "or")) {
      if (lower == "or") {
        result = result || group;
        group = true;
      }
      expectTerm = true;
    } else {
      problems.push_back("a condition this test cannot read: #If " + text);
      return false;
    }
  }
  if (expectTerm) problems.push_back("an unfinished condition: #If " + text);
  return result || group;
}

// The lines `office` compiles: #If / #ElseIf / #Else / #End If followed.
std::vector<Line> CompiledLines(const std::vector<Line>& lines, const Office& office,
                                std::vector<std::string>& problems) {
  static const std::regex ifLine(R"(^#(if|elseif)\s+(.+)\s+then$)", kVba);
  static const std::regex elseLine(R"(^#else$)", kVba);
  static const std::regex endIf(R"(^#end\s*if$)", kVba);
  struct Block {
    bool outerActive;  // the lines around the block are compiled
    bool taken;        // a branch of the block was compiled already
    bool active;       // the current branch is compiled
  };
  std::vector<Block> open;
  std::vector<Line> compiled;
  for (const Line& line : lines) {
    const bool active = open.empty() || open.back().active;
    std::smatch m;
    if (std::regex_match(line.code, m, ifLine)) {
      if (SameName(m[1].str(), "if")) {
        const bool branch = active && Condition(m[2].str(), office, problems);
        open.push_back(Block{active, branch, branch});
      } else if (open.empty()) {
        problems.push_back("line " + std::to_string(line.number) + ": #ElseIf without #If");
      } else {
        Block& b = open.back();
        b.active = b.outerActive && !b.taken && Condition(m[2].str(), office, problems);
        b.taken = b.taken || b.active;
      }
    } else if (std::regex_match(line.code, elseLine)) {
      if (open.empty()) {
        problems.push_back("line " + std::to_string(line.number) + ": #Else without #If");
        continue;
      }
      Block& b = open.back();
      b.active = b.outerActive && !b.taken;
      b.taken = true;
    } else if (std::regex_match(line.code, endIf)) {
      if (open.empty()) {
        problems.push_back("line " + std::to_string(line.number) + ": #End If without #If");
        continue;
      }
      open.pop_back();
    } else if (active) {
      compiled.push_back(line);
    }
  }
  if (!open.empty()) problems.push_back("an #If has no #End If");
  return compiled;
}

// The module's Type blocks as one text, field by field: what the layout depends on.
std::string TypesText(const Module& module) {
  std::string text;
  for (const auto& [name, type] : module.types) {
    text += type.name + ":";
    for (const VbaField& f : type.fields) {
      text += " " + f.name + (f.dynamicArray ? "()" : "") + " As " + f.type;
    }
    text += "\n";
  }
  return text;
}

// The library's Declare as `office` compiles it: one pointer for the code, one for the
// record, a Long back, the file that Office can load.
void ExpectLibraryDeclare(const std::vector<Line>& compiled, const Office& office) {
  std::vector<Declare> declares;
  for (const Declare& d : DeclaresIn(compiled)) {
    const std::string& exported = d.alias.empty() ? d.name : d.alias;
    if (exported == kExportName) declares.push_back(d);
  }
  ASSERT_EQ(declares.size(), 1u) << "one Declare of " << kExportName << " expected";
  const Declare& d = declares.front();
  SCOPED_TRACE("line " + std::to_string(d.line));
  EXPECT_EQ(d.ptrSafe, office.vba7)
      << (office.vba7 ? "VBA7 needs PtrSafe" : "VBA6 knows no PtrSafe");
  EXPECT_TRUE(d.isFunction);
  EXPECT_TRUE(SameName(d.returns, "Long"));
  const std::string file = d.lib.substr(d.lib.find_last_of("\\/") + 1);
  EXPECT_TRUE(SameName(file, office.library)) << "Lib \"" << d.lib << "\"";

  static const std::regex argument(R"(^(?:(byref|byval)\s+)?(\w+)\s*(\(\s*\))?\s+as\s+(\w+)$)",
                                   kVba);
  std::vector<std::string> types;
  std::istringstream list(d.arguments);
  for (std::string item; std::getline(list, item, ',');) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(item = Trim(item), m, argument)) << "argument: " << item;
    EXPECT_FALSE(SameName(m[1].str(), "ByVal")) << item << ": the library writes through it";
    EXPECT_FALSE(m[3].matched) << item;
    types.push_back(m[4].str());
  }
  ASSERT_EQ(types.size(), 2u) << d.arguments;
  EXPECT_TRUE(SameName(types[0], "Long")) << "the code is a 32-bit Long";
  EXPECT_TRUE(SameName(types[1], "TKCOMM")) << "the record is the module's TKCOMM";

  // The preload next to the workbook loads the file this Declare names.
  static const std::regex libraryFile(
      R"re(^private\s+const\s+library_file\s+as\s+string\s*=\s*"([^"]*)"$)re", kVba);
  std::vector<std::string> preloads;
  for (const Line& line : compiled) {
    std::smatch m;
    if (std::regex_match(line.code, m, libraryFile)) preloads.push_back(m[1].str());
  }
  ASSERT_EQ(preloads.size(), 1u) << "one Private Const LIBRARY_FILE expected";
  EXPECT_TRUE(SameName(preloads.front(), office.library)) << "LIBRARY_FILE is " << preloads.front();
}

// The system's comparison of two texts as `office` compiles its Declare: CompareStringW of
// kernel32, a Long back, every argument by value, the two texts as pointers of that Office's
// width (StrPtr), the rest Longs.
void ExpectCompareStringDeclare(const std::vector<Line>& compiled, const Office& office) {
  std::vector<Declare> declares;
  for (const Declare& d : DeclaresIn(compiled)) {
    if ((d.alias.empty() ? d.name : d.alias) == "CompareStringW") declares.push_back(d);
  }
  ASSERT_EQ(declares.size(), 1u) << "one Declare of CompareStringW expected";
  const Declare& d = declares.front();
  SCOPED_TRACE("line " + std::to_string(d.line));
  EXPECT_EQ(d.ptrSafe, office.vba7);
  EXPECT_TRUE(d.isFunction);
  EXPECT_TRUE(SameName(d.lib, "kernel32") || SameName(d.lib, "kernel32.dll")) << d.lib;
  EXPECT_TRUE(SameName(d.returns, "Long"));
  static const std::regex argument(R"(^byval\s+\w+\s+as\s+(\w+)$)", kVba);
  const char* pointer = office.vba7 ? "LongPtr" : "Long";
  const std::vector<std::string> expected = {"Long", "Long", pointer, "Long", pointer, "Long"};
  std::vector<std::string> types;
  std::istringstream list(d.arguments);
  for (std::string item; std::getline(list, item, ',');) {
    std::smatch m;
    item = Trim(item);
    ASSERT_TRUE(std::regex_match(item, m, argument)) << "argument by value expected: " << item;
    types.push_back(m[1].str());
  }
  ASSERT_EQ(types.size(), expected.size()) << d.arguments;
  for (std::size_t i = 0; i < types.size(); ++i) {
    EXPECT_TRUE(SameName(types[i], expected[i])) << "argument " << i + 1 << " is " << types[i];
  }
}

TEST(VbaDeclare, EachOfficeDeclaresTheLibraryItLoadsWithTheSameTypes) {
  TK_LOAD_MODULE(module);
  for (const Office& office : kOffices) {
    SCOPED_TRACE(office.name);
    std::vector<std::string> problems;
    const std::vector<Line> compiled = CompiledLines(module->lines, office, problems);
    for (const std::string& problem : problems) ADD_FAILURE() << problem;
    ExpectLibraryDeclare(compiled, office);
    ExpectCompareStringDeclare(compiled, office);
    // The record's declaration is one text for every Office; only the rules that lay it
    // out differ.
    EXPECT_EQ(TypesText(ParseLines(compiled)), TypesText(*module));
  }
  // The library this build makes is the one its Office's Declare names.
  const bool win64 = sizeof(void*) == 8;
  const auto mine = std::find_if(std::begin(kOffices), std::end(kOffices),
                                 [&](const Office& o) { return o.vba7 && o.win64 == win64; });
  EXPECT_STREQ(mine->library, tkr::kLibraryName);
}

TEST(VbaDeclare, ConditionsFollowTheBranchesAnOfficeCompiles) {
  const Module sample = Parse(
      "#If VBA7 Then\n"
      "#If Win64 Then\n"
      "a64\n"
      "#ElseIf Not Mac And Win32 Then\n"
      "a32\n"
      "#Else\n"
      "never\n"
      "#End If\n"
      "#Else\n"
      "old\n"
      "#End If\n"
      "always\n");
  const char* expected[] = {"old always", "a32 always", "a64 always"};
  for (std::size_t i = 0; i < 3; ++i) {
    std::vector<std::string> problems;
    std::string seen;
    for (const Line& line : CompiledLines(sample.lines, kOffices[i], problems)) {
      seen += (seen.empty() ? "" : " ") + line.code;
    }
    EXPECT_EQ(seen, expected[i]) << kOffices[i].name;
    EXPECT_TRUE(problems.empty());
  }
  std::vector<std::string> problems;
  CompiledLines(Parse("#If Win64 Xor VBA7 Then\nx\n#End If\n#End If\n").lines, kOffices[0],
                problems);
  EXPECT_EQ(problems.size(), 2u);
}

// TKNaturalCompare orders two texts by the module's call of CompareStringW. That call cannot
// run in the office suite's Basic on Linux, so it is made here, with the locale and flags the
// module passes, and its answers are held against the library's natural keys: every pair of
// a list of names, sorted by the library with the row's position as the next key, must be in
// the call's order, and names it calls equal must keep their positions.
TEST(VbaNaturalCompare, TheModulesSystemCallOrdersTextsAsTheLibrarysNaturalKeys) {
  TK_LOAD_MODULE(module);
  static const std::regex call(R"(\bCompareStringW\s*\(\s*([^,]+?)\s*,\s*([^,]+?)\s*,)", kVba);
  static const std::regex declare(R"(^(?:(?:public|private)\s+)?declare\s)", kVba);
  std::vector<std::pair<std::string, std::string>> calls;
  for (const Line& line : module->lines) {
    std::smatch m;
    if (std::regex_search(line.code, declare) || !std::regex_search(line.code, m, call)) continue;
    calls.emplace_back(m[1].str(), m[2].str());
  }
  ASSERT_EQ(calls.size(), 1u) << "one call of CompareStringW expected in " << kModuleFile;
  const auto locale = ConstantValue(*module, calls[0].first);
  const auto flags = ConstantValue(*module, calls[0].second);
  ASSERT_TRUE(locale.has_value()) << "a locale this test cannot read: " << calls[0].first;
  ASSERT_TRUE(flags.has_value()) << "flags this test cannot read: " << calls[0].second;

  // Names with accents, punctuation, case and digit runs, and the empty text.
  const std::vector<std::wstring> names = {
      L"file10",
      L"co-op 2",
      L"File9",
      L"oneil10",
      L"\u00c9cole 2",
      L"coop 10",
      L"o'neil2",
      L"ecole 10",
      L"v1.10",
      L"Zo\u00eb",
      L"zoe",
      L"v1.9",
      L"",
      L"img002",
      L"img2",
      L"Stra\u00dfe",
      L"strasse",
      L"a-b",
      L"ab",
      L"AB",
      L"item 20b",
      L"item 20a",
      L"na\u00efve1",
      L"naive01",
      L"x99999999999999999999",
      L"x100000000000000000000",
      L"r\u00e9sum\u00e9 4",
      L"resume 3",
      L"file9",
      L"\u00c6r\u00f8",
      L"aero",
      L"O'Neil 3",
      L"-",
      L"10",
  };
  const tkr::Library library(tkr::kLibraryName);
  const tkr::TKselectFn tkselect = library.entry();
  ASSERT_NE(tkselect, nullptr) << "cannot load " << tkr::kLibraryName;
  ModuleRecord r(*module);
  tkt::Rows rows;
  for (std::size_t i = 0; i < names.size(); ++i) {
    rows.push_back({tkt::Cell(names[i].c_str()), tkt::Cell(static_cast<int>(i))});
  }
  tkt::PutArray(r.Variant("Source.Data"), tkt::MakeTable(rows));
  tkt::PutText(r.Variant("SortCmd"), L"1,TK_COMPASCNATURAL 2,TK_COMPASCAUTO");
  std::int32_t code = tk::kSelect;
  ASSERT_EQ(tkselect(&code, r.Address()), tk::kReturnEnded) << "a natural key breaks out";
  ASSERT_EQ(code, 2) << tkt::FieldText(r.Variant("Status"));
  code = tk::kSortIndex;
  ASSERT_EQ(tkselect(&code, r.Address()), tk::kReturnOutput);
  std::vector<std::size_t> order;  // positions in sorted order
  for (LONG i = 1; i <= static_cast<LONG>(names.size()); ++i) {
    std::int32_t row = 0;
    ASSERT_EQ(SafeArrayGetElement(r.LongArray("SortIndex"), &i, &row), S_OK);
    order.push_back(static_cast<std::size_t>(row - 1));
  }
  code = tk::kReset;
  tkselect(&code, r.Address());

  auto compare = [&](const std::wstring& a, const std::wstring& b) {
    return CompareStringW(static_cast<LCID>(*locale), static_cast<DWORD>(*flags), a.c_str(),
                          static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()));
  };
  for (std::size_t i = 0; i < order.size(); ++i) {
    for (std::size_t j = i + 1; j < order.size(); ++j) {
      const std::wstring& a = names[order[i]];
      const std::wstring& b = names[order[j]];
      SCOPED_TRACE(tkr::ToUtf8(L"'" + a + L"' sorted before '" + b + L"'"));
      const int answer = compare(a, b);
      ASSERT_NE(answer, 0) << "CompareStringW failed with the module's locale and flags";
      EXPECT_NE(answer, CSTR_GREATER_THAN);
      if (answer == CSTR_EQUAL) {
        EXPECT_LT(order[i], order[j]) << "equal names keep their rows";
      }
    }
  }
  // The orders users ask for, by name.
  auto place = [&](const wchar_t* name) {
    const auto at = std::find(names.begin(), names.end(), name) - names.begin();
    return std::find(order.begin(), order.end(), static_cast<std::size_t>(at)) - order.begin();
  };
  EXPECT_LT(place(L"file9"), place(L"file10"));
  EXPECT_LT(place(L"co-op 2"), place(L"coop 10"));
  EXPECT_LT(place(L"o'neil2"), place(L"oneil10"));
}

TEST(VbaModuleFile, IsNamedAndImportable) {
  TK_LOAD_MODULE(module);
  const std::string& text = *ModuleText();
  // The editor takes the module's name from its first line.
  EXPECT_EQ(text.substr(0, text.find_first_of("\r\n")), "Attribute VB_Name = \"TKselect\"");
  // The editor reads the file in the system's ANSI code page: bytes above 127 would not
  // come out as written.
  const auto high = std::find_if(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) > 127; });
  EXPECT_EQ(high, text.end()) << "a byte above 127 at offset " << (high - text.begin());
  const bool explicitOn = std::any_of(module->lines.begin(), module->lines.end(),
                                      [](const Line& l) { return l.code == "Option Explicit"; });
  EXPECT_TRUE(explicitOn) << "Option Explicit";
}

}  // namespace

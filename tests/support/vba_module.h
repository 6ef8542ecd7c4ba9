// A model of the macro module (vba/TKselect.bas) as the Offices read it: its logical lines,
// its Type blocks laid out by 32-bit and 64-bit VBA's rules, its constants and Declare
// lines; and the record as this library is compiled with it, member by member, to compare
// the two. The module test (vba_layout_test.cpp) checks the module against the library
// through it.
//
//   LogicalLines, Parse     the module's statements, comments removed and continuations
//                           joined; its Types, its constants
//   LayOut (kVba32, kVba64) a Type's fields placed as each VBA places them
//   TheModule               the module beside the test program, read once (TK_LOAD_MODULE)
//   kSlotFields, kRecordFields, ExpectTypeMatches
//                           the compiled RangeSlot and TKCOMM against the module's Types
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace tkt {

constexpr const char* kModuleFile = "TKselect.bas";
// The exported function's name, as the library's export list gives it.
constexpr const char* kExportName = "TKselect";

// ---------------------------------------------------------------------------------------
// Reading the module: logical lines without comments.

std::string Lower(std::string s);
bool SameName(const std::string& a, const std::string& b);
std::string Trim(const std::string& s);
// The statement part of a line: everything before a ' that stands outside a string, and
// nothing of a Rem line.
std::string StripComment(const std::string& line);

struct Line {
  int number;        // the first physical line, from 1
  std::string code;  // comment removed, continuations joined, trimmed
};

// A physical line ending in " _" continues on the next one (a comment as well).
std::vector<Line> LogicalLines(const std::string& text);

// Case-insensitive patterns, as VBA reads its keywords.
inline const std::regex::flag_type kVba = std::regex::ECMAScript | std::regex::icase;

// ---------------------------------------------------------------------------------------
// Type blocks and their layout under 32-bit and 64-bit VBA.

struct VbaField {
  std::string name;
  std::string type;  // as written: Long, Variant, RangeSlot...
  bool dynamicArray;
  int line;
};

struct VbaType {
  std::string name;
  std::vector<VbaField> fields;
};

struct Placed {
  std::string name;
  std::string type;  // "Long()" for a dynamic array of Long
  std::size_t offset;
  std::size_t size;
};

struct Layout {
  std::vector<Placed> fields;
  std::size_t size = 0;
  std::size_t alignment = 1;
};

// How one VBA lays a user-defined type out: each field on its natural alignment, but on no
// more than `packing` bytes, and the type padded to a multiple of its largest field
// alignment. 32-bit VBA packs to 4 with 4-byte pointers and 16-byte Variants; 64-bit VBA
// aligns naturally (packing 8) with 8-byte pointers and 24-byte Variants.
struct VbaAbi {
  const char* name;
  std::size_t packing;
  std::size_t pointer;  // String, Object, LongPtr and a dynamic array member
  std::size_t variant;
};
inline constexpr VbaAbi kVba32 = {"32-bit VBA", 4, 4, 16};
inline constexpr VbaAbi kVba64 = {"64-bit VBA", 8, 8, 24};
// The rules of the Office this build's library loads into.
#ifdef _WIN64
inline constexpr const VbaAbi& kThisVba = kVba64;
#else
inline constexpr const VbaAbi& kThisVba = kVba32;
#endif

std::size_t AlignUp(std::size_t n, std::size_t alignment);

using TypeMap = std::map<std::string, VbaType>;  // by lower-case name

// Lays `type` out; nested user types are laid out from `types`. Returns nullopt and sets
// `error` for a field type it does not know.
std::optional<Layout> LayOut(const VbaType& type, const TypeMap& types, const VbaAbi& abi,
                             std::string& error, int depth = 0);

// ---------------------------------------------------------------------------------------
// The module's declarations.

struct Constant {
  std::string type;                   // lower case; empty when no As clause
  std::optional<std::int64_t> value;  // for a whole-number literal
  int line;
};

struct Declare {
  bool ptrSafe;
  bool isFunction;
  std::string name;
  std::string lib;
  std::string alias;
  std::string arguments;
  std::string returns;
  int line;
};

struct Module {
  std::vector<Line> lines;
  TypeMap types;
  std::map<std::string, Constant> publicConstants;  // by name as written
  std::map<std::string, Constant> constants;        // every one, by lower-case name
  std::vector<std::string> problems;                // lines the parser could not read
};
// A whole-number literal: decimal, or hexadecimal as &H1F (a Long, so &HFFFFFFFF is -1).
std::optional<std::int64_t> WholeNumber(const std::string& text);
// The value of a constant expression as the module writes flags: literals and names of its
// constants joined by Or. nullopt for anything else.
std::optional<std::int64_t> ConstantValue(const Module& module, const std::string& expression);
Module ParseLines(std::vector<Line> lines);
Module Parse(const std::string& text);

std::optional<std::string> ReadFile(const char* path);
// The module's text from the working directory, where the build copies it; read once.
const std::optional<std::string>& ModuleText();
// The module parsed, or nullptr when its file is not there.
const Module* TheModule();

#define TK_LOAD_MODULE(name)                                                                \
  const Module* name = TheModule();                                                         \
  ASSERT_NE(name, nullptr) << kModuleFile << " was not found in the working directory; "    \
                           << "the build copies vba/TKselect.bas next to the test (re-run " \
                           << "the CMake configure step after editing it)"

// ---------------------------------------------------------------------------------------
// The C++ side of the record, member by member, with the VBA type each member needs.

struct CppField {
  const char* name;
  std::size_t offset;
  std::size_t size;
  std::size_t alignment;  // before the record's packing
  const char* vbaType;
};
extern const std::vector<CppField> kSlotFields;    // tk::RangeSlot
extern const std::vector<CppField> kRecordFields;  // tk::TKCOMM

// The table must cover the struct: members back to back from offset 0 to sizeof, with no
// more than alignment padding between them. A member added to record.h and not to the table
// shows up as a gap (in the 32-bit build any gap; the 64-bit one pads to 8).
void ExpectTableCovers(const std::vector<CppField>& table, std::size_t structSize);

// Lays out the module's Type `typeName` and compares it with `table`, field by field.
void ExpectTypeMatches(const Module& module, const std::string& typeName,
                       const std::vector<CppField>& table, std::size_t structSize);

}  // namespace tkt

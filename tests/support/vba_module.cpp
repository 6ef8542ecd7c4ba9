// The macro module's model. See vba_module.h.
#include "support/vba_module.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "protocol/record.h"

namespace tkt {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool SameName(const std::string& a, const std::string& b) {
  return Lower(a) == Lower(b);
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

// The statement part of a line: everything before a ' that stands outside a string, and
// nothing of a Rem line.
std::string StripComment(const std::string& line) {
  bool inString = false;
  std::size_t end = line.size();
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') inString = !inString;  // "" inside a string toggles twice
    if (line[i] == '\'' && !inString) {
      end = i;
      break;
    }
  }
  std::string code = Trim(line.substr(0, end));
  const std::string lower = Lower(code);
  if (lower == "rem" || lower.rfind("rem ", 0) == 0) return "";
  return code;
}

// A physical line ending in " _" continues on the next one (a comment as well).
std::vector<Line> LogicalLines(const std::string& text) {
  std::vector<Line> lines;
  std::istringstream in(text);
  std::string physical;
  std::string pending;
  int number = 0;
  int first = 0;
  while (std::getline(in, physical)) {
    ++number;
    if (!physical.empty() && physical.back() == '\r') physical.pop_back();
    if (pending.empty()) first = number;
    const std::string trimmed = Trim(physical);
    const bool continues = trimmed == "_" || (trimmed.size() >= 2 &&
                                              trimmed.compare(trimmed.size() - 2, 2, " _") == 0);
    if (continues) {
      pending += trimmed.substr(0, trimmed.size() - 1) + " ";
      continue;
    }
    lines.push_back(Line{first, StripComment(pending + physical)});
    pending.clear();
  }
  if (!pending.empty()) lines.push_back(Line{first, StripComment(pending)});
  return lines;
}

struct Scalar {
  const char* type;
  std::size_t size;     // 0: a pointer
  std::size_t natural;  // natural alignment, before the packing limit; 0: a pointer's
};

// A Variant is aligned as a Double on both; its size comes from the VbaAbi.
constexpr Scalar kScalars[] = {
    {"byte", 1, 1},   {"boolean", 2, 2}, {"integer", 2, 2},  {"long", 4, 4},
    {"single", 4, 4}, {"double", 8, 8},  {"currency", 8, 8}, {"date", 8, 8},
    {"string", 0, 0}, {"object", 0, 0},  {"longptr", 0, 0},  {"variant", 0, 8},
};

std::size_t AlignUp(std::size_t n, std::size_t alignment) {
  return (n + alignment - 1) / alignment * alignment;
}

// Lays `type` out; nested user types are laid out from `types`. Returns nullopt and sets
// `error` for a field type it does not know.
std::optional<Layout> LayOut(const VbaType& type, const TypeMap& types, const VbaAbi& abi,
                             std::string& error, int depth) {
  if (depth > 8) {
    error = "Type " + type.name + " nests too deeply (does it contain itself?)";
    return std::nullopt;
  }
  Layout layout;
  std::size_t offset = 0;
  for (const VbaField& field : type.fields) {
    std::size_t size = 0;
    std::size_t natural = 0;
    if (field.dynamicArray) {
      size = natural = abi.pointer;
    } else if (const auto nested = types.find(Lower(field.type)); nested != types.end()) {
      const auto inner = LayOut(nested->second, types, abi, error, depth + 1);
      if (!inner) return std::nullopt;
      size = inner->size;
      natural = inner->alignment;
    } else {
      const auto scalar =
          std::find_if(std::begin(kScalars), std::end(kScalars),
                       [&](const Scalar& s) { return Lower(field.type) == s.type; });
      if (scalar == std::end(kScalars)) {
        error = "line " + std::to_string(field.line) + ": unknown field type " + field.type;
        return std::nullopt;
      }
      const bool isVariant = Lower(field.type) == "variant";
      size = isVariant ? abi.variant : scalar->size == 0 ? abi.pointer : scalar->size;
      natural = scalar->natural == 0 ? abi.pointer : scalar->natural;
    }
    const std::size_t alignment = std::min(natural, abi.packing);
    offset = AlignUp(offset, alignment);
    layout.fields.push_back(
        Placed{field.name, field.type + (field.dynamicArray ? "()" : ""), offset, size});
    offset += size;
    layout.alignment = std::max(layout.alignment, alignment);
  }
  layout.size = AlignUp(offset, layout.alignment);
  return layout;
}

// A whole-number literal: decimal, or hexadecimal as &H1F (a Long, so &HFFFFFFFF is -1).
std::optional<std::int64_t> WholeNumber(const std::string& text) {
  static const std::regex number(R"(^([-+]?\d+)&?$)");
  static const std::regex hex(R"(^&h([0-9a-f]{1,8})&?$)", std::regex::icase);
  std::smatch m;
  if (std::regex_match(text, m, hex)) {
    return static_cast<std::int32_t>(std::stoul(m[1].str(), nullptr, 16));
  }
  if (!std::regex_match(text, m, number)) return std::nullopt;
  return std::stoll(m[1].str());
}

// The value of a constant expression as the module writes flags: literals and names of its
// constants joined by Or. nullopt for anything else.
std::optional<std::int64_t> ConstantValue(const Module& module, const std::string& expression) {
  static const std::regex orWord(R"(\s+or\s+)", std::regex::icase);
  std::int64_t value = 0;
  for (std::sregex_token_iterator term(expression.begin(), expression.end(), orWord, -1), end;
       term != end; ++term) {
    const std::string text = Trim(term->str());
    std::optional<std::int64_t> part = WholeNumber(text);
    if (!part) {
      const auto named = module.constants.find(Lower(text));
      if (named == module.constants.end()) return std::nullopt;
      part = named->second.value;
    }
    if (!part) return std::nullopt;
    value |= *part;
  }
  return value;
}

Module ParseLines(std::vector<Line> lines) {
  static const std::regex typeStart(R"(^(?:(?:public|private)\s+)?type\s+([a-z_]\w*)$)", kVba);
  static const std::regex typeEnd(R"(^end\s+type$)", kVba);
  static const std::regex field(R"(^([a-z]\w*)\s*(\(\s*\))?\s+as\s+([a-z]\w*)$)", kVba);
  static const std::regex constant(
      R"(^(public|private|global)?\s*const\s+([a-z]\w*)(?:\s+as\s+([a-z]\w*))?\s*=\s*(.+)$)", kVba);
  // An Enum's members are Long constants of the Enum's scope (Public unless said otherwise).
  static const std::regex enumStart(R"(^(public|private)?\s*enum\s+([a-z]\w*)$)", kVba);
  static const std::regex enumEnd(R"(^end\s+enum$)", kVba);
  static const std::regex member(R"(^([a-z]\w*)\s*=\s*(.+)$)", kVba);

  Module module;
  module.lines = std::move(lines);
  VbaType* open = nullptr;
  std::optional<std::string> enumScope;  // set inside an Enum
  for (const Line& line : module.lines) {
    std::smatch m;
    if (line.code.empty()) continue;
    if (enumScope) {
      if (std::regex_match(line.code, enumEnd)) {
        enumScope.reset();
      } else if (std::regex_match(line.code, m, member)) {
        const Constant read{"long", WholeNumber(Trim(m[2].str())), line.number};
        if (*enumScope != "private") module.publicConstants[m[1].str()] = read;
        module.constants[Lower(m[1].str())] = read;
      } else {
        module.problems.push_back("line " + std::to_string(line.number) +
                                  ": not an Enum member this test can read: " + line.code);
      }
    } else if (std::regex_match(line.code, m, enumStart)) {
      enumScope = Lower(m[1].str());
    } else if (open != nullptr) {
      if (std::regex_match(line.code, typeEnd)) {
        open = nullptr;
      } else if (std::regex_match(line.code, m, field)) {
        open->fields.push_back(VbaField{m[1].str(), m[3].str(), m[2].matched, line.number});
      } else {
        module.problems.push_back("line " + std::to_string(line.number) + " in Type " + open->name +
                                  ": not a field this test can lay out: " + line.code);
      }
    } else if (std::regex_match(line.code, m, typeStart)) {
      open = &module.types[Lower(m[1].str())];
      if (!open->name.empty()) {
        module.problems.push_back("line " + std::to_string(line.number) + ": Type " + open->name +
                                  " is declared twice");
      }
      open->name = m[1].str();
    } else if (std::regex_match(line.code, m, constant)) {
      const std::string scope = Lower(m[1].str());
      const Constant read{Lower(m[3].str()), WholeNumber(Trim(m[4].str())), line.number};
      if (scope == "public" || scope == "global") module.publicConstants[m[2].str()] = read;
      module.constants[Lower(m[2].str())] = read;
    }
  }
  if (open != nullptr) module.problems.push_back("Type " + open->name + " has no End Type");
  return module;
}

Module Parse(const std::string& text) {
  return ParseLines(LogicalLines(text));
}

std::optional<std::string> ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::optional<std::string>& ModuleText() {
  static const std::optional<std::string> text = ReadFile(kModuleFile);
  return text;
}

const Module* TheModule() {
  static const std::optional<Module> module =
      ModuleText() ? std::optional<Module>(Parse(*ModuleText())) : std::nullopt;
  return module ? &*module : nullptr;
}

template <typename T>
struct VbaName;
template <>
struct VbaName<std::int32_t> {
  static constexpr const char* value = "Long";
};
template <>
struct VbaName<double> {
  static constexpr const char* value = "Double";
};
template <>
struct VbaName<VARIANT> {
  static constexpr const char* value = "Variant";
};
template <>
struct VbaName<tk::RangeSlot> {
  static constexpr const char* value = "RangeSlot";
};
// The SAFEARRAY pointer is the caller's dynamic array; SORTINDEX fills it with VT_I4
// elements, which VBA calls Long.
template <>
struct VbaName<SAFEARRAY*> {
  static constexpr const char* value = "Long()";
};

// clang-format off
#define TK_FIELD(Record, Name)                                         \
  CppField{#Name, offsetof(tk::Record, Name), sizeof(tk::Record::Name), \
           alignof(decltype(tk::Record::Name)), VbaName<decltype(tk::Record::Name)>::value}
// clang-format on

const std::vector<CppField> kSlotFields = {
    TK_FIELD(RangeSlot, FromRange), TK_FIELD(RangeSlot, RangeObj),    TK_FIELD(RangeSlot, Valid),
    TK_FIELD(RangeSlot, Data),      TK_FIELD(RangeSlot, HeaderLines), TK_FIELD(RangeSlot, FirstRow),
    TK_FIELD(RangeSlot, LastRow),   TK_FIELD(RangeSlot, RowCount),
};

const std::vector<CppField> kRecordFields = {
    TK_FIELD(TKCOMM, Banner),       TK_FIELD(TKCOMM, Version),
    TK_FIELD(TKCOMM, Reserved1),    TK_FIELD(TKCOMM, Source),
    TK_FIELD(TKCOMM, IgnoreEmpty),  TK_FIELD(TKCOMM, Dest),
    TK_FIELD(TKCOMM, SortCmd),      TK_FIELD(TKCOMM, SortKeyCount),
    TK_FIELD(TKCOMM, SortCmdOk),    TK_FIELD(TKCOMM, MoveCmd),
    TK_FIELD(TKCOMM, MoveMapCount), TK_FIELD(TKCOMM, MoveCmdOk),
    TK_FIELD(TKCOMM, ExportCmd),    TK_FIELD(TKCOMM, ExportMapCount),
    TK_FIELD(TKCOMM, ExportCmdOk),  TK_FIELD(TKCOMM, BrkRowA),
    TK_FIELD(TKCOMM, BrkRowB),      TK_FIELD(TKCOMM, BrkColumn),
    TK_FIELD(TKCOMM, BrkDestRow),   TK_FIELD(TKCOMM, BrkDestColumn),
    TK_FIELD(TKCOMM, SortIndex),    TK_FIELD(TKCOMM, SortIndexValid),
    TK_FIELD(TKCOMM, LastError),    TK_FIELD(TKCOMM, Status),
    TK_FIELD(TKCOMM, BenchRows),    TK_FIELD(TKCOMM, Reserved2),
    TK_FIELD(TKCOMM, BenchShuffle), TK_FIELD(TKCOMM, SortSeconds),
    TK_FIELD(TKCOMM, MoveSeconds),  TK_FIELD(TKCOMM, WriteSeconds),
};

// The table above must cover the struct: members back to back from offset 0 to sizeof, with
// no more than alignment padding between them. A member added to record.h and not here
// shows up as a gap (in the 32-bit build any gap; the 64-bit one pads to 8).
void ExpectTableCovers(const std::vector<CppField>& table, std::size_t structSize) {
  std::size_t next = 0;
  std::size_t widest = 1;
  for (const CppField& f : table) {
    const std::size_t alignment = std::min(f.alignment, kThisVba.packing);
    EXPECT_EQ(f.offset, AlignUp(next, alignment))
        << f.name << ": a member of the struct is missing before it";
    next = f.offset + f.size;
    widest = std::max(widest, alignment);
  }
  EXPECT_EQ(AlignUp(next, widest), structSize)
      << "members of the struct are missing after the last one";
}

// Lays out the module's Type `typeName` and compares it with `table`, field by field.
void ExpectTypeMatches(const Module& module, const std::string& typeName,
                       const std::vector<CppField>& table, std::size_t structSize) {
  for (const std::string& problem : module.problems) ADD_FAILURE() << problem;
  const auto found = module.types.find(Lower(typeName));
  ASSERT_NE(found, module.types.end()) << "no Type " << typeName << " block in " << kModuleFile;
  std::string error;
  const std::optional<Layout> layout = LayOut(found->second, module.types, kThisVba, error);
  ASSERT_TRUE(layout.has_value()) << error;

  const std::vector<Placed>& vba = layout->fields;
  for (std::size_t i = 0; i < std::max(vba.size(), table.size()); ++i) {
    if (i >= vba.size()) {
      ADD_FAILURE() << typeName << " lacks field " << i + 1 << ", " << table[i].name;
      continue;
    }
    if (i >= table.size()) {
      ADD_FAILURE() << typeName << " has an extra field " << i + 1 << ", " << vba[i].name;
      continue;
    }
    SCOPED_TRACE(typeName + " field " + std::to_string(i + 1) + ": " + table[i].name);
    EXPECT_TRUE(SameName(vba[i].name, table[i].name)) << "the module has " << vba[i].name;
    EXPECT_TRUE(SameName(vba[i].type, table[i].vbaType))
        << "declared As " << vba[i].type << ", needs " << table[i].vbaType;
    EXPECT_EQ(vba[i].offset, table[i].offset);
    EXPECT_EQ(vba[i].size, table[i].size);
  }
  EXPECT_EQ(layout->size, structSize) << "size of Type " << typeName;
}

}  // namespace tkt

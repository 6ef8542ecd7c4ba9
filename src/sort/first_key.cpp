// The first sort key carried beside the row index. See first_key.h.
#include "sort/first_key.h"

#include <cmath>
#include <cstring>

namespace tk {
namespace {

// The classes, each in the top four bits of a value. Within a class, the bits below order
// the cells as CompareRows does; across classes, FirstKeys::Across says what is known.
enum Class : std::uint64_t {
  kUnknown = 0,       // only CompareRows can order it: VarCmp's, a null, an object, ...
  kEmpty = 1,         // an empty cell
  kRank = 2,          // a text with its rank among the column's texts
  kBoolean = 3,       // True or False (True, -1, first)
  kSingle = 4,        // a Single that is not NaN
  kNumber = 5,        // a Double that is not NaN, or a Byte, Integer or Long: the whole value
  kNumberPrefix = 6,  // such a number whose four lowest bits the prefix lost
  kTextNumber = 7,    // a text the key reads as a number
  kWhole64 = 8,       // a LongLong
  kCurrency = 9,      // a Currency whose difference with any other fits (VarCmp subtracts)
  kDate = 10,         // a date with one reading
};
constexpr unsigned kShift = 60;
constexpr std::uint64_t kValueMask = (std::uint64_t{1} << kShift) - 1;

constexpr std::uint64_t Make(Class c, std::uint64_t bits) noexcept {
  return (static_cast<std::uint64_t>(c) << kShift) | (bits & kValueMask);
}
constexpr Class ClassOf(std::uint64_t value) noexcept {
  return Class(value >> kShift);
}

// A double's bits, reordered so that unsigned comparison is the numbers' order; -0 is 0,
// which compares equal to it.
std::uint64_t OrderedBits(double value) noexcept {
  if (value == 0) value = 0;
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// A signed 64-bit number likewise.
std::uint64_t OrderedBits(std::int64_t value) noexcept {
  return static_cast<std::uint64_t>(value) ^ (std::uint64_t{1} << 63);
}

// The 60 highest of 64 ordered bits, in `c`: a prefix of the value.
std::uint64_t Prefix(Class c, std::uint64_t ordered) noexcept {
  return Make(c, ordered >> 4);
}

// A double's biased exponent (0 for zero and the subnormals, 2047 for infinities and NaN).
unsigned ExponentOf(double value) noexcept {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return static_cast<unsigned>(bits >> 52) & 0x7FFu;
}

// The values of a number class, of which there are two forms. A column's numbers mostly span
// a few dozen binades: when every non-zero number of the column is normal and their
// exponents span at most kCompactBinades, a number is written whole in 60 bits (its sign, its
// exponent less the lowest, its 52 bits of mantissa), and equal values are equal numbers.
// Otherwise a number keeps the 60 highest of its 64 ordered bits, a prefix (class kNumber when
// the four it lost are zero, kNumberPrefix when not). Every number of one column takes one
// form, so that any two compare by their value bits.
constexpr unsigned kCompactBinades = 127;
constexpr std::uint64_t kCompactZero = std::uint64_t{1} << 59;

std::uint64_t NumberBits(Class c, double value, unsigned lowestExponent) noexcept {
  if (value == 0) return Make(c, kCompactZero);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const std::uint64_t exponent = ((bits >> 52) & 0x7FFu) - lowestExponent + 1;
  const std::uint64_t magnitude = (exponent << 52) | (bits & ((std::uint64_t{1} << 52) - 1));
  return Make(c, value > 0 ? kCompactZero + magnitude : kCompactZero - 1 - magnitude);
}

std::uint64_t NumberValue(double value, unsigned lowestExponent) noexcept {
  if (lowestExponent != 0) return NumberBits(kNumber, value, lowestExponent);
  const std::uint64_t ordered = OrderedBits(value);
  return Prefix((ordered & 15u) == 0 ? kNumber : kNumberPrefix, ordered);
}

// The number a cell of the doubles' family stands for: a text read as one (`made`), a Double
// that is not NaN, a Byte, Integer or Long. False for any other cell.
bool RealOf(const VARIANT& cell, int made, double number, double& value) noexcept {
  if (made == TextKeys::kMadeNumber) {
    value = number;
    return !std::isnan(value);
  }
  if (made != TextKeys::kMadeNothing) return false;
  switch (cell.vt) {
    case VT_UI1: value = cell.bVal; return true;
    case VT_I2: value = cell.iVal; return true;
    case VT_I4: value = cell.lVal; return true;
    case VT_R8: value = cell.dblVal; return !std::isnan(value);
    default: return false;
  }
}

// The doubles' family: the number classes, which CompareRows orders by value among
// themselves (a Long against a Double is two Doubles, a text read as a number a Double).
bool IsReal(Class c) noexcept {
  return c == kNumber || c == kNumberPrefix || c == kTextNumber;
}

// The bits of a rank's value below the rank: a rank takes 32 of the 60, and the second key's
// number the 28 below it (see FirstKeys::CarrySecondKey).
constexpr unsigned kThenBits = 28;
constexpr std::uint64_t kThenMask = (std::uint64_t{1} << kThenBits) - 1;

}  // namespace

std::uint64_t FirstKeys::ValueOf(const VARIANT& cell, int made, std::uint32_t rank, double number,
                                 unsigned lowestExponent) noexcept {
  if (made == TextKeys::kMadeRank) return Make(kRank, rank);
  double real = 0;
  if (made == TextKeys::kMadeNumber) {
    if (!RealOf(cell, made, number, real)) return Make(kUnknown, 0);
    return lowestExponent != 0 ? NumberBits(kTextNumber, real, lowestExponent)
                               : Prefix(kTextNumber, OrderedBits(real));
  }
  if (RealOf(cell, made, number, real)) return NumberValue(real, lowestExponent);
  switch (cell.vt) {
    case VT_EMPTY: return Make(kEmpty, 0);
    case VT_R4: {
      if (std::isnan(cell.fltVal)) break;
      float value = cell.fltVal == 0 ? 0.0f : cell.fltVal;
      std::uint32_t bits = 0;
      std::memcpy(&bits, &value, sizeof bits);
      return Make(kSingle, (bits >> 31) != 0 ? ~bits : bits | 0x80000000u);
    }
    case VT_I8: return Prefix(kWhole64, OrderedBits(static_cast<std::int64_t>(cell.llVal)));
    case VT_CY: {
      // Only amounts CompareNumbers orders by value: the others overflow VarCmp's difference.
      constexpr std::int64_t kHalf = std::int64_t{1} << 62;
      const std::int64_t amount = cell.cyVal.int64;
      if (amount <= -kHalf || amount >= kHalf) break;
      return Prefix(kCurrency, OrderedBits(amount));
    }
    case VT_DATE:
      // A negative date with a time of day orders differently as a number and as a moment.
      if (std::isnan(cell.date) || (cell.date < 0 && cell.date != std::floor(cell.date))) break;
      return Prefix(kDate, OrderedBits(cell.date));
    case VT_BOOL:
      if (cell.boolVal == VARIANT_TRUE) return Make(kBoolean, 0);
      if (cell.boolVal == VARIANT_FALSE) return Make(kBoolean, 1);
      break;
    default: break;
  }
  return Make(kUnknown, 0);
}

int FirstKeys::Across(std::uint64_t a, std::uint64_t b) const noexcept {
  const Class ca = ClassOf(a);
  const Class cb = ClassOf(b);
  if (ca == kUnknown || cb == kUnknown) return kUndecided;
  // An empty cell against any cell of a class: the empty-cell rule, never reversed.
  if (ca == kEmpty) return ignoreEmpty_ ? kTie : 1;
  if (cb == kEmpty) return ignoreEmpty_ ? kTie : -1;
  int order = kUndecided;
  if (IsReal(ca) && IsReal(cb)) {
    const std::uint64_t va = a & kValueMask;
    const std::uint64_t vb = b & kValueMask;
    if (va == vb) return kUndecided;
    order = va < vb ? -1 : 1;
  } else if (ca == kTextNumber && cb == kRank) {
    order = -1;  // a text read as a number comes before every other text
  } else if (ca == kRank && cb == kTextNumber) {
    order = 1;
  } else {
    return kUndecided;
  }
  return descending_ ? -order : order;
}

void FirstKeys::Clear() noexcept {
  values_.Release();
  descending_ = false;
  ignoreEmpty_ = false;
}

void FirstKeys::Build(const Selection& selection, const TextKeys& text,
                      const TKCOMM& comm) noexcept {
  Clear();
  const KeyTable& keys = selection.keys.SortKeys;
  // With no key counted, CompareRows compares nothing, and neither may the values.
  if (!text.Settled() || keys.size() == 0 || comm.SortKeyCount < 1) return;
  const KeyEntry& key = keys[0];
  const std::int32_t* index = selection.RowIndex.get();
  const std::uint32_t length = selection.RowIndexLength;
  if (key.Cells == nullptr || key.Mode == kCompareBreakOut || index == nullptr || length < 3) {
    return;
  }
  if (!values_.Allocate(length)) return;
  descending_ = IsDescending(key.Mode);
  ignoreEmpty_ = comm.IgnoreEmpty != 0;
  std::uint64_t* values = values_.get();
  values[0] = Make(kUnknown, 0);
  values[length - 1] = Make(kUnknown, 0);
  // The numbers' form: whole when their exponents allow it (lowest non-zero), else prefixes.
  unsigned lowest = 0x7FFu;
  unsigned highest = 0;
  bool compact = true;
  for (std::uint32_t j = 1; compact && j + 1 < length; ++j) {
    const std::int32_t row = index[j];
    std::uint32_t rank = 0;
    double number = 0;
    double real = 0;
    const int made = text.Made(0, row, rank, number);
    if (!RealOf(*ColumnCell(key.Cells, row), made, number, real) || real == 0) continue;
    const unsigned exponent = ExponentOf(real);
    compact = exponent != 0 && exponent != 0x7FFu;
    lowest = exponent < lowest ? exponent : lowest;
    highest = exponent > highest ? exponent : highest;
  }
  const unsigned lowestExponent =
      compact && (lowest > highest || highest - lowest < kCompactBinades) ? lowest : 0u;
  for (std::uint32_t j = 1; j + 1 < length; ++j) {
    const std::int32_t row = index[j];
    std::uint32_t rank = 0;
    double number = 0;
    const int made = text.Made(0, row, rank, number);
    values[j] = ValueOf(*ColumnCell(key.Cells, row), made, rank, number, lowestExponent);
  }
  CarrySecondKey(selection, text, comm);
}

// A column of many short words holds each word many times, and a sort on a word, then an
// amount, read both rows' amounts for every pair of equal words, each a cache miss far away in
// a large table (tkrun64 sorting ten million rows so: 4.0 to 4.4 s, and 3.0 s with the amounts
// carried). Where every row of a text holds a number in the second key (the doubles' family,
// as CompareRows orders them by value), each rank's value carries the 28 highest of the
// number's ordered bits below the rank, turned where the two keys' orders differ, so that the
// value's order is the first key's, then the second's. Equal ranks with different bits are
// then decided here as CompareRows decides them on the second key; equal values still tie on
// the first key for certain (the second may tie or not), and CompareRows starts at the second
// key as before. Any row of a text whose second key holds something else (a text, an empty
// cell, a date, NaN) leaves the ranks alone.
void FirstKeys::CarrySecondKey(const Selection& selection, const TextKeys& text,
                               const TKCOMM& comm) noexcept {
  const KeyTable& keys = selection.keys.SortKeys;
  if (comm.SortKeyCount < 2 || keys.size() < 2) return;
  const KeyEntry& then = keys[1];
  if (then.Cells == nullptr || then.Mode == kCompareBreakOut) return;
  const bool turned = IsDescending(then.Mode) != descending_;
  const std::int32_t* index = selection.RowIndex.get();
  const std::uint32_t length = selection.RowIndexLength;
  std::uint64_t* values = values_.get();
  std::uint32_t j = 1;
  for (; j + 1 < length; ++j) {
    if (ClassOf(values[j]) != kRank) continue;
    const std::int32_t row = index[j];
    std::uint32_t rank = 0;
    double number = 0;
    double real = 0;
    const int made = text.Made(1, row, rank, number);
    if (!RealOf(*ColumnCell(then.Cells, row), made, number, real)) break;
    const std::uint64_t bits = OrderedBits(real) >> (64 - kThenBits);
    values[j] =
        Make(kRank, ((values[j] & kValueMask) << kThenBits) | (turned ? ~bits & kThenMask : bits));
  }
  if (j + 1 >= length) return;
  for (std::uint32_t k = 1; k < j; ++k) {
    if (ClassOf(values[k]) == kRank) values[k] = Make(kRank, (values[k] & kValueMask) >> kThenBits);
  }
}

}  // namespace tk

// The order of two cells without VarCmp. See cell_order.h.
#include "sort/cell_order.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "sort/letter_keys.h"

namespace tk {
namespace {

template <class T>
HRESULT Order(T a, T b) noexcept {
  return a < b ? VARCMP_LT : (a == b ? VARCMP_EQ : VARCMP_GT);
}

// Whole numbers of the types a macro's Byte, Integer, Long and LongLong give, which any two
// of them compare exactly in 64 bits. The integer types a macro cannot hold (VT_I1, VT_UI2,
// VT_UI4, VT_UI8, VT_INT, VT_UINT) are left to VarCmp everywhere: the one we run on refuses
// some of them even against their own type.
bool AsWhole(const VARIANT& cell, std::int64_t& value) noexcept {
  switch (cell.vt) {
    case VT_UI1: value = cell.bVal; return true;
    case VT_I2: value = cell.iVal; return true;
    case VT_I4: value = cell.lVal; return true;
    case VT_I8: value = cell.llVal; return true;
    default: return false;
  }
}

// A Double, or a whole number of at most 32 bits, which a Double holds exactly: a Long
// against a Double is compared as two Doubles, with nothing rounded.
bool AsExactDouble(const VARIANT& cell, double& value) noexcept {
  switch (cell.vt) {
    case VT_R8: value = cell.dblVal; return !std::isnan(value);
    case VT_UI1: value = cell.bVal; return true;
    case VT_I2: value = cell.iVal; return true;
    case VT_I4: value = cell.lVal; return true;
    default: return false;
  }
}

// A date before 1899-12-30 with a time of day is stored as minus the days plus the time, so
// its number and its moment order differently; the others order the same both ways.
bool HasOneReading(double date) noexcept {
  return !std::isnan(date) && (date >= 0 || date == std::floor(date));
}

bool FitsHalfRange(std::int64_t value) noexcept {
  constexpr std::int64_t kHalf = std::int64_t{1} << 62;
  return value > -kHalf && value < kHalf;
}

bool IsObjectOrReference(const VARIANT& cell) noexcept {
  const VARTYPE type = cell.vt & VT_TYPEMASK;
  return (cell.vt & VT_BYREF) != 0 || type == VT_DISPATCH || type == VT_UNKNOWN ||
         type == VT_RECORD;
}

// A string VarCmp compares with the locale's string comparison and nothing else: not null,
// not empty, no NUL (VarCmp's string path reads those on its own).
bool IsKeyableText(const VARIANT& cell) noexcept {
  if (cell.vt != VT_BSTR || cell.bstrVal == nullptr) return false;
  const UINT length = SysStringLen(cell.bstrVal);
  return length != 0 && std::wmemchr(cell.bstrVal, L'\0', length) == nullptr;
}

// The `count` (at most 8) bytes of a key of `length` bytes from byte `from` on, as a big-endian
// number: zeros past the key's end.
std::uint64_t BigEndianBytes(const unsigned char* key, std::uint32_t length, std::uint32_t from,
                             std::uint32_t count) noexcept {
  std::uint64_t value = 0;
  for (std::uint32_t i = from; i < from + count; ++i)
    value = (value << 8) | (i < length ? key[i] : 0u);
  return value;
}

}  // namespace

TextRule TextRuleOf(std::int32_t mode) noexcept {
  switch (mode) {
    case kCompareAscendingCase:
    case kCompareDescendingCase: return {0, false};
    case kCompareAscendingNatural:
    case kCompareDescendingNatural:
      return {platform::kTextIgnoreCase | platform::kTextDigitsAsNumbers, false};
    case kCompareAscendingNumText:
    case kCompareDescendingNumText: return {platform::kTextIgnoreCase, true};
    default: return {platform::kTextIgnoreCase, false};
  }
}

bool CompareNumbers(const VARIANT& a, const VARIANT& b, HRESULT& v) noexcept {
  if (a.vt == b.vt) {
    switch (a.vt) {
      case VT_UI1: v = Order(a.bVal, b.bVal); return true;
      case VT_I2: v = Order(a.iVal, b.iVal); return true;
      case VT_I4: v = Order(a.lVal, b.lVal); return true;
      case VT_I8: v = Order(a.llVal, b.llVal); return true;
      case VT_CY:
        // VarCmp subtracts currencies, and a difference past the type's range fails with an
        // overflow: only amounts whose difference fits (within 461 trillion) go by value.
        if (!FitsHalfRange(a.cyVal.int64) || !FitsHalfRange(b.cyVal.int64)) return false;
        v = Order(a.cyVal.int64, b.cyVal.int64);
        return true;
      case VT_R4:
        if (std::isnan(a.fltVal) || std::isnan(b.fltVal)) return false;
        v = Order(a.fltVal, b.fltVal);
        return true;
      case VT_R8:
        if (std::isnan(a.dblVal) || std::isnan(b.dblVal)) return false;
        v = Order(a.dblVal, b.dblVal);
        return true;
      case VT_DATE:
        if (!HasOneReading(a.date) || !HasOneReading(b.date)) return false;
        v = Order(a.date, b.date);
        return true;
      case VT_BOOL: {
        // True is -1: as a number it comes before False.
        const bool canonical = (a.boolVal == VARIANT_TRUE || a.boolVal == VARIANT_FALSE) &&
                               (b.boolVal == VARIANT_TRUE || b.boolVal == VARIANT_FALSE);
        if (!canonical) return false;
        v = Order(a.boolVal, b.boolVal);
        return true;
      }
      default: return false;
    }
  }
  std::int64_t wholeA = 0, wholeB = 0;
  if (AsWhole(a, wholeA) && AsWhole(b, wholeB)) {
    v = Order(wholeA, wholeB);
    return true;
  }
  double realA = 0, realB = 0;
  if (AsExactDouble(a, realA) && AsExactDouble(b, realB)) {
    v = Order(realA, realB);
    return true;
  }
  return false;
}

bool IsPlainCell(const VARIANT& cell) noexcept {
  switch (cell.vt) {
    case VT_EMPTY:
    case VT_UI1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BOOL:
    case VT_BSTR:
    case VT_DECIMAL:
    case VT_ERROR: return true;
    default: return false;
  }
}

void TextKeys::Clear() noexcept {
  slotOfKey_.Release();
  numbersOfSlot_.Release();
  ranks_.Release();
  numbers_.Release();
  firstRow_ = 0;
  rows_ = 0;
  keyed_ = 0;
  settled_ = false;
}

namespace {

// The variants of a column's ranks, one per text rule: the sort keys of the automatic order
// (0), with case (1), natural (2), and of text as number (3), whose texts are ranked as the
// automatic order's but which also holds numbers.
int VariantOf(const TextRule& rule) noexcept {
  if (rule.ReadsNumbers) return 3;
  if ((rule.Flags & platform::kTextDigitsAsNumbers) != 0) return 2;
  return (rule.Flags & platform::kTextIgnoreCase) != 0 ? 0 : 1;
}
constexpr std::uint32_t kVariants = 4;

// One text's sort key in a share: its first 12 bytes, and where the rest is. Twelve bytes
// are six letters of most scripts: a million words rarely tie on them, so the sort and the
// merge of the halves seldom read the rest, scattered over the share's bytes (the four bytes
// after the first eight take the room the entry's alignment leaves). Only the rest is kept in
// the share's bytes: the key of a short word is all in its entry, and a share of a million
// such words is twelve megabytes smaller.
constexpr std::uint32_t kInEntry = 12;
struct ShareEntry {
  std::uint64_t Prefix;     // the key's first 8 bytes, big-endian, zero-padded
  std::uint32_t Following;  // the next 4, likewise
  std::uint32_t Offset;     // where the key's bytes after its first 12 are in the share's bytes
  std::uint32_t Length;     // bytes of the whole key, the final zero included
  std::uint32_t Row;        // data row

  std::uint32_t Rest() const noexcept { return Length > kInEntry ? Length - kInEntry : 0; }
};

// memcmp's order of two keys, the shorter first where one begins the other. Eight bytes at a
// time and inline: the share's sort compares keys that share their first eight bytes millions
// of times, and a call into the C library for each cost a fifth of SELECT on a million words.
int CompareBytes(const unsigned char* a, std::uint32_t lengthA, const unsigned char* b,
                 std::uint32_t lengthB) noexcept {
  const std::uint32_t shorter = lengthA < lengthB ? lengthA : lengthB;
  std::uint32_t i = 0;
  for (; i + 8 <= shorter; i += 8) {
    std::uint64_t x = 0, y = 0;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
  }
  for (; i < shorter; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return lengthA < lengthB ? -1 : lengthA == lengthB ? 0 : 1;
}

// The order of two share entries whose keys' rests are in `bytesA` and `bytesB`: memcmp's order
// of the whole keys. By their first 12 bytes, then by the rests; keys equal that far and both no
// longer than 12 bytes differ only in zeros past the shorter one's end, which comes first.
int CompareEntries(const ShareEntry& a, const unsigned char* bytesA, const ShareEntry& b,
                   const unsigned char* bytesB) noexcept {
  if (a.Prefix != b.Prefix) return a.Prefix < b.Prefix ? -1 : 1;
  if (a.Following != b.Following) return a.Following < b.Following ? -1 : 1;
  const int rests = CompareBytes(bytesA + a.Offset, a.Rest(), bytesB + b.Offset, b.Rest());
  if (rests != 0) return rests;
  return a.Length < b.Length ? -1 : a.Length == b.Length ? 0 : 1;
}

// The sort keys of a run of a column's texts, made one after the other into one block within a
// budget, then sorted.
class Share {
 public:
  // `letters`: the keys of plain words, where they were learned (or nullptr).
  Share(VARIANT* cells, std::int32_t firstRow, std::uint32_t flags, std::size_t budget,
        const LetterKeys* letters = nullptr) noexcept
      : cells_(cells), firstRow_(firstRow), flags_(flags), budget_(budget), letters_(letters) {}

  // Room for the entries of `count` texts, or of as many as a fourth of the budget holds.
  bool Prepare(std::uint32_t count) noexcept {
    const std::size_t most = budget_ / 4 / sizeof(ShareEntry);
    if (most == 0) return false;
    return entries_.Allocate(count < most ? count : most);
  }

  // Makes the keys of rows[done...] while they fit; false when not even one does.
  bool Make(const std::uint32_t* rows, std::uint32_t count, std::uint32_t& done,
            std::uint32_t& longest) noexcept {
    used_ = 0;
    taken_ = 0;
    if (bytes_.size() == 0) Presize(rows + done, count - done);
    while (done < count && taken_ < entries_.size()) {
      const std::uint32_t row = rows[done];
      std::uint32_t length = 0;
      if (!KeyInto(row, length)) {
        if (taken_ == 0) return false;
        break;
      }
      unsigned char* key = bytes_.get() + used_;
      entries_[taken_++] = ShareEntry{BigEndianBytes(key, length, 0, 8),
                                      static_cast<std::uint32_t>(BigEndianBytes(key, length, 8, 4)),
                                      static_cast<std::uint32_t>(used_), length, row};
      // The entry holds the first bytes: only the rest stays.
      const std::uint32_t rest = entries_[taken_ - 1].Rest();
      if (rest != 0) std::memmove(key, key + kInEntry, rest);
      used_ += rest;
      if (length > longest) longest = length;
      ++done;
    }
    return true;
  }

  void Sort() noexcept {
    const unsigned char* bytes = bytes_.get();
    std::sort(entries_.get(), entries_.get() + taken_,
              [bytes](const ShareEntry& a, const ShareEntry& b) {
                return CompareEntries(a, bytes, b, bytes) < 0;
              });
  }

  const ShareEntry* Entries() const noexcept { return entries_.get(); }
  std::uint32_t Taken() const noexcept { return taken_; }
  const unsigned char* Bytes() const noexcept { return bytes_.get(); }

  void Release() noexcept {
    entries_.Release();
    bytes_.Release();
    used_ = 0;
    taken_ = 0;
  }

 private:
  // Appends the key of data row `row` to the share's bytes, within the budget.
  bool KeyInto(std::uint32_t row, std::uint32_t& length) noexcept {
    const VARIANT& cell = *ColumnCell(cells_, firstRow_ + static_cast<std::int32_t>(row));
    const std::uint32_t characters = SysStringLen(cell.bstrVal);
    // About two bytes a character for letters; more when a text needs it.
    if (!Reserve(std::size_t{characters} * 2 + 16)) return false;
    auto room = [&] {
      const std::size_t left = bytes_.size() - used_;
      return left > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(left);
    };
    // A plain word's key from the learned weights, where it can be; else the locale's.
    length = letters_ != nullptr
                 ? letters_->Make(cell.bstrVal, characters, bytes_.get() + used_, room())
                 : 0;
    if (length != 0) return used_ + length <= 0xFFFFFFFFu;
    std::uint32_t needed = 0;
    auto write = [&] {
      return platform::TextSortKey(cell.bstrVal, characters, flags_, bytes_.get() + used_, room(),
                                   needed);
    };
    length = write();
    if (length == 0 && needed > 0) {
      if (!Reserve(needed)) return false;
      length = write();
    }
    return length != 0 && used_ + length <= 0xFFFFFFFFu;
  }

  // Room for the rests of the keys of the next texts the entries take, from their lengths: two
  // bytes a character and eight a text hold the key of a word of most scripts, less the twelve
  // its entry holds, and room to make the longest whole. One block from the start needs no
  // growth, whose copies cost time and, while the old block and the new both stand, memory; a
  // text whose key is longer still grows it (Reserve). Nothing when memory is short: Reserve
  // then grows the block as it can.
  void Presize(const std::uint32_t* rows, std::uint32_t count) noexcept {
    const std::size_t texts = count < entries_.size() ? count : entries_.size();
    std::size_t size = 0, longest = 0;
    for (std::size_t i = 0; i < texts; ++i) {
      const VARIANT& cell = *ColumnCell(cells_, firstRow_ + static_cast<std::int32_t>(rows[i]));
      const std::size_t key = std::size_t{SysStringLen(cell.bstrVal)} * 2 + 8;
      if (key > kInEntry) size += key - kInEntry;
      if (key > longest) longest = key;
    }
    size += longest + 8;  // KeyInto's room for the whole key, made before the entry takes it
    const std::size_t budget = budget_ - entries_.size() * sizeof(ShareEntry);
    if (size > budget) size = budget;
    if (size > 0) static_cast<void>(bytes_.Resize(size));
  }

  // Room for `more` key bytes after the used ones, within the budget.
  bool Reserve(std::size_t more) noexcept {
    const std::size_t budget = budget_ - entries_.size() * sizeof(ShareEntry);
    if (more > budget || used_ > budget - more) return false;
    if (used_ + more <= bytes_.size()) return true;
    // Half as much again, at least what is asked, within the budget: a million short texts
    // need a few growths, each copying what is there.
    std::size_t size = bytes_.size() + bytes_.size() / 2;
    if (size < used_ + more) size = used_ + more;
    if (size < 4096) size = 4096;
    if (size > budget) size = budget;
    return bytes_.Resize(size);
  }

  VARIANT* cells_;
  std::int32_t firstRow_;
  std::uint32_t flags_;
  std::size_t budget_;
  const LetterKeys* letters_;
  HeapArray<ShareEntry> entries_;
  HeapArray<unsigned char> bytes_;  // the keys, one after the other
  std::size_t used_ = 0;            // key bytes written
  std::uint32_t taken_ = 0;         // entries made
};

// Ranks from shares that hold every text of a column, each sorted: equal keys get equal ranks,
// from 1 up, in the order of the keys, taking the least next entry of the shares in turn.
void RankSorted(const Share* shares, std::size_t count, std::uint32_t* ranks) noexcept {
  std::uint32_t next[2] = {0, 0};
  const ShareEntry* previous = nullptr;
  const unsigned char* previousBytes = nullptr;
  std::uint32_t rank = 0;
  for (;;) {
    std::size_t least = count;
    for (std::size_t s = 0; s < count; ++s) {
      if (next[s] == shares[s].Taken()) continue;
      if (least == count ||
          CompareEntries(shares[s].Entries()[next[s]], shares[s].Bytes(),
                         shares[least].Entries()[next[least]], shares[least].Bytes()) < 0) {
        least = s;
      }
    }
    if (least == count) return;
    const ShareEntry& e = shares[least].Entries()[next[least]++];
    const unsigned char* bytes = shares[least].Bytes();
    if (previous == nullptr || CompareEntries(*previous, previousBytes, e, bytes) != 0) ++rank;
    ranks[e.Row] = rank;
    previous = &e;
    previousBytes = bytes;
  }
}

// The texts of the data rows from `begin` to `end` that the locale reads as numbers, into
// `numbers`, their ranks marked `readsNumber`.
void ReadNumbers(VARIANT* cells, std::int32_t firstRow, std::uint32_t begin, std::uint32_t end,
                 double* numbers, std::uint32_t* ranks, std::uint32_t readsNumber) noexcept {
  for (std::uint32_t r = begin; r < end; ++r) {
    const VARIANT& cell = *ColumnCell(cells, firstRow + static_cast<std::int32_t>(r));
    if (cell.vt == VT_BSTR && platform::TextAsNumber(cell.bstrVal, numbers[r])) {
      ranks[r] = readsNumber;
    }
  }
}

// The data rows from `begin` to `end` whose cells are texts to rank, into `texts` (those whose
// rank is `readsNumber` were read as numbers); how many.
std::uint32_t CollectTexts(VARIANT* cells, std::int32_t firstRow, const std::uint32_t* ranks,
                           std::uint32_t readsNumber, std::uint32_t begin, std::uint32_t end,
                           std::uint32_t* texts) noexcept {
  std::uint32_t count = 0;
  for (std::uint32_t r = begin; r < end; ++r) {
    const VARIANT& cell = *ColumnCell(cells, firstRow + static_cast<std::int32_t>(r));
    if (ranks[r] != readsNumber && IsKeyableText(cell)) texts[count++] = r;
  }
  return count;
}

// What the merge of a column's runs keeps of each text's key: its first 14 bytes, and its length
// where the key ends within them (kLongKey where it does not). Seven letters of most scripts:
// most keys differ in them, or end within them, so the merge orders most texts by these two
// numbers alone and makes a key again only where two heads tie on long keys (which costs a cell
// and a string scattered over the column, and the key itself, most of a text's cost to rank).
constexpr std::uint32_t kInHead = 14;
constexpr std::uint32_t kLongKey = kInHead + 1;
struct KeyHead {
  std::uint64_t Prefix;  // the key's first 8 bytes, big-endian
  std::uint64_t Then;    // the next 6, and below them the length or kLongKey

  // The head of a share entry whose key's rest is in `bytes`.
  static KeyHead Of(const ShareEntry& e, const unsigned char* bytes) noexcept {
    const std::uint32_t length = e.Length <= kInHead ? e.Length : kLongKey;
    const std::uint64_t next = BigEndianBytes(bytes + e.Offset, e.Rest(), 0, kInHead - kInEntry);
    return KeyHead{e.Prefix, (std::uint64_t{e.Following} << 32) | (next << 16) | length};
  }
  // memcmp's order of the two keys where their heads tell it: by the first 14 bytes, then a key
  // that ends within them comes first (two such by length). False for two long keys that begin
  // alike.
  static bool Order(const KeyHead& a, const KeyHead& b, int& order) noexcept {
    if (a.Prefix != b.Prefix) {
      order = a.Prefix < b.Prefix ? -1 : 1;
      return true;
    }
    if (a.Then != b.Then) {
      order = a.Then < b.Then ? -1 : 1;
      return true;
    }
    order = 0;
    return (a.Then & 0xFFFFu) != kLongKey;
  }
};

// A sorted run of positions in a column's list of texts: a share's worth, in key order.
struct Run {
  std::uint32_t Next;    // position in rows of the text whose key the run holds
  std::uint32_t End;     // one past its last position
  std::uint32_t Room;    // bytes of its key room (its longest key)
  std::uint32_t Length;  // bytes of the key it holds, when Made
  std::size_t Offset;    // where its room starts in the merge's room for keys
  const KeyHead* Heads;  // the heads of positions from HeadsFrom on; none: every key made again
  std::uint32_t HeadsFrom;
  bool Made;  // the key of the text at Next is in its room
};

struct RunList {
  HeapArray<Run> runs;
  std::uint32_t count = 0;
  HeapArray<KeyHead> heads;  // of the list's positions from `first`, once a run is made
  std::uint32_t first = 0;
  bool keepHeads = true;  // false: none are kept, as when memory is short (tests)

  // The run of positions `start` to `end` (of the `texts` from `base`), whose sorted share's
  // entries are `entries`. Where there is no memory for the heads, the merge makes every key of
  // the run again instead.
  bool Add(const ShareEntry* entries, const unsigned char* bytes, std::uint32_t start,
           std::uint32_t end, std::uint32_t longest, std::uint32_t base,
           std::uint32_t texts) noexcept {
    if (!heads && keepHeads) {
      first = base;
      static_cast<void>(heads.Allocate(texts));
    }
    const KeyHead* kept = nullptr;
    if (heads) {
      KeyHead* at = heads.get() + (start - first);
      for (std::uint32_t i = 0; i < end - start; ++i) {
        at[i] = KeyHead::Of(entries[i], bytes);
      }
      kept = heads.get();
    }
    return Take(Run{start, end, longest, 0, 0, kept, first, false});
  }

  // A run as it stands: one just made, or another list's.
  bool Take(const Run& run) noexcept {
    if (count == runs.size() && !runs.Resize(runs.size() < 8 ? 8 : runs.size() * 2)) return false;
    runs[count++] = run;
    return true;
  }
};

// What making the keys of a list of texts gave.
enum class Made : std::uint8_t {
  Failed,    // memory ran out
  OneShare,  // one share holds every key, sorted
  Runs,      // the list is in sorted runs, a share's worth each, the share released
};

// Makes the keys of rows[0..count) a share at a time and sorts each; a share that does not hold
// them all has its rows written back in key order and becomes a run of positions base + its
// place in `rows`. `longest`: the longest key made.
Made MakeShares(Share& share, std::uint32_t* rows, std::uint32_t count, std::uint32_t base,
                RunList& runs, std::uint32_t& longest) noexcept {
  if (count == 0) return Made::OneShare;
  if (!share.Prepare(count)) return Made::Failed;
  std::uint32_t done = 0;
  while (done < count) {
    const std::uint32_t start = done;
    std::uint32_t longestHere = 0;
    if (!share.Make(rows, count, done, longestHere)) return Made::Failed;
    share.Sort();
    if (longestHere > longest) longest = longestHere;
    if (start == 0 && done == count) return Made::OneShare;
    const ShareEntry* entries = share.Entries();
    for (std::uint32_t i = 0; i < share.Taken(); ++i) rows[start + i] = entries[i].Row;
    if (!runs.Add(entries, share.Bytes(), base + start, base + done, longestHere, base, count)) {
      return Made::Failed;
    }
  }
  share.Release();
  return Made::Runs;
}

// Ranks the texts of one column under one order: equal texts get equal ranks, from 1 up, in
// the order of their sort keys (a merge split in two leaves a gap). The keys are made for a
// share of the texts at a time, as many as the budget holds; each share is sorted; the shares
// are then merged by the heads of their keys, with a key made once more where two heads tie
// (KeyHead). A large column (RankInTwo) has each half of
// its rows searched for texts and their keys made and sorted on a thread of its own, within half
// the budget each (making the keys is most of the work); two halves that each fit one share are
// merged as they stand, others from their runs, on two threads (Merge). Nothing here throws or
// fails a sort: a false return only means that the column keeps no ranks.
class Ranker {
 public:
  Ranker(VARIANT* cells, std::int32_t firstRow, std::uint32_t flags, std::size_t budget,
         bool keepHeads) noexcept
      : cells_(cells),
        firstRow_(firstRow),
        flags_(flags),
        budget_(budget),
        share_(cells, firstRow, flags, budget) {
    runs_.keepHeads = keepHeads;
  }

  // `rows` (data rows of keyable texts, `count` of them) is reordered; ranks[row] is set.
  bool Rank(std::uint32_t* rows, std::uint32_t count, std::uint32_t* ranks) noexcept {
    std::uint32_t longest = 0;
    switch (MakeShares(share_, rows, count, 0, runs_, longest)) {
      case Made::Failed: return false;
      case Made::OneShare: RankSorted(&share_, 1, ranks); return true;
      case Made::Runs: return Merge(rows, ranks, false);
    }
    return false;
  }

  // The texts of the column's `rows` data rows (those whose rank is `readsNumber` were read as
  // numbers) ranked from two halves at once; `texts` is room for `rows` data rows. False when
  // memory ran out.
  bool RankInTwo(std::uint32_t* texts, std::uint32_t rows, std::uint32_t* ranks,
                 std::uint32_t readsNumber) noexcept {
    // A column this large has its plain words' keys made from the locale's weights, learned
    // once for it: the keys of a few thousand pairs cost what a few thousand of its texts do.
    const LetterKeys* letters = letters_.Learn(flags_) ? &letters_ : nullptr;
    Share shares[2] = {Share(cells_, firstRow_, flags_, budget_ / 2, letters),
                       Share(cells_, firstRow_, flags_, budget_ - budget_ / 2, letters)};
    const std::uint32_t first = rows / 2;
    Half halves[2] = {
        {this, &shares[0], ranks, readsNumber, 0, first, texts, 0, 0, {}, Made::Failed},
        {this, &shares[1], ranks, readsNumber, first, rows, texts, 0, 0, {}, Made::Failed}};
    halves[0].runs.keepHeads = halves[1].runs.keepHeads = runs_.keepHeads;
    platform::RunBoth(MakeHalf, &halves[0], MakeHalf, &halves[1]);
    if (halves[0].made == Made::Failed || halves[1].made == Made::Failed) return false;
    if (halves[0].made == Made::OneShare && halves[1].made == Made::OneShare) {
      RankSorted(shares, 2, ranks);
      return true;
    }
    // A half in one share becomes one run; then every run of both halves is merged.
    for (Half& half : halves) {
      if (half.made == Made::OneShare) {
        const ShareEntry* entries = half.share->Entries();
        for (std::uint32_t i = 0; i < half.count; ++i) texts[half.begin + i] = entries[i].Row;
        if (half.count > 0 &&
            !half.runs.Add(entries, half.share->Bytes(), half.begin, half.begin + half.count,
                           half.longest, half.begin, half.count)) {
          return false;
        }
        half.share->Release();
      }
      for (std::uint32_t r = 0; r < half.runs.count; ++r) {
        if (!runs_.Take(half.runs.runs[r])) return false;
      }
    }
    return Merge(texts, ranks, true);
  }

 private:
  // One half of the rows: its texts found (into the list at positions from `begin`), their
  // keys made and sorted, on a thread of its own.
  struct Half {
    const Ranker* ranker;
    Share* share;
    const std::uint32_t* ranks;
    std::uint32_t readsNumber;
    std::uint32_t begin;  // the half's first data row, and its first place in the list
    std::uint32_t end;    // one past its last data row
    std::uint32_t* texts;
    std::uint32_t count = 0;    // texts found
    std::uint32_t longest = 0;  // the longest key made
    RunList runs;
    Made made = Made::Failed;
  };
  static void MakeHalf(void* argument) noexcept {
    Half& half = *static_cast<Half*>(argument);
    const Ranker& ranker = *half.ranker;
    half.count = CollectTexts(ranker.cells_, ranker.firstRow_, half.ranks, half.readsNumber,
                              half.begin, half.end, half.texts + half.begin);
    half.made = MakeShares(*half.share, half.texts + half.begin, half.count, half.begin, half.runs,
                           half.longest);
  }

  // The cell of data row `row`.
  const VARIANT& Cell(std::uint32_t row) const noexcept {
    return *ColumnCell(cells_, firstRow_ + static_cast<std::int32_t>(row));
  }

  // The key of data row `row` into `key` (room for `room` bytes): its length, 0 when none was
  // made.
  std::uint32_t KeyOf(std::uint32_t row, unsigned char* key, std::uint32_t room) const noexcept {
    const VARIANT& cell = Cell(row);
    const std::uint32_t plain = letters_.Make(cell.bstrVal, SysStringLen(cell.bstrVal), key, room);
    if (plain != 0) return plain;
    std::uint32_t needed = 0;
    return platform::TextSortKey(cell.bstrVal, SysStringLen(cell.bstrVal), flags_, key, room,
                                 needed);
  }

  // A merge of sorted runs (the column's, or the part of each below or from a key): each run's
  // room for its next key, and how many ranks it gave.
  struct Merging {
    Merging(const Ranker* r, Run* list, std::uint32_t n, const std::uint32_t* positions,
            std::uint32_t* into, std::uint32_t before) noexcept
        : ranker(r), runs(list), count(n), rows(positions), ranks(into), given(before) {}

    const Ranker* ranker;
    Run* runs;
    std::uint32_t count;
    const std::uint32_t* rows;
    std::uint32_t* ranks;
    HeapArray<unsigned char> keys;  // each run's room for its next key, then the last text's
    Run last{};                     // the text that got the last rank, as a run of its own
    std::uint32_t given;            // the last rank given (the ranks start after it)
    bool failed = false;            // a key could not be made again
    bool ok = false;

    // The run's next text: its key is made when two heads cannot tell its order, and the head
    // and the place in rows of the text eight on are asked for now (each run is a stream of its
    // own, more than the processor follows by itself). A run without heads has every key made
    // now, and its next texts asked for ahead: they are scattered over the column, and the cell
    // two texts on and the string of the next are there when the merge comes back to this run
    // (each a cache miss, a third of such a merge's time on ten million words).
    void Refill(Run& run) noexcept {
      run.Made = false;
      if (run.Heads != nullptr) {
        if (run.Next + 8 < run.End) {
          __builtin_prefetch(&run.Heads[run.Next + 8 - run.HeadsFrom]);
          __builtin_prefetch(&rows[run.Next + 8]);
        }
        return;
      }
      if (run.Next + 2 < run.End) {
        __builtin_prefetch(&ranker->Cell(rows[run.Next + 2]));
      }
      if (run.Next + 1 < run.End) {
        const VARIANT& next = ranker->Cell(rows[run.Next + 1]);
        if (next.vt == VT_BSTR && next.bstrVal != nullptr) __builtin_prefetch(next.bstrVal - 2);
      }
      MakeKey(run);
    }

    // The key of the run's next text, made again into its room.
    bool MakeKey(Run& run) noexcept {
      if (!run.Made) {
        run.Length = ranker->KeyOf(rows[run.Next], keys.get() + run.Offset, run.Room);
        run.Made = true;
        if (run.Length == 0) failed = true;
      }
      return run.Length != 0;
    }

    // memcmp's order of the keys of two runs' next texts: by their heads where those tell it
    // (KeyHead::Order), else by the keys made again.
    int Order(Run& x, Run& y) noexcept {
      if (x.Heads != nullptr && y.Heads != nullptr) {
        int order = 0;
        if (KeyHead::Order(x.Heads[x.Next - x.HeadsFrom], y.Heads[y.Next - y.HeadsFrom], order)) {
          return order;
        }
      }
      if (!MakeKey(x) || !MakeKey(y)) return 0;
      return CompareBytes(keys.get() + x.Offset, x.Length, keys.get() + y.Offset, y.Length);
    }

    // Whether run `a`'s next text comes before run `b`'s; a run at its end comes after all.
    bool Before(std::uint32_t a, std::uint32_t b) noexcept {
      if (runs[a].Next == runs[a].End) return false;
      if (runs[b].Next == runs[b].End) return true;
      return Order(runs[a], runs[b]) < 0;
    }

    // The least key of all the runs' next texts gets the next rank, or the same rank as the
    // text before when their keys are equal. The runs meet in a tree of losers: each inner node
    // keeps the run that lost the match there, so a run that moves on plays one match a level on
    // its way to the root, where a heap plays two.
    void Work() noexcept {
      std::size_t room = 0;
      std::uint32_t longest = 0;
      for (std::uint32_t r = 0; r < count; ++r) {
        runs[r].Offset = room;
        room += runs[r].Room;
        if (runs[r].Room > longest) longest = runs[r].Room;
      }
      // Inner nodes 1 to count - 1 (run r is the leaf count + r), the winner at 0.
      HeapArray<std::uint32_t> losers, winners;
      if (count == 0 || !keys.Allocate(room + longest) || !losers.Allocate(count) ||
          !winners.Allocate(2 * std::size_t{count})) {
        return;
      }
      for (std::uint32_t r = 0; r < count; ++r) {
        if (runs[r].Next != runs[r].End) Refill(runs[r]);
        winners[count + r] = r;
      }
      for (std::uint32_t node = count - 1; node > 0; --node) {
        const std::uint32_t left = winners[2 * node], right = winners[2 * node + 1];
        const bool leftWins = !Before(right, left);
        winners[node] = leftWins ? left : right;
        losers[node] = leftWins ? right : left;
      }
      losers[0] = count > 1 ? winners[1] : 0;
      winners.Release();
      last.Offset = room;
      last.Room = longest;
      bool first = true;
      while (!failed) {
        const std::uint32_t least = losers[0];
        Run& run = runs[least];
        if (run.Next == run.End) break;
        if (first || Order(last, run) != 0) ++given;
        first = false;
        // The text becomes the last one: its place, its heads, and its key where it was made.
        last.Next = run.Next;
        last.Heads = run.Heads;
        last.HeadsFrom = run.HeadsFrom;
        last.Made = run.Made;
        last.Length = run.Length;
        if (run.Made) std::memcpy(keys.get() + last.Offset, keys.get() + run.Offset, run.Length);
        ranks[rows[run.Next]] = given;
        if (++run.Next < run.End) {
          Refill(run);
          __builtin_prefetch(&ranks[rows[run.Next]], 1);
        }
        std::uint32_t winner = least;
        for (std::uint32_t node = (count + least) / 2; node > 0; node /= 2) {
          if (Before(losers[node], winner)) std::swap(losers[node], winner);
        }
        losers[0] = winner;
      }
      ok = !failed;
    }
    static void Start(void* argument) noexcept { static_cast<Merging*>(argument)->Work(); }
  };

  // Merges the sorted runs into ranks. With `inTwo`, on two threads: the runs' texts whose keys
  // come before the middle key of the longest run on this one, the others on another (found in
  // each run by halving it, a few keys made each), the second part's ranks after all the first
  // part's. No key is on both sides, so the ranks order the texts as those of one merge.
  bool Merge(const std::uint32_t* rows, std::uint32_t* ranks, bool inTwo) noexcept {
    Merging all(this, runs_.runs.get(), runs_.count, rows, ranks, 0);
    if (!inTwo || runs_.count < 2) {
      all.Work();
      return all.ok;
    }
    std::uint32_t longest = 0, room = 0;
    for (std::uint32_t r = 0; r < runs_.count; ++r) {
      const Run& run = runs_.runs[r];
      if (run.End - run.Next > runs_.runs[longest].End - runs_.runs[longest].Next) longest = r;
      if (run.Room > room) room = run.Room;
    }
    HeapArray<unsigned char> middle, probe;
    HeapArray<Run> below, from;
    if (!middle.Allocate(room) || !probe.Allocate(room) || !below.Allocate(runs_.count) ||
        !from.Allocate(runs_.count)) {
      all.Work();
      return all.ok;
    }
    const Run& split = runs_.runs[longest];
    const std::uint32_t middleLength =
        KeyOf(rows[split.Next + (split.End - split.Next) / 2], middle.get(), room);
    for (std::uint32_t r = 0; r < runs_.count && middleLength != 0; ++r) {
      const Run& run = runs_.runs[r];
      std::uint32_t low = run.Next, high = run.End;  // the first key not below the middle one
      while (low < high) {
        const std::uint32_t at = low + (high - low) / 2;
        const std::uint32_t length = KeyOf(rows[at], probe.get(), room);
        if (length == 0) return false;  // no key: as the one merge would have found
        if (CompareBytes(probe.get(), length, middle.get(), middleLength) < 0) {
          low = at + 1;
        } else {
          high = at;
        }
      }
      below[r] = run;
      below[r].End = low;
      from[r] = run;
      from[r].Next = low;
    }
    if (middleLength == 0) return false;
    // The second part's ranks start after as many as the first part has texts, which it cannot
    // exceed: ranks only order texts, so the gap between the parts changes no comparison, and
    // no pass over the second part's ranks (scattered over the column) raises them afterwards.
    std::uint32_t textsBelow = 0;
    for (std::uint32_t r = 0; r < runs_.count; ++r) textsBelow += below[r].End - below[r].Next;
    Merging first(this, below.get(), runs_.count, rows, ranks, 0);
    Merging second(this, from.get(), runs_.count, rows, ranks, textsBelow);
    platform::RunBoth(Merging::Start, &first, Merging::Start, &second);
    return first.ok && second.ok;
  }

  VARIANT* cells_;
  std::int32_t firstRow_;
  std::uint32_t flags_;
  std::size_t budget_;
  LetterKeys letters_;  // learned for a column ranked in two halves
  Share share_;
  RunList runs_;
};

}  // namespace

void TextKeys::Build(const Selection& selection, std::size_t budget, std::uint32_t inTwoFrom,
                     bool keepHeads) noexcept {
  Clear();
  const KeyTable& keys = selection.keys.SortKeys;
  const ArrayBounds& bounds = selection.SourceBounds;
  const std::size_t keyCount = keys.size();
  const std::uint32_t rows = bounds.DataRows;
  if (keyCount == 0 || rows < 2 || bounds.Rows < rows) return;
  const std::int32_t firstRow =
      bounds.FirstArrayRow + static_cast<std::int32_t>(bounds.Rows - rows);

  // Which key columns get ranks: each column once per variant, and only when some cell of it
  // is text. A key that hands comparisons out, or a cell that may run the caller's code, lets
  // the cells change between two comparisons: then no ranks at all. The slots are looked up
  // by column, so that a line of thousands of keys costs no more than one pass over each.
  for (std::size_t k = 0; k < keyCount; ++k) {
    if (keys[k].Mode == kCompareBreakOut) return;
  }
  constexpr std::int32_t kUnseen = -2;
  HeapArray<std::int32_t> slotOfColumn;
  HeapArray<VARIANT*> slotCells;
  HeapArray<std::int32_t> slotMode;
  if (!slotOfKey_.Allocate(keyCount) ||
      !slotOfColumn.Allocate(std::size_t{bounds.Columns} * kVariants) ||
      !slotCells.Allocate(keyCount) || !slotMode.Allocate(keyCount)) {
    return Clear();
  }
  for (std::size_t c = 0; c < slotOfColumn.size(); ++c) slotOfColumn[c] = kUnseen;
  std::size_t slots = 0;
  std::size_t numberColumns = 0;
  for (std::size_t k = 0; k < keyCount; ++k) {
    const KeyEntry& key = keys[k];
    slotOfKey_[k] = -1;
    const auto offset = static_cast<std::uint32_t>(key.Column - bounds.FirstColumn);
    if (offset >= bounds.Columns || key.Cells == nullptr) continue;
    const int variant = VariantOf(TextRuleOf(key.Mode));
    std::int32_t& slot = slotOfColumn[std::size_t{offset} * kVariants + variant];
    if (slot == kUnseen) {
      bool text = false;
      for (std::uint32_t r = 0; r < rows; ++r) {
        const VARIANT& cell = *ColumnCell(key.Cells, firstRow + static_cast<std::int32_t>(r));
        if (IsObjectOrReference(cell)) return Clear();
        text = text || cell.vt == VT_BSTR;
      }
      slot = -1;
      if (text) {
        slotCells[slots] = key.Cells;
        slotMode[slots] = key.Mode;
        slot = static_cast<std::int32_t>(slots++);
        if (TextRuleOf(key.Mode).ReadsNumbers) ++numberColumns;
      }
    }
    slotOfKey_[k] = slot;
  }
  // A table's cells already bound slots x rows well below this; checked all the same, so that
  // no product below can wrap.
  const std::size_t mostSlots = static_cast<std::size_t>(-1) / sizeof(double) / rows;
  if (slots == 0) {
    // No texts to rank, but the cells cannot change before the sort ends.
    Clear();
    settled_ = true;
    return;
  }
  if (slots > mostSlots || !numbersOfSlot_.Allocate(slots) ||
      !ranks_.AllocateZeroed(slots * rows) ||
      (numberColumns > 0 && !numbers_.Allocate(numberColumns * rows))) {
    return Clear();
  }
  firstRow_ = firstRow;
  rows_ = rows;
  std::int32_t numberColumn = 0;
  for (std::size_t slot = 0; slot < slots; ++slot) {
    const TextRule rule = TextRuleOf(slotMode[slot]);
    numbersOfSlot_[slot] = rule.ReadsNumbers ? numberColumn++ : -1;
    if (!BuildSlot(slot, slotCells[slot], rule, budget, inTwoFrom, keepHeads)) {
      // No ranks for this column: what was read as a number stays.
      std::uint32_t* ranks = ranks_.get() + slot * rows_;
      for (std::uint32_t r = 0; r < rows_; ++r) {
        if (ranks[r] != kReadsNumber) ranks[r] = kNoRank;
      }
    }
  }
  for (std::size_t i = 0; i < ranks_.size(); ++i) keyed_ += ranks_[i] != kNoRank ? 1u : 0u;
  settled_ = true;
}

bool TextKeys::BuildSlot(std::size_t slot, VARIANT* cells, const TextRule& rule, std::size_t budget,
                         std::uint32_t inTwoFrom, bool keepHeads) noexcept {
  std::uint32_t* ranks = ranks_.get() + slot * rows_;
  double* numbers = rule.ReadsNumbers
                        ? numbers_.get() + static_cast<std::size_t>(numbersOfSlot_[slot]) * rows_
                        : nullptr;
  // Every number first, so that a column whose ranks fail still has all of them. On one thread:
  // the locale's reading of numbers took half again as long on two as on one.
  if (numbers != nullptr) ReadNumbers(cells, firstRow_, 0, rows_, numbers, ranks, kReadsNumber);
  HeapArray<std::uint32_t> texts;
  if (!texts.Allocate(rows_)) return false;
  if (rows_ >= inTwoFrom && rows_ >= 2 &&
      Ranker(cells, firstRow_, rule.Flags, budget, keepHeads)
          .RankInTwo(texts.get(), rows_, ranks, kReadsNumber)) {
    return true;
  }
  // A small column, or memory ran out in a half: the column is ranked in shares of the whole
  // budget, one after the other.
  const std::uint32_t count =
      CollectTexts(cells, firstRow_, ranks, kReadsNumber, 0, rows_, texts.get());
  return Ranker(cells, firstRow_, rule.Flags, budget, keepHeads).Rank(texts.get(), count, ranks);
}

}  // namespace tk

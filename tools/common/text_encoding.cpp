// Encodings of the tools' text files, and decoding to one text form. See text_encoding.h.
#include "common/text_encoding.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/byte_words.h"

namespace tkr {
namespace {

// The length of the UTF-8 sequence at bytes[i], or 0 when it is not a valid one (overlong
// forms, surrogates and code points past U+10FFFF are not).
std::size_t Utf8Length(const std::string& bytes, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char b = at(i);
  if (b < 0x80) return 1;
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + n > bytes.size()) return 0;
  if (at(i + 1) < low || at(i + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  }
  return n;
}

// the byte offset in the file (`offset` is the byte-order mark's length). A file converted
// to UTF-8 was valid text already: only a NUL can be wrong there, and only its line means
// anything.
bool CheckEncoding(const std::string& bytes, std::size_t offset, bool converted,
                   std::string& error) {
  const std::size_t size = bytes.size();
  for (std::size_t i = 0; i < size;) {
    // Eight bytes of ASCII without a NUL at a time, most of most files; the rest one by one.
    if (i + 8 <= size) {
      const std::uint64_t word = WordAt(bytes, i);
      if ((word & kHighBits) == 0 && !HasZeroByte(word)) {
        i += 8;
        continue;
      }
    }
    if (bytes[i] == '\0') {
      error = "line " + std::to_string(LineAt(bytes, i)) + ": a NUL " +
              (converted ? std::string("character")
                         : "byte (at byte " + std::to_string(offset + i) + ")") +
              "; CSV text holds none";
      // Every other byte NUL: UTF-16 without the byte-order mark that would have said so.
      if (!converted &&
          ((i >= 2 && bytes[i - 2] == '\0') || (i + 2 < size && bytes[i + 2] == '\0'))) {
        error += " (UTF-16 without a byte-order mark? try --encoding utf-16le or utf-16be)";
      }
      return false;
    }
    const std::size_t n = converted ? 1 : Utf8Length(bytes, i);
    if (n == 0) {
      error = "line " + std::to_string(LineAt(bytes, i)) + ", byte " + std::to_string(offset + i) +
              ": not UTF-8 (a legacy file? try --encoding cp1252, or its code page's number)";
      return false;
    }
    i += n;
  }
  return true;
}

// Conversions are made a part of about this many bytes at a time, so that a file in UTF-16 or
// a code page costs its UTF-8 form and a part more, not a second copy in UTF-16 besides.
constexpr std::size_t kPart = std::size_t{1} << 20;

std::string PageName(CodePage page) {
  if (page == kUtf16Le) return "UTF-16 (little-endian)";
  if (page == kUtf16Be) return "UTF-16 (big-endian)";
  return "code page " + std::to_string(page);
}

// Flags for converting into `page`: no best-fit stand-ins (an "a" for an "\u00e0" would not
// convert back), where the page allows flags at all.
DWORD NoBestFit(CodePage page) {
  return page == 54936 ? 0 : WC_NO_BEST_FIT_CHARS;
}

void AppendUtf8(const wchar_t* text, std::size_t units, std::string& out) {
  if (units == 0) return;
  const std::size_t at = out.size();
  out.resize(at + units * 3);  // at most three bytes per UTF-16 unit
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), out.data() + at,
                                    static_cast<int>(units * 3), nullptr, nullptr);
  out.resize(at + static_cast<std::size_t>(n > 0 ? n : 0));
}

// UTF-16 bytes (`page` says which end first) as UTF-8. Every unpaired surrogate is refused:
// what is read must convert back to the very bytes.
bool Utf16ToUtf8(const std::string& in, CodePage page, std::size_t offset, std::string& out,
                 std::string& error) {
  const std::size_t units = in.size() / 2;
  const bool big = page == kUtf16Be;
  auto unitAt = [&](std::size_t u) {
    const auto lo = static_cast<unsigned char>(in[2 * u + (big ? 1 : 0)]);
    const auto hi = static_cast<unsigned char>(in[2 * u + (big ? 0 : 1)]);
    return static_cast<wchar_t>(hi << 8 | lo);
  };
  if (in.size() % 2 != 0) {
    error = "is " + PageName(page) + " by its byte-order mark but ends in half a character";
    return false;
  }
  out.reserve(in.size() / 2 + in.size() / 8);
  std::wstring part;
  for (std::size_t u = 0; u < units;) {
    const std::size_t end = std::min(units, u + kPart);
    part.clear();
    for (std::size_t k = u; k < end; ++k) part += unitAt(k);
    std::size_t take = part.size();
    if (end < units && IS_HIGH_SURROGATE(part.back())) --take;  // its pair is in the next part
    for (std::size_t k = 0; k < take; ++k) {
      const bool high = IS_HIGH_SURROGATE(part[k]), low = IS_LOW_SURROGATE(part[k]);
      if (low || (high && (k + 1 >= take || !IS_LOW_SURROGATE(part[k + 1])))) {
        const std::size_t byte = 2 * (u + k);
        std::size_t line = 1;
        for (std::size_t j = 0; j < u + k; ++j) line += unitAt(j) == L'\n' ? 1 : 0;
        error = "line " + std::to_string(line) + ", byte " + std::to_string(offset + byte) +
                ": half a UTF-16 character (a lone surrogate)";
        return false;
      }
      if (high) ++k;
    }
    AppendUtf8(part.data(), take, out);
    u += take;
  }
  return true;
}

// Bytes in code page `page` as UTF-8, a part at a time, each part converted back and compared
// with the bytes it came from: a byte the page does not define, or one that would come back
// as another, is refused with its line and offset.
bool CodePageToUtf8(const std::string& in, CodePage page, std::string& out, std::string& error) {
  CPINFO info{};
  const bool singleByte = GetCPInfo(page, &info) != FALSE && info.MaxCharSize == 1;
  out.reserve(in.size() + in.size() / 8);
  std::wstring wide;
  std::string back;
  for (std::size_t start = 0; start < in.size();) {
    // A multi-byte page's part ends after a line feed, which no double-byte character holds.
    std::size_t end = std::min(in.size(), start + kPart);
    if (!singleByte && end < in.size()) {
      const void* lf = std::memchr(in.data() + end, '\n', in.size() - end);
      end = lf == nullptr ? in.size() : static_cast<const char*>(lf) - in.data() + 1;
    }
    const int length = static_cast<int>(end - start);
    wide.resize(end - start);  // never more UTF-16 units than bytes
    const int units = MultiByteToWideChar(page, 0, in.data() + start, length, wide.data(), length);
    int n = units > 0 ? WideCharToMultiByte(page, NoBestFit(page), wide.data(), units, nullptr, 0,
                                            nullptr, nullptr)
                      : 0;
    back.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    if (n > 0) {
      n = WideCharToMultiByte(page, NoBestFit(page), wide.data(), units, back.data(), n, nullptr,
                              nullptr);
    }
    if (units <= 0 || back.compare(0, back.size(), in, start, end - start) != 0) {
      std::size_t k = 0;
      while (k < back.size() && start + k < end && back[k] == in[start + k]) ++k;
      // Back to the first byte of the character the difference falls in.
      for (std::size_t j = 0;;) {
        const bool lead = !singleByte && IsDBCSLeadByteEx(page, static_cast<BYTE>(in[start + j]));
        const std::size_t next = j + (lead ? 2 : 1);
        if (next > k) {
          k = j;
          break;
        }
        j = next;
      }
      error = "line " + std::to_string(LineAt(in, start + k)) + ", byte " +
              std::to_string(start + k) + ": not text in " + PageName(page) +
              " (the bytes do not read back as themselves); name the file's encoding with "
              "--encoding";
      return false;
    }
    AppendUtf8(wide.data(), static_cast<std::size_t>(units), out);
    start = end;
  }
  return true;
}

// UTF-8 text converted into `page` and appended to `out`. False with `error` set when a

}  // namespace

std::string NotText(const std::string& bytes) {
  // The first bytes of kinds of files a table is mistaken for, what each is, and what to do.
  // A mark of letters alone ("BZh", "MZ") could begin a table too: it counts only with a NUL
  // among the first bytes, which such files hold and a table never does.
  static const struct {
    const char* mark;
    std::size_t length;
    bool withNul;
    const char* kind;
    const char* remedy;
  } kKinds[] = {
      {"\x1F\x8B", 2, false, "a gzip file", "decompress it first"},
      {"PK\x03\x04", 4, false, "a zip file (an .xlsx workbook is one)",
       "unpack it, or save the workbook as CSV"},
      {"PK\x05\x06", 4, false, "an empty zip file", "unpack it first"},
      {"\x89PNG\r\n\x1A\n", 8, false, "a PNG image", "name the table's file"},
      {"\xFF\xD8\xFF", 3, false, "a JPEG image", "name the table's file"},
      {"GIF87a", 6, false, "a GIF image", "name the table's file"},
      {"GIF89a", 6, false, "a GIF image", "name the table's file"},
      {"%PDF-", 5, false, "a PDF document", "export its table as CSV"},
      {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8, false,
       "an Office file of the older kind (an .xls workbook is one)", "save it as CSV"},
      {"7z\xBC\xAF\x27\x1C", 6, false, "a 7-Zip archive", "unpack it first"},
      {"\xFD"
       "7zXZ\x00",
       6, false, "an xz file", "decompress it first"},
      {"BZh", 3, true, "a bzip2 file", "decompress it first"},
      {"\x28\xB5\x2F\xFD", 4, false, "a zstd file", "decompress it first"},
      {"SQLite format 3\x00", 16, false, "an SQLite database", "export its table as CSV"},
      {"\x7F"
       "ELF",
       4, false, "a program", "name the table's file"},
      {"MZ", 2, true, "a Windows program or library", "name the table's file"},
  };
  const bool nulSoon =
      std::memchr(bytes.data(), '\0', std::min<std::size_t>(bytes.size(), 64)) != nullptr;
  for (const auto& k : kKinds) {
    if (bytes.compare(0, k.length, k.mark, k.length) == 0 && (nulSoon || !k.withNul)) {
      return std::string("looks like ") + k.kind + ", not a text table; " + k.remedy;
    }
  }
  return {};
}

std::string UnusableCodePage(CodePage page) {
  if (page == kUtf8 || page == kUtf16Le || page == kUtf16Be) return {};
  // These carry a state (shifts, escapes) from one character to the next: a row moved
  // elsewhere would not read as it did.
  if (page == 42 || page == 52936 || page == 65000 || (page >= 50220 && page <= 50229) ||
      (page >= 57002 && page <= 57011)) {
    return PageName(page) + " changes meaning with escapes from one character to the next, so " +
           "rows cannot be moved one by one; convert the file to UTF-8 first";
  }
  if (IsValidCodePage(page) == FALSE) return PageName(page) + " is not available on this system";
  return {};
}

bool DecodeToUtf8(std::string bytes, CodePage encoding, std::uint64_t largest, DecodedText& text,
                  std::string& error) {
  text = DecodedText{};
  error = NotText(bytes);
  if (!error.empty()) return false;
  // A byte-order mark says what the file is, whatever was asked for.
  static const struct {
    const char* mark;
    CodePage page;
  } kMarks[] = {{"\xEF\xBB\xBF", kUtf8}, {"\xFF\xFE", kUtf16Le}, {"\xFE\xFF", kUtf16Be}};
  for (const auto& m : kMarks) {
    if (bytes.compare(0, std::strlen(m.mark), m.mark) == 0) {
      text.byteOrderMark = m.mark;
      encoding = m.page;
      break;
    }
  }
  // UTF-16 without a mark is read, and written back, without one.
  if (text.byteOrderMark.empty() && encoding != kUtf8 && encoding != kUtf16Le &&
      encoding != kUtf16Be) {
    error = UnusableCodePage(encoding);
    if (!error.empty()) return false;
  }
  text.encoding = encoding;
  bytes.erase(0, text.byteOrderMark.size());
  const bool converted = encoding != kUtf8;
  if (converted) {
    std::string utf8;
    const bool read = encoding == kUtf16Le || encoding == kUtf16Be
                          ? Utf16ToUtf8(bytes, encoding, text.byteOrderMark.size(), utf8, error)
                          : CodePageToUtf8(bytes, encoding, utf8, error);
    if (!read) return false;
    bytes = std::move(utf8);
  }
  if (bytes.size() > largest) {
    error = converted ? "is larger than 4 GB as UTF-8" : "the file is larger than 4 GB";
    return false;
  }
  if (!CheckEncoding(bytes, text.byteOrderMark.size(), converted, error)) return false;
  text.utf8 = std::move(bytes);
  return true;
}

bool Utf8ToPage(const std::string& utf8, CodePage page, std::string& out, std::string& error) {
  std::wstring wide;
  std::string bytes;
  for (std::size_t start = 0; start < utf8.size();) {
    std::size_t end = std::min(utf8.size(), start + kPart);
    while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) ++end;
    wide.resize(end - start);
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data() + start, static_cast<int>(end - start),
                            wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(units > 0 ? units : 0));
    if (page == kUtf16Le || page == kUtf16Be) {
      const std::size_t at = out.size();
      out.resize(at + 2 * wide.size());
      for (std::size_t k = 0; k < wide.size(); ++k) {
        const auto unit = static_cast<unsigned>(wide[k]);
        out[at + 2 * k + (page == kUtf16Be ? 1 : 0)] = static_cast<char>(unit & 0xFF);
        out[at + 2 * k + (page == kUtf16Be ? 0 : 1)] = static_cast<char>(unit >> 8);
      }
    } else if (!wide.empty()) {
      BOOL lossy = FALSE;
      BOOL* usedDefault = page == 54936 ? nullptr : &lossy;
      const int w = static_cast<int>(wide.size());
      int n = WideCharToMultiByte(page, NoBestFit(page), wide.data(), w, nullptr, 0, nullptr,
                                  usedDefault);
      bytes.resize(static_cast<std::size_t>(n > 0 ? n : 0));
      if (n > 0) {
        n = WideCharToMultiByte(page, NoBestFit(page), wide.data(), w, bytes.data(), n, nullptr,
                                usedDefault);
      }
      if (n <= 0 || lossy) {
        error = "some text has no form in " + PageName(page);
        return false;
      }
      out += bytes;
    }
    start = end;
  }
  return true;
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& bytes) {
  if (bytes.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

}  // namespace tkr

// Encodings of the tools' text files, and decoding them to one text form: UTF-8.
//
// UTF-8 is read as it stands (an invalid sequence is refused with its line and byte offset).
// A byte-order mark decides the encoding over the one asked for: UTF-8, UTF-16 little- or
// big-endian; it is kept aside, to be written back. UTF-16 and Windows code pages are
// converted to UTF-8 once, a part at a time, and converted back when written; a code page is
// read only when every byte converts back to itself, so that what is written back is the
// bytes read. A NUL is refused with its line in every encoding.
//
// Legal order: DecodeToUtf8 on a file's bytes; whatever reads the text then sees UTF-8 only
// (common/csv.h scans it); Utf8ToPage turns text back into the file's encoding.
#pragma once

#include <cstdint>
#include <string>

namespace tkr {

// A file's encoding, by its Windows code page number: 65001 is UTF-8, 1200 and 1201 are
// UTF-16 little- and big-endian.
using CodePage = unsigned;
constexpr CodePage kUtf8 = 65001;
constexpr CodePage kUtf16Le = 1200;
constexpr CodePage kUtf16Be = 1201;

// Why `page` cannot be read and written back row by row ("code page 42 is ..."), or "".
std::string UnusableCodePage(CodePage page);

// A file's text in the one form the readers take, and what it was.
struct DecodedText {
  std::string utf8;           // the text, byte-order mark excluded
  std::string byteOrderMark;  // as it was in the file, or empty
  CodePage encoding = kUtf8;  // what the file was, and is to be written back in
};

// What `bytes` are when their first bytes are those of a kind of file that is no text
// ("looks like a gzip file, not a text table; decompress it first"), or "". Each kind's mark
// holds bytes no text table starts with (control characters, bytes that are not UTF-8, a
// NUL soon after), so that a table is never taken for one.
std::string NotText(const std::string& bytes);

// Decodes `bytes`, in `encoding` unless a byte-order mark says otherwise, into `text`. False
// with `error` set ("line N: ..." or "line N, byte M: ...") for bytes that are not text in
// that encoding, a NUL, a page that cannot be written back row by row, or more than `largest`
// bytes of UTF-8 (what the reader can hold: 4 GB); for an image, an archive or another file
// that is no text, what it looks like (NotText). The mark and the encoding are set in `text`
// as soon as they are known, also when the text is then refused.
bool DecodeToUtf8(std::string bytes, CodePage encoding, std::uint64_t largest, DecodedText& text,
                  std::string& error);

// UTF-8 text converted into `page` and appended to `out`. False with `error` set when a
// character has no form there.
bool Utf8ToPage(const std::string& utf8, CodePage page, std::string& out, std::string& error);

// UTF-16 <-> UTF-8.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& bytes);

}  // namespace tkr

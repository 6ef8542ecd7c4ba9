// Whole files read into memory, for the tools.
//
// A CSV file is held as one block of bytes whose records and fields are 32-bit offsets into
// it, so no build reads a file past 4 GB; and a 32-bit program cannot hold a block of more
// than about 1 GB (the largest string its library makes) in its address space at all. Both
// limits are checked against the file's 64-bit size before anything is allocated, and files
// are read and written in chunks well below 2 GB, the most one call is sure to take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace tkr {

// Reads and writes of a file are at most this long: the C library's and the system's calls
// count in 32 bits, and a single write of more than 2 GB fails (or worse, writes part).
constexpr std::size_t kIoChunk = std::size_t{1} << 30;

// Why this build cannot hold a file of `size` bytes ("it is 2.50 GB, more than ..."), or ""
// when it can.
std::string TooLargeToHold(std::uint64_t size);

// The whole file at `path` into `bytes`, `chunk` bytes or fewer at a time. False with
// `error` set (the system's reason, the size refused, or a read that came short) when the
// file could not be read whole.
bool ReadWholeFile(const std::wstring& path, std::string& bytes, std::string& error,
                   std::size_t chunk = kIoChunk);

// All of standard input into `bytes`, as bytes (no line end rewritten), `chunk` bytes or
// fewer at a time, refused as ReadWholeFile refuses a file once it grows too large to hold.
bool ReadStandardInput(std::string& bytes, std::string& error, std::size_t chunk = kIoChunk);

// Writes `bytes` to `file`, `chunk` bytes or fewer at a time. False when a write came short.
bool WriteChunks(std::FILE* file, std::string_view bytes, std::size_t chunk = kIoChunk);

// The system's text for the calling thread's last error, without the final full stop.
std::string LastErrorText();

}  // namespace tkr

// Reading a file that is nearly always small, in the fewest system calls and
// never blocking.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class SmallFile {
 public:
  // Room of the fixed buffer; a file that fits is read with one read().
  static constexpr size_t kBufferSize = 1024;

  SmallFile() = default;
  SmallFile(const SmallFile&) = delete;
  SmallFile& operator=(const SmallFile&) = delete;

  // Reads path whole.  The common case is open, one read into the fixed
  // buffer, close.  The open never blocks (a FIFO without a writer opens at
  // once), and only a read that fills the buffer has the file examined: a
  // regular file is then read on to its end, anything else (a FIFO, a
  // device) counts as unreadable.  An unreadable object (also a directory)
  // gives the empty text.  False, with errno set by open, when path cannot be
  // opened; true otherwise.
  bool read(const char* path);

  // What read() got, as reading the file piece by piece with the
  // kFileReadPiece-byte buffer of file_get_contents gives it: each piece
  // (ending after a newline or at kFileReadPiece - 1 bytes) up to its first
  // NUL byte.  Valid until the next read().
  std::string_view text() const { return std::string_view(data_, size_); }

 private:
  char buffer_[kBufferSize];
  std::string large_;  // a regular file that did not fit the buffer
  const char* data_ = buffer_;
  size_t size_ = 0;
};

// Drops from data[0..size) what reading it piece by piece with fgets() and
// the kFileReadPiece-byte buffer loses: the rest of each piece after its
// first NUL byte.  Works in place; returns the new size.
size_t cut_pieces_at_nul(char* data, size_t size);

#include "util/small_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/handles.h"
#include "util/util.h"

namespace {

ssize_t read_retrying(int fd, char* buf, size_t n) {
  ssize_t got;
  do {
    got = ::read(fd, buf, n);
  } while (got < 0 && errno == EINTR);
  return got;
}

}  // namespace

size_t cut_pieces_at_nul(char* data, size_t size) {
  if (memchr(data, '\0', size) == nullptr) return size;
  size_t kept = 0;
  size_t pos = 0;
  while (pos < size) {
    const size_t limit = std::min(size - pos, kFileReadPiece - 1);
    const char* start = data + pos;
    const void* nl = memchr(start, '\n', limit);
    const size_t piece = nl != nullptr ? static_cast<const char*>(nl) - start + 1 : limit;
    const size_t keep = strnlen(start, piece);
    memmove(data + kept, start, keep);
    kept += keep;
    pos += piece;
  }
  return kept;
}

bool SmallFile::read(const char* path) {
  data_ = buffer_;
  size_ = 0;
  large_.clear();
  Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return false;
  const ssize_t got = read_retrying(fd.get(), buffer_, sizeof buffer_);
  if (got <= 0) return true;  // empty, or unreadable: a directory, a FIFO without data
  if (static_cast<size_t>(got) < sizeof buffer_) {
    size_ = cut_pieces_at_nul(buffer_, static_cast<size_t>(got));
    return true;
  }
  // The buffer is full: only a regular file has a known end to read on to.
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
  size_t used = static_cast<size_t>(got);
  const size_t expected = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  large_.resize(std::max(expected + 1, 2 * used));  // end of file is seen without growing
  memcpy(&large_[0], buffer_, used);
  for (;;) {
    if (used == large_.size()) large_.resize(large_.size() * 2);
    const ssize_t n = read_retrying(fd.get(), &large_[used], large_.size() - used);
    if (n <= 0) break;  // a read error keeps what came before it
    used += static_cast<size_t>(n);
  }
  large_.resize(cut_pieces_at_nul(&large_[0], used));
  data_ = large_.data();
  size_ = large_.size();
  return true;
}

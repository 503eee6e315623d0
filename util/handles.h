// Owning handles for system resources, so that every path closes them.
#pragma once

#include <cstdio>
#include <memory>

#include <dirent.h>
#include <unistd.h>

struct FileCloser {
  void operator()(FILE* f) const noexcept {
    if (f != nullptr) fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
  void operator()(DIR* d) const noexcept {
    if (d != nullptr) closedir(d);
  }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A file descriptor closed on destruction (-1 holds nothing).
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  ~Fd() { reset(); }
  void reset() noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int get() const noexcept { return fd_; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_;
};

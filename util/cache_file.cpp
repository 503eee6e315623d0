#include "util/cache_file.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/handles.h"
#include "util/util.h"

namespace {

constexpr mode_t kGroupOrOtherWrite = S_IWGRP | S_IWOTH;

// The folder part of path ("." for a bare name) and its last component.
void split_path(const std::string& path, std::string& dir, std::string& name) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    dir = ".";
    name = path;
  } else {
    dir = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

// The folder itself, never a link to one (ELOOP) nor anything else (ENOTDIR).
Fd open_folder(const std::string& dir) {
  return Fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool is_folder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes dir and whichever of its parents are missing.  A folder made by
// someone else meanwhile is as good as one made here.
bool make_folders(const std::string& dir) {
  std::vector<std::string> missing;
  std::string at = dir;
  while (!at.empty() && at != "/" && at != "." && !is_folder(at)) {
    missing.push_back(at);
    const size_t slash = at.rfind('/');
    at = slash == std::string::npos ? "." : (slash == 0 ? "/" : at.substr(0, slash));
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (mkdir(it->c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

bool read_trusted_cache_file(const std::string& path, const std::string& input, std::string& out) {
  out.clear();
  std::string dir, name;
  split_path(path, dir, name);
  Fd folder = open_folder(dir);
  if (!folder) return false;
  // Non-blocking, so that a FIFO put there cannot hold the open.
  Fd fd(openat(folder.get(), name.c_str(),
               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if ((st.st_mode & kGroupOrOtherWrite) != 0 || st.st_size > kCacheFileMaxSize) return false;
  if (st.st_uid != geteuid()) {
    struct stat made_from;
    if (stat(input.c_str(), &made_from) != 0 || made_from.st_uid != st.st_uid) return false;
  }
  return static_cast<bool>(
      read_open_file(fd.get(), static_cast<size_t>(st.st_size), out, kCacheFileMaxSize));
}

unsigned cache_file_mode(const std::string& input) {
  struct stat st;
  if (stat(input.c_str(), &st) != 0) return 0644;
  return (static_cast<unsigned>(st.st_mode) | S_IWUSR) & 0644;
}

bool write_cache_file(const std::string& path, const std::string& content, unsigned mode) {
  std::string dir, name;
  split_path(path, dir, name);
  Fd folder = open_folder(dir);
  if (!folder && errno == ENOENT && make_folders(dir)) folder = open_folder(dir);
  if (!folder) return false;

  std::string tmp;
  Fd fd(open_temp_file(folder.get(), name, mode & 0777, tmp));
  if (!fd) return false;
  bool ok = write_all(fd.get(), content);
  if (close(fd.release()) != 0) ok = false;
  ok = ok && renameat(folder.get(), tmp.c_str(), folder.get(), name.c_str()) == 0;
  if (!ok) unlinkat(folder.get(), tmp.c_str(), 0);
  return ok;
}

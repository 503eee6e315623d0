#include "util/util.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "build_config.h"
#include "util/handles.h"
#include "util/piece_reader.h"
#include "util/small_file.h"

std::string get_path() { return PL_PANEL_ROOT; }

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

namespace {

FileStatus status_of(const struct stat& st) {
  FileStatus status;
  status.exists = true;
  status.regular = S_ISREG(st.st_mode);
  status.mtime = static_cast<int64_t>(st.st_mtime);
  status.size = static_cast<int64_t>(st.st_size);
  status.mtime_nsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  status.inode = static_cast<uint64_t>(st.st_ino);
  return status;
}

}  // namespace

FileStatus file_status(const char* path) {
  FileStatus status;
  struct stat st;
  if (stat(path, &st) == 0) status = status_of(st);
  return status;
}

int open_regular_file(const std::string& path, FileStatus* status) {
  // A path that is no regular file is never opened: opening a FIFO can wait
  // for a writer, and reading a device can go on for ever.
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  // Non-blocking, so that a FIFO swapped in since the check cannot hold
  // the open either; the descriptor's own status decides.
  Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  if (status != nullptr) *status = status_of(st);
  return fd.release();
}

bool file_get_contents(const std::string& path, std::string& out, FileStatus* status) {
  out.clear();
  FileStatus opened;
  Fd fd(open_regular_file(path, &opened));
  if (!fd) return false;
  // The file is read in large blocks straight into out (a catalog is about
  // a megabyte); the result is what reading it piece by piece with fgets()
  // would give.
  const size_t expected = opened.size > 0 ? static_cast<size_t>(opened.size) : 0;
  size_t used = 0;
  if (out.size() < expected + 1) out.resize(expected + 1);  // end of file is seen without growing
  for (;;) {
    if (used == out.size()) out.resize(out.size() * 2 + 65536);
    ssize_t n = read(fd.get(), &out[used], out.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.clear();
      return false;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  out.resize(used);
  out.resize(cut_pieces_at_nul(&out[0], out.size()));
  if (status != nullptr) *status = opened;
  return true;
}

bool file_get_contents(const std::string& path, std::string& out) {
  return file_get_contents(path, out, nullptr);
}

std::string file_get_contents(const std::string& path) {
  std::string text;
  file_get_contents(path, text, nullptr);
  return text;
}

bool get_file(const std::string& path, char* out, size_t out_size) {
  if (out == nullptr || out_size == 0) return false;
  out[0] = '\0';
  Fd fd(open_regular_file(path, nullptr));
  if (!fd) return false;
  FilePtr f(fdopen(fd.get(), "r"));
  if (!f) return false;
  fd.release();  // the stream owns it now
  // Truncation: bytes beyond out_size - 1 are dropped, the terminator stays.
  read_pieces_bounded<kFileReadPiece>(f.get(), out, out_size);
  return true;
}

bool write_file(const std::string& path, const std::string& content) {
  FilePtr f(fopen(path.c_str(), "w"));
  if (!f) return true;
  fputs(content.c_str(), f.get());
  return true;
}

int64_t get_file_mtime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_mtime);
}

std::string NoLinkRead::reason(size_t max_size) const {
  switch (outcome) {
    case kRead:
      return std::string();
    case kMissing:
      return "absent";
    case kLink:
      return "a symbolic link, which is never followed";
    case kNotRegular:
      return "not a regular file";
    case kUnreadable:
      return std::string("unreadable (") + strerror(error) + ")";
    case kTooLarge:
      return "larger than " + std::to_string(max_size) + " bytes";
  }
  return std::string();
}

namespace {

// A read that gave nothing: no byte of it stays in out, nor its memory.
NoLinkRead refused_read(std::string& out, NoLinkRead::Outcome outcome, int error) {
  std::string().swap(out);
  NoLinkRead result;
  result.outcome = outcome;
  result.error = error;
  return result;
}

}  // namespace

NoLinkRead read_open_file(int fd, size_t expected, std::string& out, size_t max_size) {
  auto refuse = [&](NoLinkRead::Outcome outcome, int error) {
    return refused_read(out, outcome, error);
  };
  if (expected > max_size) return refuse(NoLinkRead::kTooLarge, 0);
  // One byte more than the file holds: a read that comes back short past
  // the size fstat gave is the end of the file, so one read() does.
  out.resize(expected + 1);
  size_t used = 0;
  for (;;) {
    const ssize_t n = read(fd, &out[used], out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return refuse(NoLinkRead::kUnreadable, errno);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
    if (used > max_size) return refuse(NoLinkRead::kTooLarge, 0);  // it grew meanwhile
    if (used < out.size()) {
      if (used >= expected) break;
      continue;
    }
    out.resize(std::min(2 * out.size(), max_size + 1));
  }
  out.resize(used);
  NoLinkRead read;
  read.outcome = NoLinkRead::kRead;
  return read;
}

NoLinkRead read_file_no_link(const std::string& path, std::string& out, size_t max_size,
                             struct stat* st_out) {
  out.clear();
  auto refuse = [&](NoLinkRead::Outcome outcome, int error) {
    return refused_read(out, outcome, error);
  };
  Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd) {
    const int err = errno;
    if (err == ENOENT) return refuse(NoLinkRead::kMissing, err);
    // O_NOFOLLOW refuses a link with ELOOP, which a loop of links on the
    // way gives as well; and a socket cannot be opened at all.
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      return refuse(S_ISLNK(st.st_mode) ? NoLinkRead::kLink : NoLinkRead::kNotRegular, 0);
    }
    return refuse(NoLinkRead::kUnreadable, err);
  }
  if (fstat(fd.get(), &st) != 0) return refuse(NoLinkRead::kUnreadable, errno);
  if (!S_ISREG(st.st_mode)) return refuse(NoLinkRead::kNotRegular, 0);
  if (st.st_size < 0) return refuse(NoLinkRead::kTooLarge, 0);
  const NoLinkRead read = read_open_file(fd.get(), static_cast<size_t>(st.st_size), out, max_size);
  if (read && st_out != nullptr) *st_out = st;
  return read;
}

NoLinkRead read_panel_text(const std::string& path, std::string& out, size_t max_size) {
  const NoLinkRead read = read_file_no_link(path, out, max_size);
  if (read) out.resize(cut_pieces_at_nul(&out[0], out.size()));
  return read;
}

bool write_all(int fd, const std::string& content) {
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

int open_temp_file(int dir_fd, const std::string& name, unsigned mode, std::string& tmp) {
  // The name is random, so nobody can have made it ready beforehand; one
  // that is taken all the same is drawn again.
  constexpr int kAttempts = 8;
  for (int i = 0; i < kAttempts; ++i) {
    char suffix[kTempSuffixLength + 1];
    if (!secure_rand_string(suffix, kTempSuffixLength)) return -1;
    tmp = name + ".tmp." + suffix;
    const int fd = openat(dir_fd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;  // errno is EEXIST
}

namespace {

// The permission bits a replacement takes from the file it replaces: never
// the set-user-ID, set-group-ID or sticky bit, and never write permission
// for group or others (who could otherwise rewrite what the module reads).
constexpr mode_t kReplacedModeBits = 0755;

// Writes content into a fresh temporary file; its name comes back in tmp.
// With like given, the file gets like's owner (where this process may give
// it) and permission bits (kReplacedModeBits of them) before it is closed;
// until then it is open to this process's user alone, so nobody else can
// open it for writing in between.  Without like, it is created with mode
// less the umask.
bool write_temp(const std::string& path, const std::string& content, std::string& tmp,
                const struct stat* like, unsigned mode) {
  Fd fd(open_temp_file(AT_FDCWD, path, like != nullptr ? 0600 : mode, tmp));
  if (!fd) return false;
  bool ok = write_all(fd.get(), content);
  if (ok && like != nullptr) {
    if (fchown(fd.get(), like->st_uid, like->st_gid) != 0 &&
        fchown(fd.get(), static_cast<uid_t>(-1), like->st_gid) != 0) {
      // Only the superuser may give a file away: the file keeps this
      // process's owner and group, and the permission bits below still apply.
    }
    ok = fchmod(fd.get(), like->st_mode & kReplacedModeBits) == 0;
  }
  ok = ok && fsync(fd.get()) == 0;
  int err = errno;
  if (close(fd.release()) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    errno = err;  // the caller learns why writing failed, not how unlink went
  }
  return ok;
}

bool all_of_class(const char* begin, const char* end, int (*in_class)(int)) {
  if (begin == end) return false;
  for (const char* p = begin; p != end; ++p) {
    if (in_class(static_cast<unsigned char>(*p)) == 0) return false;
  }
  return true;
}

// True when name is prefix followed by a temporary's suffix: the random
// letters and digits of this version, or "<pid>.<n>" of earlier ones.
bool is_temp_name(const char* name, const std::string& prefix) {
  if (strncmp(name, prefix.c_str(), prefix.size()) != 0) return false;
  const char* suffix = name + prefix.size();
  const char* end = suffix + strlen(suffix);
  if (static_cast<size_t>(end - suffix) == kTempSuffixLength &&
      all_of_class(suffix, end, isalnum)) {
    return true;
  }
  const char* dot = strchr(suffix, '.');
  return dot != nullptr && all_of_class(suffix, dot, isdigit) &&
         all_of_class(dot + 1, end, isdigit);
}

// Removes the temporary files of path that writers left behind: those not
// modified for kStaleTempSeconds.  Who made one tells nothing (a process of
// another PID namespace may share the folder), so a younger one may be in use
// and stays.  Only regular files are removed.
void remove_stale_temporaries(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
  DirPtr d(opendir(dir.c_str()));
  if (!d) return;
  const int64_t now = static_cast<int64_t>(time(nullptr));
  while (const dirent* entry = readdir(d.get())) {
    if (!is_temp_name(entry->d_name, prefix)) continue;
    struct stat st;
    if (fstatat(dirfd(d.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || now - static_cast<int64_t>(st.st_mtime) <= kStaleTempSeconds) {
      continue;
    }
    unlinkat(dirfd(d.get()), entry->d_name, 0);
  }
}

// Writes content over the regular file at path in place.  Never through a
// link (ELOOP), and never into something else (EINVAL) or a file that has
// other names (EMLINK): another name may be outside the panel.
bool write_in_place(const std::string& path, const std::string& content) {
  Fd fd(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
    errno = S_ISREG(st.st_mode) ? EMLINK : EINVAL;
    return false;
  }
  if (ftruncate(fd.get(), 0) != 0 || !write_all(fd.get(), content)) return false;
  if ((st.st_mode & 07777 & ~kReplacedModeBits) != 0 &&
      fchmod(fd.get(), st.st_mode & kReplacedModeBits) != 0) {
    // Only the file's owner may change its mode: the bytes are written all the same.
  }
  return close(fd.release()) == 0;
}

}  // namespace

bool replace_file_atomic(const std::string& path, const std::string& content) {
  // The replacement keeps the permission bits and owner of the file it
  // replaces, so a catalog kept private stays private.  Only a regular file
  // found at path itself counts: a link's target may be any file at all.
  struct stat old;
  const bool has_old = lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  std::string tmp;
  if (!write_temp(path, content, tmp, has_old ? &old : nullptr, 0644)) return false;
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    unlink(tmp.c_str());
    errno = err;
    return false;
  }
  remove_stale_temporaries(path);
  return true;
}

bool replace_file(const std::string& path, const std::string& content) {
  if (replace_file_atomic(path, content)) return true;
  // When the bytes did not fit (a full disk, a file size limit), writing in
  // place would truncate the file and then fail in the same way.
  if (errno != EACCES && errno != EPERM) return false;
  return write_in_place(path, content);
}

int create_file_exclusive(const std::string& path, const std::string& content, unsigned mode) {
  struct stat st;
  std::string tmp;
  if (!write_temp(path, content, tmp, nullptr, mode)) {
    const int err = errno;
    if (lstat(path.c_str(), &st) == 0) return 0;
    errno = err;
    return -1;
  }
  int rc = link(tmp.c_str(), path.c_str());
  int err = errno;
  unlink(tmp.c_str());
  if (rc == 0) {
    remove_stale_temporaries(path);
    return 1;
  }
  if (err == EEXIST) return 0;
  if (err != EPERM && err != ENOTSUP && err != EOPNOTSUPP) {
    errno = err;
    return -1;
  }
  // No hard links on this file system: fall back to an exclusive create,
  // which does not follow a link either.
  Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
             static_cast<mode_t>(mode)));
  if (!fd) return errno == EEXIST ? 0 : -1;
  bool ok = write_all(fd.get(), content);
  if (close(fd.release()) != 0) ok = false;
  if (!ok) {
    err = errno;
    unlink(path.c_str());
    errno = err;
    return -1;
  }
  return 1;
}

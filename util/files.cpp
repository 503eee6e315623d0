#include "util/util.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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
  status.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
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

namespace {

// A name in the directory of path that no other process or call uses.
std::string temp_name_for(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
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

// Writes content into a fresh temporary file; its name comes back in tmp.
// With like given, the file gets like's owner (where this process may give
// it) and permission bits before it is closed; until then it is open to this
// process's user alone, so nobody else can open it for writing in between.
// Without like, it is created as any new file (0666 less the umask).
bool write_temp(const std::string& path, const std::string& content, std::string& tmp,
                const struct stat* like = nullptr) {
  tmp = temp_name_for(path);
  Fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, like != nullptr ? 0600 : 0666));
  if (!fd) return false;
  bool ok = write_all(fd.get(), content);
  if (ok && like != nullptr) {
    if (fchown(fd.get(), like->st_uid, like->st_gid) != 0 &&
        fchown(fd.get(), static_cast<uid_t>(-1), like->st_gid) != 0) {
      // Only the superuser may give a file away: the file keeps this
      // process's owner and group, and the permission bits below still apply.
    }
    // After fchown, which may clear the set-user-ID and set-group-ID bits.
    ok = fchmod(fd.get(), like->st_mode & 07777) == 0;
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

// The process id in a temporary file name "<prefix><pid>.<counter>" that
// starts with prefix; 0 when name is not such a name.
pid_t temp_owner(const char* name, const std::string& prefix) {
  if (strncmp(name, prefix.c_str(), prefix.size()) != 0) return 0;
  const char* p = name + prefix.size();
  long long pid = 0;
  const char* start = p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    pid = pid * 10 + (*p - '0');
    if (pid > 0x7fffffff) return 0;
  }
  if (p == start || *p != '.') return 0;
  const char* counter = ++p;
  while (*p >= '0' && *p <= '9') ++p;
  if (p == counter || *p != '\0') return 0;
  return static_cast<pid_t>(pid);
}

// Removes the temporary files of path that processes left behind when they
// ended between writing and renaming: those named for a process that no
// longer exists.  Files of living processes may be in use and stay.
void remove_stale_temporaries(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
  DirPtr d(opendir(dir.c_str()));
  if (!d) return;
  const pid_t self = getpid();
  while (const dirent* entry = readdir(d.get())) {
    const pid_t owner = temp_owner(entry->d_name, prefix);
    if (owner <= 0 || owner == self) continue;
    if (kill(owner, 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
    unlinkat(dirfd(d.get()), entry->d_name, 0);
  }
}

}  // namespace

bool replace_file_atomic(const std::string& path, const std::string& content) {
  // The replacement keeps the permission bits and owner of the file it
  // replaces, so a catalog kept private stays private.
  struct stat old;
  const bool has_old = stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  std::string tmp;
  if (!write_temp(path, content, tmp, has_old ? &old : nullptr)) return false;
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    unlink(tmp.c_str());
    errno = err;
    return false;
  }
  remove_stale_temporaries(path);
  return true;
}

int create_file_exclusive(const std::string& path, const std::string& content) {
  std::string tmp;
  if (!write_temp(path, content, tmp)) return file_exists(path) ? 0 : -1;
  int rc = link(tmp.c_str(), path.c_str());
  int err = errno;
  unlink(tmp.c_str());
  if (rc == 0) return 1;
  if (err == EEXIST) return 0;
  if (err != EPERM && err != ENOTSUP && err != EOPNOTSUPP) return -1;
  // No hard links on this file system: fall back to an exclusive create.
  Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) return errno == EEXIST ? 0 : -1;
  bool ok = write_all(fd.get(), content);
  if (close(fd.release()) != 0) ok = false;
  if (!ok) {
    unlink(path.c_str());
    return -1;
  }
  return 1;
}

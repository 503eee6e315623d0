// The calls fail_call.h can fail (of the C library, and two of libcurl's),
// defined under their own names.  Each
// looks up the next definition once and forwards to it unless an armed fault
// matches: then it fails as the real call does (-1 or null with errno, or the
// error number itself for the posix_spawn family); ioctl's requests match
// by name, as paths do.  close runs first and fails after, as Linux closes
// the descriptor whatever close reports.
#define _GNU_SOURCE
#include <curl/curl.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

struct PlFault {
  const char* call;
  int err;
  int skip;
  int times;
  const char* path;
};

enum { kSlots = 4 };

static struct {
  struct PlFault fault;
  int armed;
  int seen;
  int failed;
} slots[kSlots];
static int armed_count;

int pl_fault_arm(const struct PlFault* fault) {
  if (fault->call == NULL) return -1;
  for (int i = 0; i < kSlots; ++i) {
    if (!slots[i].armed) {
      slots[i].fault = *fault;
      slots[i].seen = slots[i].failed = 0;
      slots[i].armed = 1;
      ++armed_count;
      return i;
    }
  }
  return -1;
}

int pl_fault_failed(int slot) { return slot >= 0 && slot < kSlots ? slots[slot].failed : 0; }

int pl_fault_disarm(int slot) {
  if (slot < 0 || slot >= kSlots || !slots[slot].armed) return 0;
  slots[slot].armed = 0;
  --armed_count;
  return slots[slot].failed;
}

// The error a call of name on path fails with (errno is then set), or 0.
static int fault(const char* name, const char* path) {
  if (armed_count == 0) return 0;
  for (int i = 0; i < kSlots; ++i) {
    const struct PlFault* f = &slots[i].fault;
    if (!slots[i].armed || strcmp(f->call, name) != 0) continue;
    if (f->path != NULL && (path == NULL || strstr(path, f->path) == NULL)) continue;
    const int index = slots[i].seen++;
    if (index < f->skip || (f->times >= 0 && index >= f->skip + f->times)) continue;
    ++slots[i].failed;
    errno = f->err;
    return f->err;
  }
  return 0;
}

#define NEXT(name)                      \
  static __typeof__(&name) next_##name; \
  if (next_##name == NULL) next_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

// A call that fails with -1 and errno.
#define FAIL_MINUS_ONE(name, path, params, args)       \
  int name params {                                    \
    NEXT(name);                                        \
    return fault(#name, path) ? -1 : next_##name args; \
  }
// One of the posix_spawn family, which return the error number.
#define FAIL_ERRNUM(name, params, args)       \
  int name params {                           \
    NEXT(name);                               \
    const int err = fault(#name, NULL);       \
    return err != 0 ? err : next_##name args; \
  }

FAIL_MINUS_ONE(fsync, NULL, (int fd), (fd))
FAIL_MINUS_ONE(ftruncate, NULL, (int fd, off_t length), (fd, length))
FAIL_MINUS_ONE(fchown, NULL, (int fd, uid_t owner, gid_t group), (fd, owner, group))
FAIL_MINUS_ONE(fchmod, NULL, (int fd, mode_t mode), (fd, mode))
FAIL_MINUS_ONE(fstat, NULL, (int fd, struct stat* st), (fd, st))
FAIL_MINUS_ONE(stat, path, (const char* path, struct stat* st), (path, st))
FAIL_MINUS_ONE(lstat, path, (const char* path, struct stat* st), (path, st))
FAIL_MINUS_ONE(fstatat, path, (int dir, const char* path, struct stat* st, int flags),
               (dir, path, st, flags))
FAIL_MINUS_ONE(rename, to, (const char* from, const char* to), (from, to))
FAIL_MINUS_ONE(link, to, (const char* from, const char* to), (from, to))
FAIL_MINUS_ONE(pipe2, NULL, (int ends[2], int flags), (ends, flags))
FAIL_MINUS_ONE(poll, NULL, (struct pollfd * fds, nfds_t n, int ms), (fds, n, ms))
FAIL_MINUS_ONE(socket, NULL, (int domain, int type, int protocol), (domain, type, protocol))
FAIL_MINUS_ONE(sysinfo, NULL, (struct sysinfo * info), (info))
FAIL_MINUS_ONE(statfs, path, (const char* path, struct statfs* st), (path, st))
FAIL_MINUS_ONE(gethostname, NULL, (char* name, size_t size), (name, size))
FAIL_MINUS_ONE(uname, NULL, (struct utsname * u), (u))

FAIL_ERRNUM(posix_spawn_file_actions_init, (posix_spawn_file_actions_t * a), (a))
FAIL_ERRNUM(posix_spawnattr_init, (posix_spawnattr_t * a), (a))
FAIL_ERRNUM(posix_spawn_file_actions_addopen,
            (posix_spawn_file_actions_t * a, int fd, const char* path, int flags, mode_t mode),
            (a, fd, path, flags, mode))
FAIL_ERRNUM(posix_spawn_file_actions_adddup2, (posix_spawn_file_actions_t * a, int fd, int to),
            (a, fd, to))
FAIL_ERRNUM(posix_spawnattr_setflags, (posix_spawnattr_t * a, short flags), (a, flags))
FAIL_ERRNUM(posix_spawnattr_setpgroup, (posix_spawnattr_t * a, pid_t group), (a, group))
FAIL_ERRNUM(posix_spawnattr_setsigmask, (posix_spawnattr_t * a, const sigset_t* set), (a, set))
FAIL_ERRNUM(posix_spawnattr_setsigdefault, (posix_spawnattr_t * a, const sigset_t* set), (a, set))
FAIL_ERRNUM(posix_spawn,
            (pid_t * pid, const char* path, const posix_spawn_file_actions_t* actions,
             const posix_spawnattr_t* attr, char* const argv[], char* const envp[]),
            (pid, path, actions, attr, argv, envp))

// The mode argument of an open that creates a file, else 0.
#define OPEN_MODE(flags, mode)                                      \
  mode_t mode = 0;                                                  \
  if (((flags)&O_CREAT) != 0 || ((flags)&O_TMPFILE) == O_TMPFILE) { \
    va_list ap;                                                     \
    va_start(ap, flags);                                            \
    mode = (mode_t)va_arg(ap, unsigned);                            \
    va_end(ap);                                                     \
  }

int open(const char* path, int flags, ...) {
  NEXT(open);
  OPEN_MODE(flags, mode)
  return fault("open", path) ? -1 : next_open(path, flags, mode);
}

// An open relative to a folder descriptor is an open all the same.
int openat(int dir, const char* path, int flags, ...) {
  NEXT(openat);
  OPEN_MODE(flags, mode)
  return fault("open", path) ? -1 : next_openat(dir, path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) {
  NEXT(ioctl);
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  // The requests the code makes match by name, as paths do.
  const char* what = request == SIOCGIFCONF     ? "SIOCGIFCONF"
                     : request == SIOCGIFFLAGS  ? "SIOCGIFFLAGS"
                     : request == SIOCGIFHWADDR ? "SIOCGIFHWADDR"
                                                : NULL;
  return fault("ioctl", what) ? -1 : next_ioctl(fd, request, arg);
}

ssize_t read(int fd, void* buf, size_t n) {
  NEXT(read);
  return fault("read", NULL) ? -1 : next_read(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
  NEXT(write);
  return fault("write", NULL) ? -1 : next_write(fd, buf, n);
}

ssize_t getrandom(void* buf, size_t n, unsigned flags) {
  NEXT(getrandom);
  return fault("getrandom", NULL) ? -1 : next_getrandom(buf, n, flags);
}

size_t confstr(int name, char* buf, size_t size) {
  NEXT(confstr);
  return fault("confstr", NULL) ? 0 : next_confstr(name, buf, size);
}

DIR* opendir(const char* path) {
  NEXT(opendir);
  return fault("opendir", path) ? NULL : next_opendir(path);
}

FILE* fdopen(int fd, const char* mode) {
  NEXT(fdopen);
  return fault("fdopen", NULL) ? NULL : next_fdopen(fd, mode);
}

int close(int fd) {
  NEXT(close);
  const int rc = next_close(fd);
  return fault("close", NULL) ? -1 : rc;
}

pid_t waitpid(pid_t pid, int* status, int options) {
  NEXT(waitpid);
  const int err = fault("waitpid", NULL);
  if (err == 0) return next_waitpid(pid, status, options);
  // ECHILD stands for a child that someone else reaped: it is reaped first.
  if (err == ECHILD) next_waitpid(pid, status, options & ~WNOHANG);
  errno = err;
  return -1;
}

CURL* curl_easy_init(void) {
  NEXT(curl_easy_init);
  return fault("curl_easy_init", NULL) ? NULL : next_curl_easy_init();
}

struct curl_slist* curl_slist_append(struct curl_slist* list, const char* line) {
  NEXT(curl_slist_append);
  return fault("curl_slist_append", line) ? NULL : next_curl_slist_append(list, line);
}

// Shared helpers of the module: files, strings, JSON, text encodings, child
// processes, time and random strings.  Plain C++, no interpreter.  Failures
// come back through the result (false, an empty text, 0, an empty JSON
// object); only memory exhaustion may escape as an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

// Fixed working sizes.
constexpr size_t kFileReadPiece = 10240;        // file_get_contents, get_file
constexpr size_t kConfigBufferSize = 131072;    // get_config_json
constexpr size_t kCommandBufferSize = 102400;   // ExecCmd command line
constexpr size_t kCommandReadPiece = 1024;      // ExecCmd, ExecShell
constexpr size_t kEncodingBufferSize = 102400;  // to_utf8
constexpr size_t kDateBufferSize = 80;          // get_date

// ---- files ----

// The panel root (no trailing slash); every panel file is this + "/...".
std::string get_path();
// True when access(path, F_OK) succeeds.
bool file_exists(const std::string& path);
// What identifies one version of a file's content: its modification time at
// the file system's full precision, its size and its inode (a file replaced
// by rename has a new one).  A file rewritten within the same second, even
// to the same size, gets another stamp.
struct FileStamp {
  int64_t mtime = 0;
  int64_t mtime_nsec = 0;
  int64_t size = -1;
  uint64_t inode = 0;
  bool operator==(const FileStamp& o) const {
    return mtime == o.mtime && mtime_nsec == o.mtime_nsec && size == o.size && inode == o.inode;
  }
  bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

// What one status call (stat, following symbolic links) tells about a path.
// A path that cannot be examined reads as absent, with time 0 and size -1.
struct FileStatus {
  bool exists = false;
  bool regular = false;    // a regular file, not a directory, FIFO, device or socket
  int64_t mtime = 0;       // whole seconds since the epoch
  int64_t mtime_nsec = 0;  // and the nanoseconds within that second
  int64_t size = -1;
  uint64_t inode = 0;
  FileStamp stamp() const { return FileStamp{mtime, mtime_nsec, size, inode}; }
};
FileStatus file_status(const char* path);

// Every reader below reads regular files only: a directory, FIFO, device or
// socket at path reads as unreadable, and finding that out never blocks.

// Opens path for reading: a descriptor (the caller closes it) when path is a
// regular file that can be opened, else -1.  status, when given, receives
// the status of the file opened.
int open_regular_file(const std::string& path, FileStatus* status);
// The whole file, each line up to its first NUL byte; "" when missing,
// unreadable, not a regular file or empty.
std::string file_get_contents(const std::string& path);
// The same into out, whose capacity is reused (for callers reading a large
// file again and again); false when the file is missing or unreadable.
bool file_get_contents(const std::string& path, std::string& out);
// The same; status, when given, receives the status of the file that was
// read (taken from the open file, so its time and size go with the bytes).
bool file_get_contents(const std::string& path, std::string& out, FileStatus* status);
// Reads the file into out (out_size bytes including the terminator).  Sets
// out to "" first; false when the path is missing or cannot be opened.  A file
// that does not fit is cut at out_size - 1 bytes.
bool get_file(const std::string& path, char* out, size_t out_size);
// Creates or truncates the file and writes content up to its first NUL byte.
// Always true, also when the file cannot be opened (then nothing is written).
bool write_file(const std::string& path, const std::string& content);
// Modification time in whole seconds since the epoch; 0 when not examinable.
int64_t get_file_mtime(const std::string& path);

// ---- reading a regular file reached without a link ----
//
// For files in a folder where others may plant entries: the module's own
// files under <panel>/data (the catalog, the IV file, the routing, account
// and address files), where a link planted at a file's name could hand the
// module a root-only file to pass on, or a special file to block on.  The
// file is opened without following a link at its last component (the
// folders above may be links: a panel may move data/ to another disk),
// never blocking, and read only when the open file is a regular file of at
// most max_size bytes: open, fstat, one read, close in the common case.
// Plugin and module sources are read with file_get_contents, which follows
// links.

struct stat;

// How read_file_no_link went; true when the file was read.
struct NoLinkRead {
  enum Outcome {
    kRead,
    kMissing,     // nothing at path (also a folder on the way missing)
    kLink,        // a symbolic link at path: never followed
    kNotRegular,  // a directory, FIFO, device or socket
    kUnreadable,  // cannot be opened or read (error tells why)
    kTooLarge,    // a regular file of more than max_size bytes: not read
  };
  Outcome outcome = kMissing;
  int error = 0;  // the errno of kUnreadable
  explicit operator bool() const { return outcome == kRead; }
  // Why the file was not read, for people: "a symbolic link, which is never
  // followed", "not a regular file", "unreadable (Permission denied)",
  // "larger than 33554432 bytes", "absent"; "" when it was read.
  std::string reason(size_t max_size) const;
};

// Reads the file at path whole into out, its bytes as they are.  Anything
// but a regular file of at most max_size bytes at path itself leaves out
// empty; the result tells why.  st, when given, receives the status of the
// file opened (so its identity goes with the bytes read).  Nothing is kept
// between calls.
NoLinkRead read_file_no_link(const std::string& path, std::string& out, size_t max_size,
                             struct stat* st = nullptr);
// The largest of the panel's small files under data/ that the module reads
// (the routing, account, address, IV-family and OEM files).
constexpr size_t kPanelFileMaxSize = kConfigBufferSize - 1;
// read_file_no_link for a text: out as file_get_contents reads a file, each
// piece of a line up to its first NUL byte.
NoLinkRead read_panel_text(const std::string& path, std::string& out,
                           size_t max_size = kPanelFileMaxSize);
// Reads the open regular file fd to its end into out, expected being the
// size its status gave (the read is sized for it): kRead, or kTooLarge past
// max_size bytes, or kUnreadable; out is left empty unless read.
NoLinkRead read_open_file(int fd, size_t expected, std::string& out, size_t max_size);
// Creates a new temporary file for name (relative to the open folder dir_fd,
// or AT_FDCWD), exclusively and never through a link, with a random name
// that comes back in tmp: a descriptor (the caller closes it), or -1 with
// errno set.
int open_temp_file(int dir_fd, const std::string& name, unsigned mode, std::string& tmp);
// Writes all of content to fd; false on a write error.
bool write_all(int fd, const std::string& content);

// Temporary files are made next to the file they stand in for, named
// "<path>.tmp." followed by kTempSuffixLength random letters and digits, and
// created exclusively (never through a link, never over an existing name).
// Once older than kStaleTempSeconds, a temporary of a path (by that name, or
// "<path>.tmp.<pid>.<n>" as earlier versions named them) counts as left
// behind by a writer that ended, whoever made it: the next successful write of
// the path removes it.
constexpr size_t kTempSuffixLength = 16;
constexpr int64_t kStaleTempSeconds = 3600;

// Replaces path with content as one step: the bytes go to a temporary file in
// the same directory, which is then renamed over path, so a reader sees the
// old or the new file, never a part.  False (and path untouched) on failure,
// with errno telling why (EACCES: no new file can be made in the directory;
// ENOSPC, EFBIG, EDQUOT: the bytes did not fit).  A regular file at path (as
// lstat sees it: a link's target counts for nothing) keeps its permission
// bits, less set-user-ID, set-group-ID, sticky and the write bits of group
// and others (only the owner may write what the module wrote), and, where
// this process may give them, its owner and group; anything else at path (a
// link) is replaced by a new file, created with 0644 less the umask.  After
// the rename, stale temporaries of path are removed.
bool replace_file_atomic(const std::string& path, const std::string& content);
// replace_file_atomic, and where the directory refuses new files (EACCES,
// EPERM) the bytes are written in place into the regular file at path, which
// is never opened through a link nor when it has other hard links; its mode
// then loses the bits a replacement does not keep, where this process may
// change it.  False,
// with errno set, when neither could be done: a link at path, for one, then
// stays as it was.
bool replace_file(const std::string& path, const std::string& content);
// Creates path holding content only if nothing exists at path yet (a link,
// dangling or not, counts as something): the bytes go to a temporary file in
// the same directory, created with mode less the umask, which is then
// hard-linked to path (link fails when path exists).  Returns 1 when this
// call created the file, 0 when something already existed at path, -1 (errno
// set) on any other failure.
int create_file_exclusive(const std::string& path, const std::string& content,
                          unsigned mode = 0666);

// ---- strings ----

// Cuts text (up to its first NUL) at every byte found in separators, a set
// of single-byte separators; never yields empty pieces (strtok semantics).
std::vector<std::string> split(const std::string& text, const std::string& separators);
// Removes leading and trailing space, \t, \n, \v, \f and \r in place.
void trim(std::string& text);
// Lower-cases A-Z in place up to the terminating NUL; returns buffer.
char* strlwr_s(char* buffer);
// Replaces every occurrence of pattern, left to right, never re-searching the
// inserted text.  An empty pattern leaves text unchanged.
std::string& replace_all(std::string& text, const std::string& pattern,
                         const std::string& replacement);
// Consecutive pieces of n bytes of text (up to its first NUL), the last one
// holding the remainder; no trailing empty piece.  n of 0 counts as 1.
std::vector<std::string> split_bylen(const std::string& text, size_t n);
// True when text begins with prefix.
bool strncmp_s(const std::string& prefix, const std::string& text);

// ---- JSON ----

// Strict JSON parse (no comments, trailing commas, NaN) of text up to its
// first NUL into doc, which is emptied first; true when it parsed.  The parse
// is iterative, so deeply nested input cannot exhaust the stack.
bool parse_json(rapidjson::Document& doc, const char* text);

// Loads the JSON file into doc; on a missing, unreadable or invalid file doc
// becomes an empty object, and so it does for a link at path (never
// followed), anything but a regular file, and a file of kConfigBufferSize
// bytes or more.  Always true.
bool get_config_json(const std::string& path, rapidjson::Document& doc);
// Strict parse of text (up to its first NUL) into doc; false on a parse error.
bool to_json(const std::string& text, rapidjson::Document& doc);
// Compact JSON text of value; "{}" if writing throws or the value holds what
// JSON cannot (an infinite number).
std::string toString(const rapidjson::Value& value);
// {"status":<bool>,"msg":"..."[,"data":"..."]}, msg and data read as GBK.
std::string returnMsg(bool status, const std::string& msg, const std::string& data);

// ---- encodings (iconv "gbk" <-> "utf8") ----

// Zero-fills out_size bytes of out and converts in_length bytes of in into it
// in one iconv call.  -1 (out untouched) when the converter cannot be opened,
// otherwise 0, also when the conversion stopped early.
int GbkToUtf8(const char* in, size_t in_length, char* out, size_t out_size);
int Utf8ToGbk(const char* in, size_t in_length, char* out, size_t out_size);
// GBK text (up to its first NUL, at most 102,399 bytes) converted to UTF-8;
// the result is cut below 102,400 bytes.  "" when iconv is unavailable.
std::string to_utf8(const std::string& text);
std::string to_unicode(const std::string& text);

// ---- processes (/bin/sh -c; only stdout is captured; see child_process.h) ----

// Runs command and collects its output into out (out_size bytes including
// the terminator), each 1,023-byte or shorter line piece up to its first NUL.
// Always true; out is "" when the command could not be started or ran past
// the time limit.  A command of kCommandBufferSize bytes or more is not run
// at all (running a cut command line could run something else); output
// beyond out_size - 1 bytes is read and dropped.
bool ExecCmd(const std::string& command, char* out, size_t out_size);
// Runs command and returns exactly the bytes it wrote to standard output;
// "" when it could not be started or ran past the time limit.
std::string ExecShell(const std::string& command);

// ---- time and random ----

int64_t get_time();
// Local time formatted with strftime; "" when the result would not fit the
// 80-byte date buffer.
std::string get_date(const std::string& format);
// Reseeds rand() from time() and writes n characters of [A-Za-z0-9] and a
// NUL into buffer (n + 1 bytes).  Guessable: never for secrets.
void rand_string(char* buffer, size_t n);
// Fills buffer with n bytes from the system's secure generator (getrandom);
// false when it fails.
bool secure_random_bytes(void* buffer, size_t n);
// n characters of [A-Za-z0-9], each of the 62 equally likely, from the
// secure generator, and a NUL (n + 1 bytes); rand() is left alone.  False,
// with buffer "", when the generator fails.
bool secure_rand_string(char* buffer, size_t n);

// Cache files kept beside the files they were made from (compiled code kept
// next to its source, for one).  A cache file is only ever replaced whole,
// and is read back only when nobody but its rightful owners can have put it
// there.  Plain C++, no interpreter.
#pragma once

#include <cstdint>
#include <string>

// A cache file larger than this is not read.
constexpr int64_t kCacheFileMaxSize = int64_t{64} << 20;

// Reads the whole cache file at path into out when it can be trusted: a
// regular file, opened without following a link, in a folder reached
// without a link either (through the same open folder, so nothing can be
// swapped in between), owned by this process's effective user or by the
// owner of the file it was made from (input), writable by neither group nor
// others, and at most kCacheFileMaxSize bytes.  False otherwise (out empty).
bool read_trusted_cache_file(const std::string& path, const std::string& input, std::string& out);

// The permission bits for a cache file of input: input's own, writable by
// its owner, never by group or others (0644 when input cannot be examined).
unsigned cache_file_mode(const std::string& input);

// Writes content as the cache file at path: missing folders are made (0777
// less the umask), the bytes go to a new temporary in path's folder with a
// random name, created exclusively and never through a link, with mode
// less the umask, which is then renamed over path.  So a reader sees a whole
// file, the old or the new one, and among writers at once the last rename
// wins.  A link at path is replaced, never written through; a folder that is
// a link is refused.  False on any failure, and nothing is left behind.
bool write_cache_file(const std::string& path, const std::string& content, unsigned mode);

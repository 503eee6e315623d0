#include "loader/runner_paths.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>

#include "loader/loader.h"
#include "util/handles.h"
#include "util/util.h"

namespace {

// Substrings refused in plugin, module and method names, in test order.
constexpr const char* kForbidden[] = {
    "./", "..", ",",  ";",  ":",  "?",  "'", "\"", "<", ">", "|", "\\", "\n",
    "\r", "\t", "\b", "\a", "\f", "\v", "*", "%",  "&", "$", "#", "@",  "!",
    "~",  "`",  "^",  "(",  ")",  "+",  "=", "{",  "}", "[", "]",
};
static_assert(sizeof kForbidden / sizeof kForbidden[0] == 37, "forbidden table has 37 entries");

// The table as a byte map: every one-byte entry refuses its byte anywhere;
// the two two-byte entries both begin with '.', so '.' is refused only when
// followed by '.' or '/'.  Scanning once with this map gives the same answer
// as searching the 37 entries one after another.
struct ForbiddenMap {
  std::array<bool, 256> single{};
  constexpr ForbiddenMap() {
    for (const char* entry : kForbidden) {
      if (entry[1] == '\0') single[static_cast<unsigned char>(entry[0])] = true;
    }
  }
};
constexpr ForbiddenMap kForbiddenMap;

}  // namespace

int Ploader::path_check(const char* text) {
  if (text == nullptr) return 1;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (kForbiddenMap.single[*p]) return 0;
    if (*p == '.' && (p[1] == '.' || p[1] == '/')) return 0;
  }
  return 1;
}

int64_t get_file_size(const std::string& path) {
  if (!file_exists(path)) return -1;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool join_bounded(char* buf, size_t size, std::initializer_list<std::string_view> parts) {
  if (buf == nullptr || size == 0) return false;
  size_t used = 0;
  for (std::string_view part : parts) {
    if (part.size() >= size - used) {
      buf[0] = '\0';
      return false;
    }
    memcpy(buf + used, part.data(), part.size());
    used += part.size();
  }
  buf[used] = '\0';
  return true;
}

bool first_existing(char* buf, size_t size,
                    std::initializer_list<std::initializer_list<std::string_view>> candidates) {
  for (const auto& parts : candidates) {
    if (join_bounded(buf, size, parts) && file_exists(buf)) return true;
  }
  if (buf != nullptr && size > 0) buf[0] = '\0';
  return false;
}

bool is_module_dir_name(const char* name) {
  return strlen(name) > 6 && strchr(name, '.') == nullptr && strstr(name, "Model") != nullptr;
}

bool list_module_dirs(const std::string& dir, std::vector<std::string>& out) {
  DirPtr d(opendir(dir.c_str()));
  if (!d) return false;
  while (const dirent* entry = readdir(d.get())) {
    // Only what the listing itself reports as a directory: symbolic links
    // and entries of unknown type are skipped.
    if (entry->d_type != DT_DIR) continue;
    if (is_module_dir_name(entry->d_name)) out.emplace_back(entry->d_name);
  }
  return true;
}

bool Ploader::get_module_list() {
  if (!module_list.empty()) return true;
  return list_module_dirs(get_path() + "/class/", module_list);
}

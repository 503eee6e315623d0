#include "hostinfo/probes.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "util/child_process.h"
#include "util/handles.h"
#include "util/util.h"

namespace {

// The first line of text containing needle, with its line end.
bool first_line_with(const std::string& text, const char* needle, std::string& line) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    size_t stop = end == std::string::npos ? text.size() : end + 1;
    std::string current = text.substr(start, stop - start);
    if (current.find(needle) != std::string::npos) {
      line = std::move(current);
      return true;
    }
    start = stop;
  }
  return false;
}

// The part after the first ':' (the whole line without one), with its first
// space character removed.
std::string value_part(const std::string& line) {
  size_t colon = line.find(':');
  std::string value = colon == std::string::npos ? line : line.substr(colon + 1);
  size_t space = value.find(' ');
  if (space != std::string::npos) value.erase(space, 1);
  return value;
}

std::string read_proc(const char* path) {
  // /proc files report a size of 0, so read them as a stream.
  return file_get_contents(path);
}

}  // namespace

std::string cpu_id_from_cpuinfo(const std::string& text) {
  std::string line;
  if (!first_line_with(text, "microcode", line)) return std::string();
  std::string value = value_part(line);
  // The line end is no part of the revision.
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return value;
}

std::string memory_total_from_meminfo(const std::string& text) {
  std::string line;
  if (!first_line_with(text, "MemTotal", line)) return "0";
  std::string value = value_part(line);
  const char* begin = value.c_str();
  char* end = nullptr;
  long long kib = strtoll(begin, &end, 10);
  if (end == begin) return "0";
  // A figure whose byte count does not fit 64 bits is no usable reading.
  if (kib > LLONG_MAX / 1024 || kib < LLONG_MIN / 1024) return "0";
  return std::to_string(kib * 1024);
}

std::string runtime_from_libc_version(const std::string& answer) {
  std::string joined;
  for (const std::string& word : split(answer, " ")) joined += word;
  return joined.empty() ? "unknown" : joined;
}

bool format_boot_time(int64_t boot_moment, char* buffer, size_t size) {
  time_t shifted = static_cast<time_t>(boot_moment + 8 * 3600);
  struct tm t;
  if (gmtime_r(&shifted, &t) == nullptr) return false;
  snprintf(buffer, size, "%02d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
           t.tm_hour, t.tm_min, t.tm_sec);
  return true;
}

int get_mac_address(std::string& output) {
  Fd sock(socket(AF_INET, SOCK_DGRAM, 0));
  if (!sock) return -1;
  char buf[2048];
  struct ifconf ifc;
  memset(&ifc, 0, sizeof ifc);
  ifc.ifc_len = sizeof buf;
  ifc.ifc_buf = buf;
  if (ioctl(sock.get(), SIOCGIFCONF, &ifc) != 0) return -1;
  const struct ifreq* it = ifc.ifc_req;
  const size_t count = static_cast<size_t>(ifc.ifc_len) / sizeof(struct ifreq);
  for (size_t i = 0; i < count; ++i) {
    struct ifreq req;
    memset(&req, 0, sizeof req);
    memcpy(req.ifr_name, it[i].ifr_name, sizeof req.ifr_name);
    req.ifr_name[sizeof req.ifr_name - 1] = '\0';
    if (ioctl(sock.get(), SIOCGIFFLAGS, &req) != 0) continue;
    if (req.ifr_flags & IFF_LOOPBACK) continue;
    if (ioctl(sock.get(), SIOCGIFHWADDR, &req) != 0) continue;
    const unsigned char* hw = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
    char text[64];
    snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", hw[0], hw[1], hw[2], hw[3], hw[4],
             hw[5]);
    output = strlwr_s(text);
    return 1;
  }
  return -1;
}

std::string get_cpu_id() { return cpu_id_from_cpuinfo(read_proc("/proc/cpuinfo")); }

std::string get_disk_id() {
  // Only the first line counts, as much of it as a 1,024-byte line buffer
  // takes; the rest of the output is read and dropped.
  constexpr size_t kLineSize = 1024;
  std::string head;
  const ChildOutcome outcome =
      run_shell_command("fdisk -l |grep 'Disk identifier'|awk '{print $3}'", kChildTimeLimitMs,
                        [&](const char* data, size_t size) {
                          if (head.size() < kLineSize - 1) {
                            head.append(data, std::min(size, kLineSize - 1 - head.size()));
                          }
                        });
  if (outcome != ChildOutcome::kFinished) return std::string();
  const size_t nl = head.find('\n');
  if (nl != std::string::npos) head.resize(nl);
  return std::string(head.c_str());  // up to a NUL, as a C string reads
}

std::string _get_os() {
  struct utsname u;
  if (uname(&u) != 0) return "Linux";
  char version[64];
  memset(version, 0, sizeof version);
  std::string runtime = "unknown";
  if (confstr(_CS_GNU_LIBC_VERSION, version, sizeof version) > 0) {
    runtime = runtime_from_libc_version(version);
  }
  std::string os = std::string(u.sysname) + "-" + u.release + "-" + u.machine;
  if (runtime != "unknown") os += "-with-" + runtime;
  return os;
}

std::string get_server_name() {
  // The kernel holds at most 64 bytes; the whole buffer is offered, so a
  // name of that length arrives with its terminator.
  char name[65];
  memset(name, 0, sizeof name);
  if (gethostname(name, sizeof name) != 0) return std::string();
  return std::string(name, strnlen(name, sizeof name));
}

std::string get_memory_total() { return memory_total_from_meminfo(read_proc("/proc/meminfo")); }

bool get_boot_time(char* buffer, size_t size) {
  struct sysinfo info;
  if (sysinfo(&info) != 0) return true;
  format_boot_time(get_time() - static_cast<int64_t>(info.uptime), buffer, size);
  return true;
}

bool get_mem_size(char* buffer, size_t size) {
  struct sysinfo info;
  if (sysinfo(&info) != 0) return true;
  unsigned long long bytes =
      static_cast<unsigned long long>(info.totalram) * (info.mem_unit ? info.mem_unit : 1);
  snprintf(buffer, size, "%ld", static_cast<long>(bytes / 1024));
  return true;
}

bool get_disk_size(char* buffer, size_t size) {
  struct statfs st;
  if (statfs("/", &st) != 0) return true;
  unsigned long long bytes =
      static_cast<unsigned long long>(st.f_blocks) * static_cast<unsigned long long>(st.f_bsize);
  snprintf(buffer, size, "%lld", static_cast<long long>(bytes / 1024));
  return true;
}

bool get_cpu_num(char* buffer, size_t size) {
  snprintf(buffer, size, "%d", static_cast<int>(sysconf(_SC_NPROCESSORS_CONF)));
  return true;
}

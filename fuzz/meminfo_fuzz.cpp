// The total memory parser on any meminfo text: "0" or a decimal byte count
// that is a whole number of KiB.
#include <cerrno>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "hostinfo/probes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = as_text(data, size);
  const std::string total = memory_total_from_meminfo(text);
  FUZZ_CHECK(!total.empty());
  if (text.find("MemTotal") == std::string::npos) FUZZ_CHECK(total == "0");

  errno = 0;
  char* end = nullptr;
  const long long bytes = strtoll(total.c_str(), &end, 10);
  FUZZ_CHECK(errno == 0 && end != total.c_str() && *end == '\0');
  FUZZ_CHECK(bytes % 1024 == 0);
  FUZZ_CHECK(std::to_string(bytes) == total);
  return 0;
}

// The processor identifier parser on any cpuinfo text.
#include "fuzz/fuzz_support.h"
#include "hostinfo/probes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = as_text(data, size);
  const std::string id = cpu_id_from_cpuinfo(text);
  FUZZ_CHECK(id.find('\n') == std::string::npos);
  FUZZ_CHECK(id.size() <= text.size());
  if (text.find("microcode") == std::string::npos) FUZZ_CHECK(id.empty());
  // Every byte of the identifier comes from the text's first microcode line.
  if (!id.empty()) {
    const size_t at = text.find("microcode");
    const size_t line_start =
        text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    const size_t line_end = text.find('\n', at);
    const std::string line = text.substr(
        line_start, line_end == std::string::npos ? std::string::npos : line_end - line_start);
    FUZZ_CHECK(id.size() <= line.size());
    for (char c : id) FUZZ_CHECK(line.find(c) != std::string::npos);
  }
  return 0;
}

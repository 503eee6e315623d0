// get_config_json on any file text: it always answers true, with the file's
// JSON value when the text parses and an empty object otherwise.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_panel_data_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = get_path() + "/data/config_fuzz.json";
  const std::string text = as_text(data, size);
  write_panel_file(path, text);

  rapidjson::Document doc;
  FUZZ_CHECK(get_config_json(path, doc));
  // Within the working size and without NUL bytes the file is read as it
  // stands; the parse of that text decides the value.
  if (text.size() < kConfigBufferSize && text.find('\0') == std::string::npos) {
    rapidjson::Document expected;
    if (!to_json(text, expected)) expected.SetObject();
    FUZZ_CHECK(same_value(doc, expected));
  } else {
    FUZZ_CHECK(!toString(doc).empty());
  }
  return 0;
}

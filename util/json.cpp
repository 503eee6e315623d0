#include "util/util.h"

#include <exception>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

bool parse_json(rapidjson::Document& doc, const char* text) {
  doc.Parse<rapidjson::kParseIterativeFlag>(text);
  return !doc.HasParseError();
}

bool get_config_json(const std::string& path, rapidjson::Document& doc) {
  try {
    // The configuration files are the panel's own under data/: never read
    // through a link, and a file of kConfigBufferSize bytes or more is not
    // read at all.  Each of those, like any other unusable file, ends as "{}".
    std::string text;
    if (read_panel_text(path, text)) {
      if (!parse_json(doc, text.c_str())) parse_json(doc, "{}");
    } else {
      parse_json(doc, "{}");
    }
  } catch (const std::exception&) {
    parse_json(doc, "{}");
  }
  return true;
}

bool to_json(const std::string& text, rapidjson::Document& doc) {
  return parse_json(doc, text.c_str());
}

std::string toString(const rapidjson::Value& value) {
  try {
    rapidjson::GenericStringBuffer<rapidjson::UTF8<>> buffer(nullptr, 256);
    rapidjson::Writer<rapidjson::GenericStringBuffer<rapidjson::UTF8<>>> writer(buffer);
    // The writer refuses what JSON cannot hold (a number that overflowed to
    // infinity in a lenient parse) and stops part-way: no text then.
    if (!value.Accept(writer)) return "{}";
    return std::string(buffer.GetString(), buffer.GetSize());
  } catch (const std::exception&) {
    return "{}";
  }
}

std::string returnMsg(bool status, const std::string& msg, const std::string& data) {
  rapidjson::Document doc;
  doc.SetObject();
  auto& alloc = doc.GetAllocator();
  doc.AddMember("status", status, alloc);
  doc.AddMember("msg", rapidjson::Value(msg.c_str(), alloc), alloc);
  if (!data.empty()) doc.AddMember("data", rapidjson::Value(data.c_str(), alloc), alloc);
  return to_utf8(toString(doc));
}

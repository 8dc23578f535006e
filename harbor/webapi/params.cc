// Request parameters from query strings and bodies.
#include <exception>
#include <memory>
#include <regex>

#include "host.h"

namespace VIREO {
namespace webapi {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The reader's settings, made once per process: building them costs more than reading a
// parameter. Each parse still has a reader of its own.
const Json::CharReaderBuilder& StrictReaderSettings() {
  static const Json::CharReaderBuilder settings = [] {
    Json::CharReaderBuilder b;
    b["failIfExtra"] = true;
    b["rejectDupKeys"] = true;
    b["allowSpecialFloats"] = false;
    b["stackLimit"] = 256;
    return b;
  }();
  return settings;
}

bool ParseJson(const std::string& text, Json::Value& value, std::string& why) {
  std::unique_ptr<Json::CharReader> reader(StrictReaderSettings().newCharReader());
  Json::Value v;
  std::string errs;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errs)) {
      why = "bad JSON: " + errs;
      return false;
    }
  } catch (const std::exception& e) {
    // The reader throws rather than fails for some inputs, nesting past stackLimit among them.
    why = std::string("bad JSON: ") + e.what();
    return false;
  }
  value = v;
  return true;
}

}  // namespace

bool PercentDecode(const std::string& text, std::string& out) {
  std::string r;
  r.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      r += ' ';
    } else if (c == '%') {
      if (i + 2 >= text.size()) return false;
      int hi = HexDigit(text[i + 1]);
      int lo = HexDigit(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      char d = static_cast<char>(hi * 16 + lo);
      if (d == '\0') return false;
      r += d;
      i += 2;
    } else {
      r += c;
    }
  }
  out.swap(r);
  return true;
}

bool ParamValue(const std::string& text, Json::Value& value, std::string& why) {
  static const std::regex kNumber("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?");
  bool looksJson = text == "true" || text == "false" || text == "null" ||
                   (!text.empty() && (text[0] == '{' || text[0] == '[' || text[0] == '"'));
  if (!looksJson && !text.empty() && text.size() < 64 && std::regex_match(text, kNumber)) {
    looksJson = true;
  }
  if (!looksJson) {
    value = Json::Value(text);
    return true;
  }
  return ParseJson(text, value, why);
}

bool ParseUrlEncoded(const std::string& text, Json::Value& params, std::string& why) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    std::string piece = text.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    size_t eq = piece.find('=');
    std::string rawName = piece.substr(0, eq);
    std::string rawValue = eq == std::string::npos ? "" : piece.substr(eq + 1);
    std::string name, textValue;
    if (!PercentDecode(rawName, name) || !PercentDecode(rawValue, textValue)) {
      why = "bad percent-encoding in parameter";
      return false;
    }
    if (name.empty()) {
      why = "parameter without a name";
      return false;
    }
    if (params.isMember(name)) {
      why = "parameter given twice: " + name;
      return false;
    }
    Json::Value v;
    std::string err;
    if (!ParamValue(textValue, v, err)) {
      why = "parameter " + name + ": " + err;
      return false;
    }
    params[name] = v;
  }
  return true;
}

bool ParseJsonBody(const std::string& text, Json::Value& params, std::string& why) {
  Json::Value body;
  if (!ParseJson(text, body, why)) return false;
  if (!body.isObject()) {
    why = "body is not a JSON object";
    return false;
  }
  for (const std::string& name : body.getMemberNames()) {
    if (name.empty() || name.find('\0') != std::string::npos) {
      why = "bad parameter name";
      return false;
    }
    if (params.isMember(name)) {
      why = "parameter given twice: " + name;
      return false;
    }
    params[name] = body[name];
  }
  return true;
}

}  // namespace webapi
}  // namespace VIREO

#include "utils_json.h"

#include <fstream>
#include <memory>
#include <sstream>

namespace VIREO {
namespace PAPERLENS {
namespace json {

namespace {

bool Parse(std::istream& in, Json::Value& value) {
  // The settings, made once per process (each parse still has a reader of its own).
  static const Json::CharReaderBuilder settings = [] {
    Json::CharReaderBuilder b;
    b["collectComments"] = false;
    return b;
  }();
  Json::Value parsed;
  std::string errs;
  if (!Json::parseFromStream(settings, in, &parsed, &errs)) return false;
  value.swap(parsed);
  return true;
}

}  // namespace

bool FromString(const std::string& text, Json::Value& value) {
  std::istringstream in(text);
  return Parse(in, value);
}

bool FromFile(const std::string& path, Json::Value& value) {
  std::ifstream in(path);
  if (!in) return false;
  return Parse(in, value);
}

std::string ToString(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

bool ToFile(const Json::Value& value, const std::string& path) {
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  if (!out) return false;
  out << ToString(value);
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace json
}  // namespace PAPERLENS
}  // namespace VIREO

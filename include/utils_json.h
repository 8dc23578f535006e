// JSON conveniences over jsoncpp's reader and writers.
#ifndef PAPERLENS_INCLUDE_UTILS_JSON_H_
#define PAPERLENS_INCLUDE_UTILS_JSON_H_

#include <json/json.h>

#include <string>

namespace VIREO {
namespace PAPERLENS {
namespace json {

// Parses a text (comments not kept). False, `value` unchanged, when it is not valid JSON.
bool FromString(const std::string& text, Json::Value& value);
// Parses a file. False, `value` unchanged, when it cannot be read or is not valid JSON.
bool FromFile(const std::string& path, Json::Value& value);
// Compact single-line text, as used for queue records and the shared state files.
std::string ToString(const Json::Value& value);
// Writes the compact text to the file (truncating it). False when it cannot be written.
bool ToFile(const Json::Value& value, const std::string& path);

}  // namespace json
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_UTILS_JSON_H_

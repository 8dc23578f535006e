// The web-API server library's keyed JSON data store.
//
// One JSON object whose members are sections; each section is a JSON object of key/value pairs.
// Not safe for concurrent use from several threads.
#ifndef HARBOR_VIREO_APIBASE_H_
#define HARBOR_VIREO_APIBASE_H_

#include <json/json.h>

#include <string>

namespace VIREO {

class APIBase {
 public:
  APIBase();
  virtual ~APIBase();

  // Stores an empty object under `section` (replacing what was there). False for an empty name.
  bool InitField(const std::string& section);

  // Key-level operations on one section.
  virtual bool HasData(const std::string& section, const std::string& key) const;
  // Stores `value` under `key` of `section`, creating the section when missing. `overwrite`
  // false keeps an existing value (and returns false). False for an empty section or key.
  virtual bool SetData(const std::string& section, const std::string& key, const Json::Value& value,
                       bool overwrite);
  virtual const Json::Value GetData(const std::string& section, const std::string& key,
                                    const Json::Value& defaultValue) const;
  virtual bool ClearData(const std::string& section, const std::string& key);

  // Section-level operations.
  virtual bool HasData(const std::string& section) const;
  // Replaces a whole section; `value` must be an object (or null, stored as an empty object).
  virtual bool SetData(const std::string& section, const Json::Value& value, bool overwrite);
  // Replaces the whole store; `value` must be an object.
  virtual bool SetData(const Json::Value& value, bool overwrite);
  virtual const Json::Value GetData(const std::string& section,
                                    const Json::Value& defaultValue) const;
  virtual bool ClearData(const std::string& section);

 protected:
  Json::Value _data;  // object of sections
};

}  // namespace VIREO

#endif  // HARBOR_VIREO_APIBASE_H_

// The keyed JSON data store.
#include "vireo/apibase.h"

namespace VIREO {

APIBase::APIBase() : _data(Json::objectValue) {}

APIBase::~APIBase() = default;

bool APIBase::InitField(const std::string& section) {
  if (section.empty()) return false;
  _data[section] = Json::Value(Json::objectValue);
  return true;
}

bool APIBase::HasData(const std::string& section, const std::string& key) const {
  const Json::Value* s = _data.find(section.data(), section.data() + section.size());
  return s != nullptr && s->isObject() && s->isMember(key);
}

bool APIBase::SetData(const std::string& section, const std::string& key, const Json::Value& value,
                      bool overwrite) {
  if (section.empty() || key.empty()) return false;
  Json::Value& s = _data[section];
  if (!s.isObject()) s = Json::Value(Json::objectValue);
  if (!overwrite && s.isMember(key)) return false;
  s[key] = value;
  return true;
}

const Json::Value APIBase::GetData(const std::string& section, const std::string& key,
                                   const Json::Value& defaultValue) const {
  const Json::Value* s = _data.find(section.data(), section.data() + section.size());
  if (s == nullptr || !s->isObject()) return defaultValue;
  const Json::Value* v = s->find(key.data(), key.data() + key.size());
  return v != nullptr ? *v : defaultValue;
}

bool APIBase::ClearData(const std::string& section, const std::string& key) {
  Json::Value* s = const_cast<Json::Value*>(_data.find(section.data(), section.data() + section.size()));
  if (s == nullptr || !s->isObject() || !s->isMember(key)) return false;
  s->removeMember(key);
  return true;
}

bool APIBase::HasData(const std::string& section) const { return _data.isMember(section); }

bool APIBase::SetData(const std::string& section, const Json::Value& value, bool overwrite) {
  if (section.empty() || !(value.isObject() || value.isNull())) return false;
  if (!overwrite && _data.isMember(section)) return false;
  _data[section] = value.isNull() ? Json::Value(Json::objectValue) : value;
  return true;
}

bool APIBase::SetData(const Json::Value& value, bool overwrite) {
  if (!value.isObject()) return false;
  if (!overwrite && !_data.empty()) return false;
  _data = value;
  return true;
}

const Json::Value APIBase::GetData(const std::string& section,
                                   const Json::Value& defaultValue) const {
  const Json::Value* s = _data.find(section.data(), section.data() + section.size());
  return s != nullptr ? *s : defaultValue;
}

bool APIBase::ClearData(const std::string& section) {
  if (!_data.isMember(section)) return false;
  _data.removeMember(section);
  return true;
}

}  // namespace VIREO

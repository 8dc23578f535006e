// The sharing-link records: dates, validity and the password hash.
#include <crypt.h>
#include <string.h>

#include "vireo/sdk.h"
#include "vireo/sharing.h"

namespace VIREO {
namespace sharing {
namespace record {

time_t Entry::ParseTime(const std::string& text) {
  struct tm tm;
  memset(&tm, 0, sizeof(tm));
  const char* end = strptime(text.c_str(), SZ_SHARING_TIME_FORMAT, &tm);
  if (end == nullptr || *end != '\0') return -1;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

bool Entry::set_start_at(const std::string& text) {
  if (!text.empty() && ParseTime(text) == -1) return false;
  _startAt = text;
  return true;
}

bool Entry::set_expire_at(const std::string& text) {
  if (!text.empty() && ParseTime(text) == -1) return false;
  _expireAt = text;
  return true;
}

bool Entry::IsStarted(time_t now) const {
  if (_startAt.empty()) return true;
  time_t start = ParseTime(_startAt);
  return start != -1 && start <= now;
}

bool Entry::IsExpired(time_t now) const {
  if (_expireAt.empty()) return false;
  time_t expire = ParseTime(_expireAt);
  return expire == -1 || expire <= now;
}

bool Entry::IsValid(time_t now) const { return _enabled && IsStarted(now) && !IsExpired(now); }

bool Entry::set_protect_password(const std::string& text, bool encrypt, int algorithm) {
  if (!encrypt || text.empty()) {
    _protectPassword = text;
    return true;
  }
  // Algorithm 0 is the only one: yescrypt, with the library's default cost and a fresh salt.
  if (algorithm != 0) return false;
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof(setting)) == nullptr) return false;
  struct crypt_data data;
  memset(&data, 0, sizeof(data));
  const char* hash = crypt_rn(text.c_str(), setting, &data, sizeof(data));
  if (hash == nullptr || hash[0] != '$') return false;
  _protectPassword = hash;
  return true;
}

bool Entry::IsPasswordValid(const std::string& text) const {
  if (_protectPassword.empty()) return text.empty();
  struct crypt_data data;
  memset(&data, 0, sizeof(data));
  const char* hash = crypt_rn(text.c_str(), _protectPassword.c_str(), &data, sizeof(data));
  if (hash == nullptr || hash[0] != '$') return false;
  // Constant time for equal lengths.
  size_t n = strlen(hash);
  if (n != _protectPassword.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(hash[i] ^ _protectPassword[i]);
  return diff == 0;
}

}  // namespace record

bool UIDToUser(unsigned int uid, std::string& user) {
  PVIREOUSER record = nullptr;
  if (VIREOUserGetByUID(uid, &record) != 0 || record == nullptr) return false;
  user = record->szName;
  VIREOUserFree(record);
  return true;
}

}  // namespace sharing
}  // namespace VIREO

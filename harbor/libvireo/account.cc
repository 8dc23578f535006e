// Users and groups over the system's account database (NSS: /etc/passwd and /etc/group).
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <cctype>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace harbor {

char* DupString(const char* s) { return strdup(s != nullptr ? s : ""); }

}  // namespace harbor

namespace {

using harbor::DupString;

std::mutex gEnumMutex;  // getpwent/getgrent walk shared state

struct Passwd {
  std::string name, home, shell;
  uid_t uid = 0;
  gid_t gid = 0;
};

bool FromPasswd(const struct passwd* pw, Passwd& out) {
  if (pw == nullptr) return false;
  out.name = pw->pw_name;
  out.home = pw->pw_dir != nullptr ? pw->pw_dir : "";
  out.shell = pw->pw_shell != nullptr ? pw->pw_shell : "";
  out.uid = pw->pw_uid;
  out.gid = pw->pw_gid;
  return true;
}

// Looks a user up by exact name or by uid. 0 found, -1 not found, -2 error.
int LookupUser(const char* name, const uid_t* uid, Passwd& out) {
  std::vector<char> buf(16384);
  for (;;) {
    struct passwd pw;
    struct passwd* result = nullptr;
    int rc = name != nullptr ? getpwnam_r(name, &pw, buf.data(), buf.size(), &result)
                             : getpwuid_r(*uid, &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0) return -2;
    return FromPasswd(result, out) ? 0 : -1;
  }
}

// Local account names are matched without regard to case, as users type them.
int LookupUserAnyCase(const char* name, Passwd& out) {
  int rc = LookupUser(name, nullptr, out);
  if (rc != -1) return rc;
  std::lock_guard<std::mutex> lock(gEnumMutex);
  setpwent();
  struct passwd* pw;
  int found = -1;
  while ((pw = getpwent()) != nullptr) {
    if (strcasecmp(pw->pw_name, name) == 0) {
      FromPasswd(pw, out);
      found = 0;
      break;
    }
  }
  endpwent();
  return found;
}

struct Group {
  std::string name;
  gid_t gid = 0;
  std::vector<std::string> members;
};

int LookupGroup(const char* name, const gid_t* gid, Group& out) {
  std::vector<char> buf(16384);
  for (;;) {
    struct group gr;
    struct group* result = nullptr;
    int rc = name != nullptr ? getgrnam_r(name, &gr, buf.data(), buf.size(), &result)
                             : getgrgid_r(*gid, &gr, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 22)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0) return -2;
    if (result == nullptr) return -1;
    out.name = result->gr_name;
    out.gid = result->gr_gid;
    out.members.clear();
    for (char** m = result->gr_mem; m != nullptr && *m != nullptr; ++m) out.members.push_back(*m);
    return 0;
  }
}

PVIREOUSER NewUser(const Passwd& pw) {
  auto* user = static_cast<PVIREOUSER>(calloc(1, sizeof(VIREOUSER)));
  if (user == nullptr) return nullptr;
  user->szName = DupString(pw.name.c_str());
  user->uid = pw.uid;
  user->gid = pw.gid;
  user->szHome = DupString(pw.home.c_str());
  user->szShell = DupString(pw.shell.c_str());
  return user;
}

PVIREOGROUP NewGroup(const Group& g) {
  auto* group = static_cast<PVIREOGROUP>(calloc(1, sizeof(VIREOGROUP)));
  if (group == nullptr) return nullptr;
  group->szName = DupString(g.name.c_str());
  group->gid = g.gid;
  group->nMember = static_cast<int>(g.members.size());
  group->rgszMember = static_cast<char**>(calloc(g.members.size() + 1, sizeof(char*)));
  for (size_t i = 0; i < g.members.size() && group->rgszMember != nullptr; ++i) {
    group->rgszMember[i] = DupString(g.members[i].c_str());
  }
  return group;
}

bool CopyOut(const std::string& s, char* buf, int size) {
  if (buf == nullptr || size <= 0 || s.size() >= static_cast<size_t>(size)) return false;
  memcpy(buf, s.c_str(), s.size() + 1);
  return true;
}

bool HashAdd(PVLIBSZHASH hash, const std::string& key, const std::string& value) {
  if (hash->nItem == hash->nAlloc) {
    int grown = hash->nAlloc == 0 ? 8 : hash->nAlloc * 2;
    auto* keys = static_cast<char**>(realloc(hash->rgszKey, grown * sizeof(char*)));
    if (keys == nullptr) return false;
    hash->rgszKey = keys;
    auto* values = static_cast<char**>(realloc(hash->rgszValue, grown * sizeof(char*)));
    if (values == nullptr) return false;
    hash->rgszValue = values;
    hash->nAlloc = grown;
  }
  hash->rgszKey[hash->nItem] = DupString(key.c_str());
  hash->rgszValue[hash->nItem] = DupString(value.c_str());
  ++hash->nItem;
  return true;
}

}  // namespace

extern "C" {

int VIREOUserGet(const char* name, PVIREOUSER* user) {
  if (user != nullptr) *user = nullptr;
  if (name == nullptr || *name == '\0' || user == nullptr) return -1;
  Passwd pw;
  int rc = LookupUserAnyCase(name, pw);
  if (rc != 0) return rc;
  *user = NewUser(pw);
  return *user != nullptr ? 0 : -2;
}

int VIREOUserGetByUID(unsigned int uid, PVIREOUSER* user) {
  if (user == nullptr) return -1;
  *user = nullptr;
  Passwd pw;
  uid_t u = uid;
  int rc = LookupUser(nullptr, &u, pw);
  if (rc != 0) return rc;
  *user = NewUser(pw);
  return *user != nullptr ? 0 : -2;
}

void VIREOUserFree(PVIREOUSER user) {
  if (user == nullptr) return;
  free(user->szName);
  free(user->szHome);
  free(user->szShell);
  free(user);
}

int VIREOUserLoginNameConvert(const char* name, char* buf, int size) {
  if (name == nullptr || buf == nullptr || size <= 0) return -1;
  const char* at = strrchr(name, '@');
  if (at == nullptr || at == name || at[1] == '\0' || strchr(name, '\\') != nullptr) return 0;
  std::string converted = std::string(at + 1) + "\\" + std::string(name, at - name);
  return CopyOut(converted, buf, size) ? 1 : -1;
}

int VIREOWinsUserNameFqdn2Netbios(const char* name, char* buf, int size, int /*flags*/) {
  if (name == nullptr || buf == nullptr || size <= 0) return -1;
  const char* slash = strchr(name, '\\');
  if (slash == nullptr) return 0;
  std::string domain(name, slash - name);
  size_t dot = domain.find('.');
  if (dot == std::string::npos) return 0;
  std::string netbios = domain.substr(0, dot);
  for (char& c : netbios) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return CopyOut(netbios + slash, buf, size) ? 1 : -1;
}

int VLIBUserRealNameGet(const char* login, char* buf, int size) {
  if (login == nullptr || *login == '\0' || buf == nullptr || size <= 0) return -1;
  // Only accounts of this appliance are known; no directory service is joined, so domain
  // accounts ("DOMAIN\user") never resolve.
  if (strchr(login, '\\') != nullptr) return -1;
  Passwd pw;
  if (LookupUser(login, nullptr, pw) != 0) return -1;
  if (!CopyOut(pw.name, buf, size)) return -1;
  return static_cast<int>(pw.name.size());
}

int VIREOGroupGetGID(const char* name, unsigned int* gid) {
  if (name == nullptr || *name == '\0' || gid == nullptr) return -1;
  Group g;
  int rc = LookupGroup(name, nullptr, g);
  if (rc != 0) return rc;
  *gid = g.gid;
  return 0;
}

int VIREOGroupGetByGID(unsigned int gid, PVIREOGROUP* group) {
  if (group == nullptr) return -1;
  *group = nullptr;
  Group g;
  gid_t id = gid;
  int rc = LookupGroup(nullptr, &id, g);
  if (rc != 0) return rc;
  *group = NewGroup(g);
  return *group != nullptr ? 0 : -2;
}

int VIREOGroupGet(const char* name, PVIREOGROUP* group) {
  if (group == nullptr) return -1;
  *group = nullptr;
  if (name == nullptr || *name == '\0') return -1;
  Group g;
  int rc = LookupGroup(name, nullptr, g);
  if (rc != 0) return rc;
  *group = NewGroup(g);
  return *group != nullptr ? 0 : -2;
}

void VIREOGroupFree(PVIREOGROUP group) {
  if (group == nullptr) return;
  free(group->szName);
  if (group->rgszMember != nullptr) {
    for (int i = 0; i < group->nMember; ++i) free(group->rgszMember[i]);
    free(group->rgszMember);
  }
  free(group);
}

PVLIBSZHASH VLIBGroupInfoHashGet(const char* user, int withPrimary, int /*flags*/) {
  if (user == nullptr || *user == '\0') return nullptr;
  Passwd pw;
  if (LookupUser(user, nullptr, pw) != 0) return nullptr;
  int n = 64;
  std::vector<gid_t> gids(n);
  while (getgrouplist(pw.name.c_str(), pw.gid, gids.data(), &n) < 0) {
    if (n > (1 << 16)) return nullptr;
    gids.resize(static_cast<size_t>(n) + 64);
    n = static_cast<int>(gids.size());
  }
  gids.resize(n);
  auto* hash = static_cast<PVLIBSZHASH>(calloc(1, sizeof(VLIBSZHASH)));
  if (hash == nullptr) return nullptr;
  for (gid_t gid : gids) {
    if (!withPrimary && gid == pw.gid) continue;
    Group g;
    if (LookupGroup(nullptr, &gid, g) != 0) continue;
    if (!HashAdd(hash, g.name, std::to_string(g.gid))) {
      VLIBCSzHashFree(hash);
      return nullptr;
    }
  }
  return hash;
}

void VLIBCSzHashFree(PVLIBSZHASH hash) {
  if (hash == nullptr) return;
  for (int i = 0; i < hash->nItem; ++i) {
    free(hash->rgszKey[i]);
    free(hash->rgszValue[i]);
  }
  free(hash->rgszKey);
  free(hash->rgszValue);
  free(hash);
}

}  // extern "C"

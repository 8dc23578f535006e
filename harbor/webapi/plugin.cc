// Plug-in lookup, loading and dispatch.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>

#include "host.h"
#include "vireo/file_stamp.h"

namespace VIREO {
namespace webapi {

namespace {

constexpr size_t kMaxRows = 4096;

uint64_t Word(const unsigned char* row, size_t offset) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | row[offset + i];  // little-endian
  return v;
}

bool AllZero(const unsigned char* row, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (row[i] != 0) return false;
  }
  return true;
}

const char* Text(uint64_t word) { return reinterpret_cast<const char*>(static_cast<uintptr_t>(word)); }

std::vector<MethodRow> ReadTable(const void* table, size_t rowSize) {
  std::vector<MethodRow> rows;
  const unsigned char* row = static_cast<const unsigned char*>(table);
  for (size_t i = 0; row != nullptr && i < kMaxRows; ++i, row += rowSize) {
    if (AllZero(row, rowSize)) break;
    MethodRow r;
    const char* api = Text(Word(row, 0));
    const char* method = Text(Word(row, 16));
    r.api = api != nullptr ? api : "";
    r.version = static_cast<long long>(Word(row, 8));
    r.method = method != nullptr ? method : "";
    r.function = reinterpret_cast<void*>(static_cast<uintptr_t>(Word(row, 24)));
    if (rowSize == kCheckRowSize && (Word(row, 32) != 0 || Word(row, 40) != 0)) {
      r.function = nullptr;  // a row we do not understand is not used
    }
    rows.push_back(r);
  }
  return rows;
}

// A descriptor file as last parsed.
struct ParsedDescriptor {
  FileStamp stamp;
  bool good;
  Json::Value desc;
  std::string why;
};

bool ReadDescriptor(const std::string& path, Json::Value& desc, std::string& why) {
  static auto* parsed = new std::map<std::string, ParsedDescriptor>();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  auto it = parsed->find(path);
  if (it != parsed->end() && it->second.stamp.Reusable(st)) {
    close(fd);
    desc = it->second.desc;
    why = it->second.why;
    return it->second.good;
  }
  std::string text;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  if (n < 0) return false;
  desc = Json::Value(Json::objectValue);
  why.clear();
  bool good = ParseJsonBody(text, desc, why);
  (*parsed)[path] = ParsedDescriptor{FileStamp(st), good, desc, why};
  return good;
}

std::string Dir(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

std::vector<MethodRow> ReadMethodTable(const void* table) { return ReadTable(table, kMethodRowSize); }

std::vector<MethodRow> ReadCheckTable(const void* table) { return ReadTable(table, kCheckRowSize); }

// ---- Plugin ----------------------------------------------------------------------------------

Plugin::~Plugin() {
  if (_handle != nullptr) dlclose(_handle);
}

std::unique_ptr<Plugin> Plugin::Load(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* e = dlerror();
    HARBOR_LOG("cannot load plug-in %s: %s", path.c_str(), e != nullptr ? e : "?");
    return nullptr;
  }
  std::unique_ptr<Plugin> plugin(new Plugin(handle));
  using TableFunc = const void* (*)();
  auto methods = reinterpret_cast<TableFunc>(dlsym(handle, "GetAPITable"));
  auto checks = reinterpret_cast<TableFunc>(dlsym(handle, "GetAPICheckTable"));
  if (methods == nullptr || checks == nullptr) {
    HARBOR_LOG("plug-in %s lacks GetAPITable or GetAPICheckTable", path.c_str());
    return nullptr;
  }
  plugin->_methods = static_cast<const unsigned char*>(methods());
  plugin->_checks = static_cast<const unsigned char*>(checks());
  if (plugin->_methods == nullptr || plugin->_checks == nullptr) {
    HARBOR_LOG("plug-in %s returned a null table", path.c_str());
    return nullptr;
  }
  return plugin;
}

int Plugin::Find(const std::string& api, int version, const std::string& method,
                 Method& out) const {
  bool apiSeen = false, methodSeen = false;
  for (const MethodRow& r : ReadMethodTable(_methods)) {
    if (r.api != api) continue;
    apiSeen = true;
    if (r.method != method) continue;
    methodSeen = true;
    if (r.version != version || r.function == nullptr) continue;
    out.entry = reinterpret_cast<EntryFunc>(r.function);
    out.check = nullptr;
    for (const MethodRow& c : ReadCheckTable(_checks)) {
      if (c.api == api && c.method == method && c.version == version && c.function != nullptr) {
        out.check = reinterpret_cast<CheckFunc>(c.function);
        break;
      }
    }
    return 0;
  }
  if (!apiSeen) return WEBAPI_ERR_NO_SUCH_API;
  return methodSeen ? WEBAPI_ERR_BAD_VERSION : WEBAPI_ERR_NO_SUCH_METHOD;
}

// ---- Registry --------------------------------------------------------------------------------

std::vector<std::string> DefaultDescriptorDirs() {
  std::vector<std::string> dirs{"/usr/vireo/webapi"};
  glob_t g;
  if (glob("/var/packages/*/target/webapi", GLOB_ONLYDIR, nullptr, &g) == 0) {
    for (size_t i = 0; i < g.gl_pathc; ++i) dirs.push_back(g.gl_pathv[i]);
  }
  globfree(&g);
  dirs.push_back("/usr/vireo/etc/webapi.d");
  return dirs;
}

namespace {

bool gKeepPlugins = false;

std::map<std::string, std::unique_ptr<Plugin>>& KeptPlugins() {
  static auto* kept = new std::map<std::string, std::unique_ptr<Plugin>>();
  return *kept;
}

}  // namespace

void KeepPluginsLoaded() { gKeepPlugins = true; }

Registry::Registry(std::vector<std::string> dirs) : _dirs(std::move(dirs)) {}

std::string Registry::FindLibrary(const std::string& api, bool* adminOnly) const {
  if (adminOnly != nullptr) *adminOnly = false;
  for (const std::string& dir : _dirs) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) continue;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".lib") == 0 && n[0] != '.') names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
      std::string path = dir + "/" + n;
      Json::Value desc(Json::objectValue);
      std::string why;
      if (!ReadDescriptor(path, desc, why)) {
        if (!why.empty()) HARBOR_LOG("bad descriptor %s: %s", path.c_str(), why.c_str());
        continue;
      }
      const Json::Value* entry = desc.find(api.data(), api.data() + api.size());
      if (entry == nullptr) continue;
      if (!entry->isObject() || !(*entry)["lib"].isString() || (*entry)["lib"].asString().empty()) {
        HARBOR_LOG("bad descriptor %s: no \"lib\" for %s", path.c_str(), api.c_str());
        continue;
      }
      std::string lib = (*entry)["lib"].asString();
      // Anything but a plain false keeps non-administrators out: a garbled flag fails closed.
      const Json::Value& admin = (*entry)["admin_only"];
      if (adminOnly != nullptr) *adminOnly = !admin.isNull() && !(admin.isBool() && !admin.asBool());
      return lib[0] == '/' ? lib : Dir(path) + "/" + lib;
    }
  }
  return "";
}

void Registry::Dispatch(APIRequest& request, APIResponse& response) {
  const std::string& api = request.GetAPIName();
  bool adminOnly = false;
  std::string lib = FindLibrary(api, &adminOnly);
  if (lib.empty()) {
    HARBOR_LOG("no plug-in serves %s", api.c_str());
    response.SetError(WEBAPI_ERR_NO_SUCH_API, api);
    return;
  }
  if (adminOnly && (!request.IsAdmin() || request.IsSharing())) {
    HARBOR_LOG("%s is for administrators; %s refused", api.c_str(),
               request.GetLoginUserName().c_str());
    response.SetError(WEBAPI_ERR_PERMISSION, WebAPIErrorText(WEBAPI_ERR_PERMISSION));
    return;
  }
  auto& loaded = gKeepPlugins ? KeptPlugins() : _loaded;
  auto it = loaded.find(lib);
  if (it == loaded.end()) {
    std::unique_ptr<Plugin> p = Plugin::Load(lib);
    if (!p) {
      response.SetError(WEBAPI_ERR_PLUGIN_BROKEN, api);
      return;
    }
    it = loaded.emplace(lib, std::move(p)).first;
  }
  Plugin::Method m;
  int rc = it->second->Find(api, request.GetAPIVersion(), request.GetAPIMethod(), m);
  if (rc != 0) {
    HARBOR_LOG("%s version %d method %s: %s", api.c_str(), request.GetAPIVersion(),
               request.GetAPIMethod().c_str(), WebAPIErrorText(rc));
    response.SetError(rc, WebAPIErrorText(rc));
    return;
  }
  if (m.check == nullptr) {
    // A method nobody checks would get parameters nobody vetted: refuse it.
    HARBOR_LOG("%s method %s has no check row", api.c_str(), request.GetAPIMethod().c_str());
    response.SetError(WEBAPI_ERR_PLUGIN_BROKEN, "no check function");
    return;
  }
  try {
    if (!m.check(&request, &response)) {
      if (response.GetError() == 0) response.SetError(WEBAPI_ERR_PARAM);
      return;
    }
    m.entry(&request, &response);
    // An entry that ended without an answer (its handler failed and said nothing) must not
    // read as success.
    if (response.IsOutputEnabled() && !response.IsAnswered()) {
      HARBOR_LOG("%s method %s gave no answer", api.c_str(), request.GetAPIMethod().c_str());
      response.SetError(WEBAPI_ERR_UNKNOWN);
    }
  } catch (const std::exception& e) {
    HARBOR_LOG("%s method %s threw: %s", api.c_str(), request.GetAPIMethod().c_str(), e.what());
    if (response.IsOutputEnabled()) response.SetError(WEBAPI_ERR_UNKNOWN);
  } catch (...) {
    HARBOR_LOG("%s method %s threw", api.c_str(), request.GetAPIMethod().c_str());
    if (response.IsOutputEnabled()) response.SetError(WEBAPI_ERR_UNKNOWN);
  }
}

}  // namespace webapi
}  // namespace VIREO

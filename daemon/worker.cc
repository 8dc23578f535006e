// The worker thread and the generator of paperlensd.
#include "worker.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>

#include "FileLock.h"
#include "cache_manager.h"
#include "config_manager.h"
#include "converter/pdf.h"
#include "converter/thumbnail.h"
#include "path.h"
#include "safe_file.h"
#include "utils.h"
#include "utils_json.h"
#include "utils_log.h"
#include "vireo/error.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace VIREO {
namespace PAPERLENS {

namespace {

constexpr int kConvertSuccess = 1000;
constexpr int64_t kCacheLimit = 1073741824;
constexpr int kMaxDepth = 256;  // deeper folders are not walked (each level holds a descriptor)
const char kErrSuffix[] = ".err.0063";
const char kGeneratedPrefix[] = "VIREOLENS";

const char* KeyOf(int convertType) {
  switch (convertType) {
    case CONVERT_TYPE_PDF: return "enable_preconvert";
    case CONVERT_TYPE_THUMBNAIL: return "enable_thumbnail";
    default: return nullptr;
  }
}

bool StreamExists(const std::string& eaPath) {
  safe::Fd fd;
  return safe::OpenEAFile(eaPath, O_RDONLY, fd) == safe::kOk;
}

// Whether `text` is at or below `folder` (or `folder` itself).
std::string RelativeTo(const std::string& folder, const std::string& path) {
  return path.size() > folder.size() ? path.substr(folder.size() + 1) : "";
}

// Opens the folder a folder task walks: the indexed folder itself, or a folder below it reached
// beneath it (a link on the way may not lead out).
bool OpenWalkTop(const TaskDB::Task& task, safe::Fd& out) {
  ConfigManager mgr(SZF_INDEX_CONFIG, 5);
  std::string folder;
  {
    ConfigReader reader(mgr);
    const char* key = KeyOf(task.convert_type);
    if (key != nullptr) folder = EnabledFolder(key, mgr.GetConfig(), task.path);
  }
  if (folder.empty() || folder == task.path) {
    safe::Error e = safe::OpenFolderForWalk(task.path, out);
    if (e != safe::kOk) return PL_ERR("cannot walk %s: %s", task.path.c_str(), safe::ErrorText(e));
    return true;
  }
  safe::Fd top;
  safe::Error e = safe::OpenFolderForWalk(folder, top);
  if (e == safe::kOk) {
    safe::AsUser root("");
    out.Reset(safe::OpenAt2(top.Get(), RelativeTo(folder, task.path), O_RDONLY | O_DIRECTORY, 0,
                            safe::kBeneath));
    if (!out.Ok()) e = safe::FromErrno(errno);
  }
  if (e != safe::kOk) return PL_ERR("cannot walk %s: %s", task.path.c_str(), safe::ErrorText(e));
  return true;
}

// Removes the generated streams and markers of one @eaDir folder (opened, root's alone).
void CleanEAFolder(int eaFd, const std::string& dir, CacheManager* cache) {
  int listFd = dup(eaFd);
  DIR* list = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (list == nullptr) {
    if (listFd >= 0) close(listFd);
    PL_ERR("cannot read %s/%s", dir.c_str(), VIREO_EA_DIR_NAME);
    return;
  }
  while (struct dirent* e = readdir(list)) {
    const std::string file = e->d_name;
    if (file == "." || file == "..") continue;
    safe::Fd streams;
    if (safe::OpenRootFolderAt(eaFd, file, 0, streams) != safe::kOk) continue;
    int streamsList = dup(streams.Get());
    DIR* names = streamsList >= 0 ? fdopendir(streamsList) : nullptr;
    if (names == nullptr) {
      if (streamsList >= 0) close(streamsList);
      continue;
    }
    bool removedPdf = false;
    std::vector<std::string> doomed;
    while (struct dirent* s = readdir(names)) {
      const std::string name = s->d_name;
      if (name.compare(0, sizeof(kGeneratedPrefix) - 1, kGeneratedPrefix) != 0) continue;
      struct stat st;
      if (fstatat(streams.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (!S_ISREG(st.st_mode)) continue;
      doomed.push_back(name);
    }
    closedir(names);
    for (const std::string& name : doomed) {
      if (unlinkat(streams.Get(), name.c_str(), 0) != 0) {
        PL_ERR("cannot remove %s/%s/%s/%s", dir.c_str(), VIREO_EA_DIR_NAME, file.c_str(),
               name.c_str());
      } else if (name == SZK_THUMB_PDF_TYPE) {
        removedPdf = true;
      }
    }
    if (removedPdf && cache != nullptr && cache->IsGood()) cache->CleanCacheInDB(dir + "/" + file);
  }
  closedir(list);
}

// A listing of the folder open at `dirFd` (which stays open for the caller); null, logged, when
// it cannot be read.
DIR* OpenListing(int dirFd, const std::string& dir) {
  int listFd = dup(dirFd);
  DIR* list = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (list == nullptr) {
    if (listFd >= 0) close(listFd);
    PL_ERR("cannot read folder %s", dir.c_str());
  }
  return list;
}

// Walks the tree below `dirFd` (never through a link) and cleans every @eaDir in it.
void RemoveGeneratedIn(int dirFd, const std::string& dir, CacheManager* cache, int depth) {
  if (depth > kMaxDepth) {
    PL_ERR("%s is nested too deep; not cleaned", dir.c_str());
    return;
  }
  DIR* list = OpenListing(dirFd, dir);
  if (list == nullptr) return;
  std::vector<std::string> folders;
  while (struct dirent* e = readdir(list)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
      continue;
    }
    folders.push_back(name);
  }
  closedir(list);
  for (const std::string& name : folders) {
    if (name == VIREO_EA_DIR_NAME) {
      safe::Fd ea;
      safe::Error err = safe::OpenRootFolderAt(dirFd, name, 0, ea);
      if (err == safe::kOk) {
        CleanEAFolder(ea.Get(), dir, cache);
      } else {
        PL_ERR("not cleaning %s/%s: %s", dir.c_str(), name.c_str(), safe::ErrorText(err));
      }
      continue;
    }
    safe::Fd sub(openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub.Ok()) {
      PL_ERR("cannot read folder %s/%s", dir.c_str(), name.c_str());
      continue;
    }
    RemoveGeneratedIn(sub.Get(), dir + "/" + name, cache, depth + 1);
  }
}

}  // namespace

// ---- Membership and tests --------------------------------------------------------------

bool IsPathWithin(const std::string& folder, const std::string& path) {
  if (folder.empty() || path.compare(0, folder.size(), folder) != 0) return false;
  return path.size() == folder.size() || path[folder.size()] == '/' || folder == "/";
}

namespace {

// The real path of an item's share path, "" when it does not resolve. Quiet: it is asked for
// every file a walk meets, and a folder whose share is gone must not log a line for each.
std::string ItemFolder(const std::string& sharePath) {
  if (!path::IsValidSharePath(sharePath) || sharePath.size() < 2) return "";
  const size_t end = sharePath.find('/', 1);
  const std::string name = sharePath.substr(1, end == std::string::npos ? end : end - 1);
  PVIREOSHARE share = nullptr;
  if (VIREOShareGet(name.c_str(), &share) != 0 || share == nullptr) return "";
  std::string real = std::string(share->szPath) +
                     (end == std::string::npos ? std::string() : sharePath.substr(end));
  VIREOShareFree(share);
  return real;
}

}  // namespace

std::string EnabledFolder(const char* key, const Json::Value& config, const std::string& path) {
  if (!config.isObject() || !config["items"].isArray()) return "";
  for (const Json::Value& item : config["items"]) {
    if (!item.isObject() || !item[key].isBool() || !item[key].asBool()) continue;
    if (!item["path"].isString()) continue;
    std::string real = ItemFolder(item["path"].asString());
    if (real.empty()) continue;
    while (real.size() > 1 && real.back() == '/') real.pop_back();
    if (IsPathWithin(real, path)) return real;
  }
  return "";
}

bool IsEnabled(const char* key, const Json::Value& config, const std::string& path) {
  return !EnabledFolder(key, config, path).empty();
}

bool IsSupportedType(const std::string& path) {
  static const std::set<std::string> types = [] {
    std::set<std::string> s;
    const std::string all = SZF_SUPPORT_FILE_TYPES;
    size_t start = 0;
    while (start <= all.size()) {
      size_t end = all.find(',', start);
      if (end == std::string::npos) end = all.size();
      if (end > start) s.insert(all.substr(start, end - start));
      start = end + 1;
    }
    return s;
  }();
  std::string type;
  return GetFileType(path, type) && types.count(type) > 0;
}

bool IsSkipPath(const std::string& path) {
  const int type = VIREOGetFSType(path.c_str(), 0);
  int inSnapshot = 0;
  if (path.empty() || VIREOEAIsHiddenDir(path.c_str()) == 1 ||
      path.find("#recycle") != std::string::npos || VIREOShareIsShareRecycle(path.c_str()) != 0 ||
      path.find("#snapshot") != std::string::npos ||
      (VLIBFhsPathInSnapshot(path.c_str(), &inSnapshot) == 0 && inSnapshot == 1)) {
    return true;
  }
  if (type == -1) return false;
  return VIREOFSIsRemoteFS(type) != 0 || VIREOFSIsImageFS(type) != 0 || type == VIREO_FS_PSEUDO;
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The index configuration as last read, reused while its file stays the same one with the same
// size and modification time, so that a scan does not reread it for every file while a change
// still applies to the very next one. File times move in coarse steps: a file changed within
// the last two seconds might change again without its time moving, so it is always reread.
class IndexConfigCache {
 public:
  const Json::Value& Get() {
    struct stat st;
    const bool present = stat(SZF_INDEX_CONFIG, &st) == 0;
    if (_reusable && present && SameFile(st, _seen)) return _config;
    ConfigManager mgr(SZF_INDEX_CONFIG, 5);
    {
      ConfigReader reader(mgr);
      _config = mgr.GetConfig();
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    // Seen before the read: a change in between makes the next call read again.
    _reusable = present && now.tv_sec - st.st_mtim.tv_sec >= 2;
    _seen = st;
    return _config;
  }

 private:
  bool _reusable = false;
  struct stat _seen = {};
  Json::Value _config;
};

// One open cache per thread, opened again when the database file was replaced.
class CacheHandle {
 public:
  CacheManager* Get() {
    struct stat st;
    const bool present = stat(SZF_CACHE_DB_PATH, &st) == 0;
    if (_cache && _cache->IsGood() && present && st.st_dev == _seen.st_dev &&
        st.st_ino == _seen.st_ino) {
      return _cache.get();
    }
    _cache.reset(new CacheManager(true, kCacheLimit));
    if (stat(SZF_CACHE_DB_PATH, &_seen) != 0) _seen = {};
    return _cache.get();
  }

 private:
  std::unique_ptr<CacheManager> _cache;
  struct stat _seen = {};
};

thread_local IndexConfigCache tIndexConfig;
thread_local CacheHandle tCache;

}  // namespace

bool ShouldProcess(const TaskDB::Task& task, struct stat* identity) {
  const Json::Value& config = tIndexConfig.Get();
  const char* key = KeyOf(task.convert_type);
  const std::string folder = key != nullptr ? EnabledFolder(key, config, task.path) : "";

  // The path must be what the task says; a file is examined beneath its indexed folder.
  struct stat st;
  if (task.is_folder) {
    if (safe::StatBeneath(task.path, st) != safe::kOk || !S_ISDIR(st.st_mode)) return false;
    if (key == nullptr) return true;
    return !folder.empty();
  }
  if (key == nullptr) return safe::StatBeneath(task.path, st) == safe::kOk;
  if (folder.empty()) return false;  // not enabled (and nothing to resolve it beneath)
  if (folder == task.path) return false;
  safe::Error e = safe::StatBeneathFolder(folder, task.path, st);
  if (e != safe::kOk || !S_ISREG(st.st_mode)) return false;
  if (identity != nullptr) *identity = st;

  if (task.convert_type == CONVERT_TYPE_PDF) {
    std::string type;
    if (!GetFileType(task.path, type) || type == "pdf" || !IsSupportedType(task.path) ||
        IsSkipPath(task.path)) {
      return false;
    }
    CacheManager* cache = tCache.Get();
    if (!cache->IsGood()) return PL_FAILED("!cache.IsGood()");
    std::ifstream stream;
    return !cache->Get(task.path, SZK_THUMB_PDF_TYPE, stream);
  }
  // Thumbnail. The size is that of the file examined, not of whatever the name leads to now.
  std::string eaPath;
  if (!IsSupportedType(task.path) || IsSkipPath(task.path) || st.st_size <= 10 ||
      !path::RealPathToEAPath(task.path, eaPath, SZK_THUMB_TYPE)) {
    return false;
  }
  if (task.op == TASK_OP_UPDATE) return true;
  return !StreamExists(eaPath + kErrSuffix) && !StreamExists(eaPath);
}

// ---- Worker ----------------------------------------------------------------------------

Worker::Worker() { _db.OpenDB(); }

Worker::~Worker() { Join(); }

void Worker::Start() {
  _running = true;
  if (_thread.joinable()) _thread.join();
  _thread = std::thread(&Worker::Run, this);
}

void Worker::Join() {
  if (_thread.joinable()) _thread.join();
}

void Worker::WorkOffTakenQueue() {
  try {
    ReadQueue();
    Generator(&_db, &_stop).Run();
  } catch (const VIREOERR&) {
    PL_ERR_PLATFORM();
  } catch (const std::exception& e) {
    PL_ERR("%s", e.what());
  }
  unlink(SZF_INDEX_QUEUE_WORKING);
}

void Worker::Run() {
  for (;;) {
    bool generated = false;
    // A working file that an earlier run took but did not finish.
    if (!_stop && VLIBCFileExist(SZF_INDEX_QUEUE_WORKING)) {
      WorkOffTakenQueue();
      generated = true;
    }
    while (!_stop && VLIBCFileExist(SZF_INDEX_QUEUE)) {
      try {
        FileLock lock(SZF_INDEX_QUEUE, 0, LOCK_TIMEOUT_SECS);
        if (!MoveFile(SZF_INDEX_QUEUE, SZF_INDEX_QUEUE_WORKING)) VIREO_THROW(0x3A00);
      } catch (const VIREOERR&) {
        PL_ERR_PLATFORM();
        usleep(USLEEP_TIME);  // the same queue is tried again, not at full speed
        continue;
      }
      WorkOffTakenQueue();
      generated = true;
    }
    // Tasks that a stopped run left behind are resumed without waiting for a record.
    if (!generated && !_stop) Generator(&_db, &_stop).Run();
    _running = false;
    // A record that arrived after the last look but before _running fell would otherwise wait
    // for the next one: look once more.
    if (_stop || !VLIBCFileExist(SZF_INDEX_QUEUE)) return;
    _running = true;
  }
}

void Worker::FinishRemovals() {
  for (int pass = 0; pass < 2; ++pass) {
    const char* file = pass == 0 ? SZF_INDEX_QUEUE_WORKING : SZF_INDEX_QUEUE;
    if (!VLIBCFileExist(file)) continue;
    try {
      if (pass == 1) {
        FileLock lock(SZF_INDEX_QUEUE, 0, LOCK_TIMEOUT_SECS);
        if (!MoveFile(SZF_INDEX_QUEUE, SZF_INDEX_QUEUE_WORKING)) VIREO_THROW(0x3A00);
      }
      ReadQueue();
    } catch (const VIREOERR&) {
      PL_ERR_PLATFORM();
      continue;
    }
    unlink(SZF_INDEX_QUEUE_WORKING);
  }
  std::vector<TaskDB::Task> tasks;
  if (!_db.GetTasks(tasks, 0)) return;
  const std::atomic<bool> never{false};
  Generator generator(&_db, &never);
  for (const TaskDB::Task& task : tasks) {
    if (task.op != TASK_OP_REMOVE) continue;
    generator.RemoveGenerated(task);
    _db.DeleteTask(task);
  }
}

void Worker::ReadQueue() {
  std::ifstream in(SZF_INDEX_QUEUE_WORKING);
  if (!in.is_open()) VIREO_THROW(0x0900);
  std::string line;
  while (std::getline(in, line)) {
    Json::Value record;
    if (!json::FromString(line, record)) continue;
    try {
      ProcessRecord(record);
    } catch (const VIREOERR&) {
      PL_ERR_PLATFORM();  // this record only; the next line is still read
    } catch (const std::exception& e) {
      PL_ERR("%s", e.what());
    }
  }
}

void Worker::ProcessRecord(const Json::Value& record) {
  if (!record.isObject()) VIREO_THROW(0x4000);
  if (!record["event"].isInt()) VIREO_THROW(0x4000);
  if (!record["is_dir"].isBool()) VIREO_THROW(0x4000);
  if (!record["path"].isString()) VIREO_THROW(0x4000);
  const int event = record["event"].asInt();
  TaskDB::Task task{TASK_OP_GENERATE, record["is_dir"].asBool(), "", record["path"].asString(), 0};
  bool test = false;
  if (event & INDEX_EVENT_WRITE) {
    task.op = TASK_OP_UPDATE;
    test = true;
  } else if (event & INDEX_EVENT_MOVE) {
    test = true;
  } else if (event & INDEX_EVENT_SCAN) {
    test = task.is_folder;
  } else if (event & INDEX_EVENT_REMOVE) {
    if (!task.is_folder) return;
    task.op = TASK_OP_REMOVE;
    if (!_db.AppendTask(task)) throw std::runtime_error("DB Append Task Failed");
    return;
  }
  if (!test) return;
  for (int kind : {CONVERT_TYPE_PDF, CONVERT_TYPE_THUMBNAIL}) {
    task.convert_type = kind;
    if (ShouldProcess(task) && !_db.AppendTask(task)) {
      throw std::runtime_error("DB Append Task Failed");
    }
  }
}

// ---- Generator -------------------------------------------------------------------------

void Generator::Run() {
  while (!*_stop) {
    TaskDB::Task task;
    if (!_db->GetTask(task)) return;
    if (task.op == TASK_OP_REMOVE) {
      RemoveGenerated(task);
    } else if (task.is_folder) {
      ProcessFolder(task);
    } else {
      ProcessFile(task);
    }
    if (*_stop) return;  // worked on again after the next start
    _db->DeleteTask(task);
  }
}

bool Generator::RemoveGenerated(const TaskDB::Task& task) {
  safe::Fd top;
  safe::Error e = safe::OpenFolderForWalk(task.path, top);
  if (e != safe::kOk) return PL_ERR("cannot clean %s: %s", task.path.c_str(), safe::ErrorText(e));
  safe::AsUser root("");
  CacheManager cache(false, kCacheLimit);
  RemoveGeneratedIn(top.Get(), task.path, &cache, 0);
  return true;
}

bool Generator::ProcessFile(const TaskDB::Task& task) {
  struct stat st;
  if (!ShouldProcess(task, &st)) return false;
  path::Path source;
  source.SetData("realPath", task.path, true);
  // The conversion must find the very file judged here under that name.
  source.SetData("device", static_cast<Json::UInt64>(st.st_dev), true);
  source.SetData("inode", static_cast<Json::UInt64>(st.st_ino), true);
  int rc;
  if (task.convert_type == CONVERT_TYPE_THUMBNAIL) {
    rc = converter::ToThumbnail(source);
  } else if (task.convert_type == CONVERT_TYPE_PDF) {
    rc = converter::ToPDFCache(source);
  } else {
    return false;
  }
  return rc == kConvertSuccess;
}

bool Generator::ProcessFolder(const TaskDB::Task& task) {
  if (IsSkipPath(task.path)) return false;
  safe::Fd top;
  if (!OpenWalkTop(task, top)) return false;
  Walk(top.Get(), task.path, top.Get(), task.path, "", task, 0);
  return true;
}

void Generator::Walk(int topFd, const std::string& top, int dirFd, const std::string& dir,
                     const std::string& rel, const TaskDB::Task& task, int depth) {
  if (depth > kMaxDepth) {
    PL_ERR("%s is nested too deep; not walked", dir.c_str());
    return;
  }
  DIR* list = OpenListing(dirFd, dir);
  if (list == nullptr) return;
  while (!*_stop) {
    errno = 0;
    struct dirent* e = readdir(list);
    if (e == nullptr) {
      if (errno != 0) PL_ERR("cannot read folder %s", dir.c_str());
      break;
    }
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string entry = dir + "/" + name;
    const std::string entryRel = rel.empty() ? name : rel + "/" + name;
    if (IsSkipPath(entry)) continue;  // a folder is not walked into either
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      safe::Fd sub(openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub.Ok()) {
        // One folder that cannot be read costs that folder, not the walk.
        PL_ERR("cannot read folder %s", entry.c_str());
        continue;
      }
      Walk(topFd, top, sub.Get(), entry, entryRel, task, depth + 1);
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      // A link counts when it leads to a regular file beneath the walked folder.
      if (safe::StatBeneathAt(topFd, entryRel, st) != safe::kOk) continue;
    }
    if (!S_ISREG(st.st_mode)) continue;
    ++_filesSeen;
    ProcessFile(TaskDB::Task{TASK_OP_GENERATE, false, "", entry, task.convert_type});
    if (*_stop) {
      // A conversion cut short by the stop must not leave the file marked as failed.
      std::string eaPath;
      if (path::RealPathToEAPath(entry, eaPath, SZK_THUMB_TYPE)) {
        safe::RemoveEAFile(eaPath + kErrSuffix);
      }
    }
  }
  closedir(list);
}

}  // namespace PAPERLENS
}  // namespace VIREO

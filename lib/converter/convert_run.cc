// One conversion run: staging, the pool, the output check and the clean-up.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "converter/converter.h"
#include "runas.h"
#include "safe_file.h"
#include "utils.h"
#include "utils_log.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace VIREO {
namespace PAPERLENS {
namespace converter {

namespace {

// The first component of an absolute path ("/volume1" of /volume1/docs/a.docx).
std::string FirstComponent(const std::string& path) {
  size_t second = path.find('/', 1);
  return second == std::string::npos ? path : path.substr(0, second);
}

// Whether a Path records the identity of the file its caller checked, and which.
bool RecordedIdentity(path::Path& source, dev_t& dev, ino_t& ino) {
  const Json::Value d = source.GetData("device", Json::Value());
  const Json::Value i = source.GetData("inode", Json::Value());
  if (!d.isUInt64() || !i.isUInt64()) return false;
  dev = static_cast<dev_t>(d.asUInt64());
  ino = static_cast<ino_t>(i.asUInt64());
  return true;
}

// Copies the opened source into the reserved staged file, or hard-links that very inode over
// it when both lie on one volume (never a link of the path, which the user could have swapped).
bool StageFromDescriptor(const safe::Fd& source, const std::string& strSourceFile,
                         const std::string& strTargetFile) {
  if (FirstComponent(strSourceFile) == FirstComponent(strTargetFile)) {
    const std::string link = strTargetFile + ".link";
    const std::string self = "/proc/self/fd/" + std::to_string(source.Get());
    bool linked = linkat(source.Get(), "", AT_FDCWD, link.c_str(), AT_EMPTY_PATH) == 0 ||
                  linkat(AT_FDCWD, self.c_str(), AT_FDCWD, link.c_str(), AT_SYMLINK_FOLLOW) == 0;
    if (linked && rename(link.c_str(), strTargetFile.c_str()) == 0) return true;
    if (linked) unlink(link.c_str());
    errno = 0;  // a copy on write, or a plain copy, does as well
  }
  safe::Fd staged(open(strTargetFile.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (!staged.Ok() || lseek(source.Get(), 0, SEEK_SET) != 0 ||
      !safe::CopyData(source.Get(), staged.Get())) {
    return PL_FAILED("! CopyFile(strSourceFile, strTargetFile)");
  }
  if (close(staged.Release()) != 0) return PL_FAILED("! CopyFile(strSourceFile, strTargetFile)");
  return true;
}

}  // namespace

safe::Error OpenConversionSource(path::Path& source, safe::Fd& fd, struct stat& st) {
  const std::string real = source.GetRealPath("");
  safe::Error e = safe::HasEAComponent(real)
                      ? safe::OpenEAFile(real, O_RDONLY, fd, &st)
                      : safe::OpenDocument(real, source.GetUser(""), fd, &st);
  if (e != safe::kOk) return e;
  dev_t dev;
  ino_t ino;
  if (RecordedIdentity(source, dev, ino) && (st.st_dev != dev || st.st_ino != ino)) {
    fd.Reset();
    return safe::Refuse(safe::kEscapes);
  }
  return safe::kOk;
}

bool GetStagingDirs(std::string& sourceDir, std::string& targetDir) {
  std::string volume;
  if (!VolumePathGet(SZF_DOCKER_DIR, volume)) return false;
  sourceDir = volume + SZF_DOCKER_DIR + SZF_COVERT_SOURCE_DIR;
  targetDir = volume + SZF_DOCKER_DIR + SZF_COVERT_TARGET_DIR;
  return true;
}

namespace {

safe::Error OpenStagingDir(const std::string& dir, safe::Fd& fd) {
  std::string share, rel;
  safe::Error e = safe::SplitAtShare(dir, /*allowShareFolder=*/false, share, rel);
  if (e == safe::kOk) e = safe::OpenRootFolders(share, safe::Components(rel), 0700, fd);
  return e;
}

}  // namespace

bool MakeStagingDir(const std::string& dir) {
  safe::Fd fd;
  safe::Error e = OpenStagingDir(dir, fd);
  if (e != safe::kOk) return PL_ERR("staging folder %s: %s", dir.c_str(), safe::ErrorText(e));
  return true;
}

bool EmptyStagingDir(const std::string& dir) {
  safe::Fd fd;
  safe::Error e = OpenStagingDir(dir, fd);
  if (e != safe::kOk) return PL_ERR("staging folder %s: %s", dir.c_str(), safe::ErrorText(e));
  int listFd = dup(fd.Get());
  DIR* list = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (list == nullptr) {
    if (listFd >= 0) close(listFd);
    return PL_ERR("cannot list %s", dir.c_str());
  }
  bool ok = true;
  while (struct dirent* entry = readdir(list)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    e = safe::RemoveTreeAt(fd.Get(), name);
    if (e != safe::kOk && e != safe::kNotFound) {
      ok = PL_ERR("cannot remove %s%s: %s", dir.c_str(), name.c_str(), safe::ErrorText(e));
    }
  }
  closedir(list);
  return ok;
}

bool RemoveTmpFile(const std::string& realPath) {
  int fd = open(realPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  bool unlinked = unlink(realPath.c_str()) == 0;
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
  return unlinked;
}

bool CopyOrLinkFile(const std::string& strSourceFile, const std::string& strTargetFile) {
  path::Path source;
  source.SetData("realPath", strSourceFile, true);
  safe::Fd fd;
  struct stat st;
  if (OpenConversionSource(source, fd, st) != safe::kOk) {
    return PL_FAILED("FALSE == VLIBCFileExist(strSourceFile.c_str())");
  }
  return StageFromDescriptor(fd, strSourceFile, strTargetFile);
}

bool CreateConvertEnvironment(path::Path& originPath, const std::string& strFileType,
                              path::Path& convertSrcPath, path::Path& convertTgtPath,
                              bool sameFolder) {
  std::string strSrcType = originPath.GetFileType("");
  if (strSrcType.empty()) return PL_FAILED("strSrcType.empty()");
  // The source is opened, judged and kept before anything is staged: what is staged is what
  // was opened, whatever happens to the name meanwhile.
  safe::Fd source;
  struct stat sourceStat;
  safe::Error opened = OpenConversionSource(originPath, source, sourceStat);
  if (opened != safe::kOk) {
    PL_ERR("cannot convert %s: %s", originPath.GetRealPath("").c_str(), safe::ErrorText(opened));
    return PL_FAILED("! OpenConversionSource(originPath)");
  }
  std::string strConvertSourceDir, strConvertTargetDir;
  if (!GetStagingDirs(strConvertSourceDir, strConvertTargetDir)) {
    return PL_FAILED("! VolumePathGet(SZF_DOCKER_DIR, strDockerVolume)");
  }
  if (!MakeStagingDir(strConvertSourceDir)) return PL_FAILED("! MakeStagingDir(strConvertSourceDir)");
  if (!MakeStagingDir(strConvertTargetDir)) return PL_FAILED("! MakeStagingDir(strConvertTargetDir)");
  const std::string strTargetType = strFileType;
  if (!sameFolder) {
    if (!CreateTmpFileNameWithType(strSrcType, strConvertSourceDir, convertSrcPath)) {
      return PL_FAILED("! CreateTmpFileNameWithType(strSrcType, strConvertSourceDir, convertSrcPath)");
    }
    if (!CreateTmpFileNameWithType(strTargetType, strConvertTargetDir, convertTgtPath)) {
      return PL_FAILED("! CreateTmpFileNameWithType(strTargetType, strConvertTargetDir, convertTgtPath)");
    }
  } else {
    for (;;) {
      if (!CreateTmpFileNameWithType(strSrcType, strConvertSourceDir, convertSrcPath)) {
        return PL_FAILED("! CreateTmpFileNameWithType(strSrcType, strConvertSourceDir, convertSrcPath)");
      }
      std::string base = convertSrcPath.GetFileName("");
      if (base.find("." + strSrcType) != std::string::npos) base = base.substr(0, base.rfind('.'));
      std::string target = strConvertTargetDir + base + "." + strTargetType;
      convertTgtPath.SetData("realPath", target, true);
      struct stat st;
      if (lstat(target.c_str(), &st) != 0) break;
      // The tool would write over another run's output: draw another name.
      unlink(convertSrcPath.GetRealPath("").c_str());
    }
  }
  if (!StageFromDescriptor(source, originPath.GetRealPath(""), convertSrcPath.GetRealPath(""))) {
    return PL_FAILED("! CopyOrLinkFile(originPath.GetRealPath(), convertSrcPath.GetRealPath())");
  }
  return true;
}

int ConverterBase::Convert(const std::string& type, path::Path& source, path::Path& target) {
  ContainerPoolManager* pool =
      ContainerPoolManager::Instance(MAX_USING_COUNT, MAX_MEMORY_COUNT, PARALLEL_COUNT);
  bool sameFolder = IsNeedSameFolder();
  int rc;
  if (!CreateConvertEnvironment(source, type, _tmpSrcPath, _tmpTgtPath, sameFolder)) {
    PL_FAILED(
        "! CreateConvertEnvironment(originPath, strFileType, _tmpSrcPath, _tmpTgtPath, "
        "IsNeedSameFolder())");
    rc = kConvertRefused;
  } else {
    std::vector<std::string> argv;
    GetCommand(argv);
    rc = pool->Execute(argv, _priority);
    if (rc == kConvertSuccess) {
      rc = IsFileValidSize(_tmpTgtPath.GetRealPath("")) ? kConvertSuccess : kConvertFailed;
    }
  }

  // Clean-up, in every case.
  // The staged input's own EA folder, should a tool have made one: removed through
  // descriptors, never following a link, and never made just to be removed.
  std::string stagedInput = _tmpSrcPath.GetRealPath("");
  char eaDir[4096] = {0};
  if (!stagedInput.empty() && VIREOEADirPath(0, stagedInput.c_str(), eaDir, sizeof(eaDir)) == 0) {
    safe::Error e = safe::RemoveEAFolder(eaDir);
    if (e != safe::kOk && e != safe::kNotFound) PL_ERR("remove eadir failed");
  }
  if (!stagedInput.empty()) RemoveTmpFile(stagedInput);
  std::string output = _tmpTgtPath.GetRealPath("");
  if (rc == kConvertSuccess) {
    target.SetData("realPath", output, true);
  } else if (!output.empty()) {
    RemoveTmpFile(output);
  }
  return rc;
}

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO

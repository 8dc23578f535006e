// One conversion run: staging, the pool, the output check and the clean-up.
#include <fcntl.h>
#include <unistd.h>

#include "converter/converter.h"
#include "runas.h"
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

// The staged input's EA folder, when it is exactly that staged file's own entry in the
// staging folder's @eaDir; empty otherwise. The folder is removed with rm -rf, so nothing
// else (an empty path, "/", a folder outside the staging area) may ever come out of here.
std::string StagedEAFolder(path::Path& staged, const std::string& sourceDir) {
  std::string real = staged.GetRealPath("");
  std::string name = staged.GetFileName("");
  if (sourceDir.empty() || real != sourceDir + name || name.empty() || name == "." ||
      name == ".." || name.find('/') != std::string::npos) {
    return "";
  }
  std::string derived = staged.GetEAPathWithType("", "");
  std::string expected = sourceDir + "@eaDir/" + name + "/";
  if (derived != expected) {
    PL_ERR("refusing to remove %s: not the staged file's EA folder", derived.c_str());
    return "";
  }
  return derived;
}

}  // namespace

bool GetStagingDirs(std::string& sourceDir, std::string& targetDir) {
  std::string volume;
  if (!VolumePathGet(SZF_DOCKER_DIR, volume)) return false;
  sourceDir = volume + SZF_DOCKER_DIR + SZF_COVERT_SOURCE_DIR;
  targetDir = volume + SZF_DOCKER_DIR + SZF_COVERT_TARGET_DIR;
  return true;
}

bool RemoveTmpFile(const std::string& realPath) {
  int fd = open(realPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool unlinked = unlink(realPath.c_str()) == 0;
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
  return unlinked;
}

bool CopyOrLinkFile(const std::string& strSourceFile, const std::string& strTargetFile) {
  if (FALSE == VLIBCFileExist(strSourceFile.c_str())) {
    return PL_FAILED("FALSE == VLIBCFileExist(strSourceFile.c_str())");
  }
  if (FirstComponent(strSourceFile) == FirstComponent(strTargetFile)) {
    if (VLIBCExecl("/bin/ln", 187, "-f", strSourceFile.c_str(), strTargetFile.c_str(), nullptr) !=
        0) {
      // The copy's own status is not judged: the existence check below decides.
      VLIBCExecl("/bin/cp", 187, "-f", "--reflink=auto", strSourceFile.c_str(),
                 strTargetFile.c_str(), nullptr);
    }
  } else if (!CopyFile(strSourceFile, strTargetFile)) {
    return PL_FAILED("! CopyFile(strSourceFile, strTargetFile)");
  }
  if (FALSE == VLIBCFileExist(strTargetFile.c_str())) {
    return PL_FAILED("FALSE == VLIBCFileExist(strTargetFile.c_str())");
  }
  return true;
}

bool CreateConvertEnvironment(path::Path& originPath, const std::string& strFileType,
                              path::Path& convertSrcPath, path::Path& convertTgtPath,
                              bool sameFolder) {
  std::string strSrcType = originPath.GetFileType("");
  if (strSrcType.empty()) return PL_FAILED("strSrcType.empty()");
  std::string strConvertSourceDir, strConvertTargetDir;
  if (!GetStagingDirs(strConvertSourceDir, strConvertTargetDir)) {
    return PL_FAILED("! VolumePathGet(SZF_DOCKER_DIR, strDockerVolume)");
  }
  if (ERR_SUCCESS !=
      VIREOFSMkdirP(strConvertSourceDir.c_str(), nullptr, TRUE, UID_ERR, UID_ERR, 0755)) {
    return PL_FAILED(
        "ERR_SUCCESS != VIREOFSMkdirP(strConvertSourceDir.c_str(), NULL, TRUE, UID_ERR, UID_ERR, "
        "0755)");
  }
  if (ERR_SUCCESS !=
      VIREOFSMkdirP(strConvertTargetDir.c_str(), nullptr, TRUE, UID_ERR, UID_ERR, 0755)) {
    return PL_FAILED(
        "ERR_SUCCESS != VIREOFSMkdirP(strConvertTargetDir.c_str(), NULL, TRUE, UID_ERR, UID_ERR, "
        "0755)");
  }
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
      if (!VLIBCFileExist(target.c_str())) break;
      // The tool would write over another run's output: draw another name.
      unlink(convertSrcPath.GetRealPath("").c_str());
    }
  }
  if (!CopyOrLinkFile(originPath.GetRealPath(""), convertSrcPath.GetRealPath(""))) {
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
  std::string sourceDir, targetDir;
  GetStagingDirs(sourceDir, targetDir);
  std::string eaFolder = StagedEAFolder(_tmpSrcPath, sourceDir);
  if (!eaFolder.empty() &&
      VLIBCExec("/usr/bin/rm", "-rf", eaFolder.c_str(), nullptr, nullptr) < 0) {
    PL_ERR("remove eadir failed");
  }
  std::string stagedInput = _tmpSrcPath.GetRealPath("");
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

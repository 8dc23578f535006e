// The converter family: one class per conversion tool, each knowing the file types it accepts
// and how to spell the tool's command line; ConverterBase::Convert stages the input and output
// where the pool's containers see them, runs the command in the pool and checks the output.
//
// A converter lives for one conversion: construct it with a priority, set `_option` (only
// "PageRange" is read), call Convert once. Converters are local objects of their concrete class,
// never shared and never deleted through a base pointer.
#ifndef PAPERLENS_INCLUDE_CONVERTER_CONVERTER_H_
#define PAPERLENS_INCLUDE_CONVERTER_CONVERTER_H_

#include <json/json.h>

#include <set>
#include <string>
#include <vector>

#include "converter/container_pool_manager.h"
#include "path.h"
#include "safe_file.h"

namespace VIREO {
namespace PAPERLENS {
namespace converter {

// Result codes of a conversion: the pool's, passed on unchanged.
constexpr int kConvertSuccess = ContainerPoolManager::kSuccess;  // the output is ready
constexpr int kConvertTimeout = ContainerPoolManager::kTimeout;  // over its time limit
constexpr int kConvertFailed = ContainerPoolManager::kFailed;    // no start, or no usable output
constexpr int kConvertRefused = ContainerPoolManager::kRefused;  // refused before running

class ConverterBase {
 public:
  explicit ConverterBase(ContainerPoolManager::Priority priority);

  // Converts `source` (addressed by share path and user, or by real path) to `type`. On success
  // `target`'s "realPath" names the output in the target staging folder; the caller owns that
  // file from then on (moves it or removes it). The staged input is removed in every case, the
  // output on failure.
  virtual int Convert(const std::string& type, path::Path& source, path::Path& target);
  // True when the tool names its output after its input (source and output share a base name).
  virtual bool IsNeedSameFolder();
  // Replaces `argv` with the tool's argument vector for the staged files.
  virtual void GetCommand(std::vector<std::string>& argv) = 0;

  ContainerPoolManager::Priority _priority;
  Json::Value _option;    // tool options; only "PageRange" is read
  path::Path _tmpSrcPath; // staged input, set by Convert
  path::Path _tmpTgtPath; // staged output, set by Convert

 protected:
  ~ConverterBase() = default;

  // SZF_COVERT_SOURCE_DIR + the staged input's file name, and likewise for the output.
  std::string ContainerSource();
  std::string ContainerTarget();
  // The string of _option["PageRange"], empty when absent.
  std::string PageRange() const;
  bool HasPageRange() const;
};

class LibreOfficeConverter : public ConverterBase {
 public:
  using ConverterBase::ConverterBase;
  bool IsNeedSameFolder() override;
  void GetCommand(std::vector<std::string>& argv) override;
  static std::set<std::string> _supportTypeSet;
};

class UnoconvConverter : public ConverterBase {
 public:
  using ConverterBase::ConverterBase;
  void GetCommand(std::vector<std::string>& argv) override;
  static std::set<std::string> _supportTypeSet;
};

class UnoconvSpreadSheetConverter : public ConverterBase {
 public:
  using ConverterBase::ConverterBase;
  void GetCommand(std::vector<std::string>& argv) override;
  static std::set<std::string> _supportTypeSet;
};

class PdftkConverter : public ConverterBase {
 public:
  using ConverterBase::ConverterBase;
  void GetCommand(std::vector<std::string>& argv) override;
  static std::set<std::string> _supportTypeSet;
};

class ImageMagickConverter : public ConverterBase {
 public:
  using ConverterBase::ConverterBase;
  void GetCommand(std::vector<std::string>& argv) override;
  static std::set<std::string> _supportTypeSet;
};

class CalibreConverter : public ConverterBase {
 public:
  using ConverterBase::ConverterBase;
  void GetCommand(std::vector<std::string>& argv) override;
  static std::set<std::string> _supportTypeSet;
};

class CalibreThumbnailConverter : public ConverterBase {
 public:
  using ConverterBase::ConverterBase;
  void GetCommand(std::vector<std::string>& argv) override;
  static std::set<std::string> _supportTypeSet;
};

// Stages `originPath` for conversion: opens the source (OpenConversionSource), reserves the
// staged input in the source staging folder and the output name in the target staging folder,
// and fills the staged input from the opened source (a hard link of that very inode on the same
// volume, else a copy of its bytes). With `sameFolder` the output is the input's base name with
// `strFileType`. False, logged, on failure, a failed or partial copy included.
bool CreateConvertEnvironment(path::Path& originPath, const std::string& strFileType,
                              path::Path& tmpSrcPath, path::Path& tmpTgtPath, bool sameFolder);
// Opens `strSourceFile` as OpenConversionSource does (as root) and stages it over the existing
// file `strTargetFile`: a hard link of the opened inode when both lie on one volume (a
// copy-on-write copy when linking fails), a copy otherwise. False, logged, when the source
// cannot be opened or the copy fails.
bool CopyOrLinkFile(const std::string& strSourceFile, const std::string& strTargetFile);
// Opens the file a conversion reads: a stream of an EA folder (a cached PDF) as a stream, any
// other file as a regular file of its share, with the Path's "user"'s credentials when it has
// one and root's otherwise (safe_file.h). A Path that records "device" and "inode" must still
// name that very file (kEscapes otherwise).
safe::Error OpenConversionSource(path::Path& source, safe::Fd& fd, struct stat& st);
// Makes the staging folder `dir` and its parents below the docker share, root's with mode 0700;
// an existing one must be a folder owned by root that nobody else may write, reached without
// links. False, logged, otherwise.
bool MakeStagingDir(const std::string& dir);
// Makes the staging folder `dir` as MakeStagingDir does and removes everything in it, through
// descriptors (never following a link). False, logged, when anything could not be removed.
bool EmptyStagingDir(const std::string& dir);
// Deletes a staged file without leaving its pages in the page cache. False when the file cannot
// be opened (it is then left) or unlinked.
bool RemoveTmpFile(const std::string& realPath);
// The host folders of the staging area: docker volume + SZF_DOCKER_DIR + the container-side
// folder. False when the docker share does not exist.
bool GetStagingDirs(std::string& sourceDir, std::string& targetDir);

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_CONVERTER_CONVERTER_H_

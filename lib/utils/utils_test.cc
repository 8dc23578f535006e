// File utilities against real files on the appliance's volumes.
#include "utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "appliance_env.h"
#include "path.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

TEST(GetFileType, LowerCaseWordWithoutTheDot) {
  struct Case {
    std::string path;
    bool ok;
    std::string type;
  } cases[] = {
      {"/x/Report.DOCX", true, "docx"},   {"/x/archive.tar.gz", true, "gz"},
      {"/x/README", false, ""},           {"/x/dir.d/README", false, ""},
      {"/x/slides.PpTx", true, "pptx"},   {"/x/book.epub", true, "epub"},
      {"/x/trailing.", true, ""},
  };
  for (const auto& c : cases) {
    std::string type = "stale";
    EXPECT_EQ(c.ok, GetFileType(c.path, type)) << c.path;
    EXPECT_EQ(c.type, type) << c.path;
  }
}

TEST(SupportedTypes, ListsEveryConverterTypeOnce) {
  std::istringstream in(SZF_SUPPORT_FILE_TYPES);
  std::string t;
  std::set<std::string> types;
  int n = 0;
  while (std::getline(in, t, ',')) {
    ++n;
    types.insert(t);
  }
  EXPECT_EQ(57, n);
  EXPECT_EQ(56u, types.size());  // "sxd" twice
  EXPECT_EQ(1u, types.count("pdf"));
  EXPECT_EQ(1u, types.count("mobi"));
}

class FileUtilsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    testsupport::RemoveAll("/volume1/docs/utils");
    testsupport::RemoveAll("/volume2/archive/utils");
  }
};

TEST_F(FileUtilsTest, ValidSizeNeedsMoreThanTenBytes) {
  testsupport::WriteFile("/volume1/docs/utils/ten", std::string(10, 'x'), 0600);
  testsupport::WriteFile("/volume1/docs/utils/eleven", std::string(11, 'x'), 0600);
  EXPECT_FALSE(IsFileValidSize("/volume1/docs/utils/ten"));
  EXPECT_TRUE(IsFileValidSize("/volume1/docs/utils/eleven"));
  EXPECT_FALSE(IsFileValidSize("/volume1/docs/utils/missing"));
  // The file is examined as root, whoever calls.
  testsupport::MakeDir("/volume1/docs/utils/closed", 0700);
  testsupport::WriteFile("/volume1/docs/utils/closed/big", std::string(100, 'x'), 0600);
  testsupport::ScopedEffectiveUser alice(testsupport::kAliceUid, testsupport::kUsersGid);
  EXPECT_TRUE(IsFileValidSize("/volume1/docs/utils/closed/big"));
  EXPECT_EQ(testsupport::kAliceUid, geteuid());
}

TEST_F(FileUtilsTest, TemporaryFilesAreUniqueAndEmpty) {
  testsupport::MakeDir("/volume1/docs/utils", 0755);
  path::Path a, b;
  ASSERT_TRUE(CreateTmpFileNameWithType("docx", "/volume1/docs/utils/", a));
  ASSERT_TRUE(CreateTmpFileNameWithType("docx", "/volume1/docs/utils/", b));
  std::string pa = a.GetRealPath(""), pb = b.GetRealPath("");
  EXPECT_NE(pa, pb);
  for (const std::string& p : {pa, pb}) {
    EXPECT_EQ(0u, p.find("/volume1/docs/utils/")) << p;
    EXPECT_EQ(".docx", p.substr(p.size() - 5)) << p;
    EXPECT_EQ(std::string("/volume1/docs/utils/").size() + 6 + 5, p.size()) << p;
    struct stat st;
    ASSERT_EQ(0, stat(p.c_str(), &st)) << p;
    EXPECT_EQ(0, st.st_size);
    EXPECT_EQ(0600u, st.st_mode & 0777);
  }
  testsupport::LogMark log;
  path::Path c;
  EXPECT_FALSE(CreateTmpFileNameWithType("pdf", "/volume1/docs/utils/missing/", c));
  EXPECT_FALSE(c.HasData("realPath"));
  EXPECT_TRUE(log.Contains("mkstemp /volume1/docs/utils/missing/XXXXXX.pdf failed"));
}

TEST_F(FileUtilsTest, CopyKeepsAndMoveRemovesTheSourceAcrossVolumes) {
  testsupport::WriteFile("/volume1/docs/utils/src.pdf", "%PDF-1.4 content", 0640);
  testsupport::MakeDir("/volume2/archive/utils", 0755);
  ASSERT_TRUE(CopyFile("/volume1/docs/utils/src.pdf", "/volume2/archive/utils/copy.pdf"));
  EXPECT_EQ("%PDF-1.4 content", testsupport::ReadFile("/volume2/archive/utils/copy.pdf"));
  EXPECT_TRUE(testsupport::Exists("/volume1/docs/utils/src.pdf"));
  struct stat st;
  ASSERT_EQ(0, stat("/volume2/archive/utils/copy.pdf", &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);

  // A move across volumes copies and unlinks; onto an existing file it replaces it.
  testsupport::WriteFile("/volume2/archive/utils/moved.pdf", "old", 0644);
  ASSERT_TRUE(MoveFile("/volume1/docs/utils/src.pdf", "/volume2/archive/utils/moved.pdf"));
  EXPECT_EQ("%PDF-1.4 content", testsupport::ReadFile("/volume2/archive/utils/moved.pdf"));
  EXPECT_FALSE(testsupport::Exists("/volume1/docs/utils/src.pdf"));

  // Within a volume a move is a rename: the inode travels.
  ASSERT_EQ(0, stat("/volume2/archive/utils/moved.pdf", &st));
  ino_t inode = st.st_ino;
  ASSERT_TRUE(MoveFile("/volume2/archive/utils/moved.pdf", "/volume2/archive/utils/again.pdf"));
  ASSERT_EQ(0, stat("/volume2/archive/utils/again.pdf", &st));
  EXPECT_EQ(inode, st.st_ino);

  EXPECT_FALSE(CopyFile("/volume1/docs/utils/missing", "/volume2/archive/utils/x"));
  EXPECT_FALSE(MoveFile("/volume1/docs/utils/missing", "/volume2/archive/utils/x"));
  EXPECT_FALSE(CopyFile("/volume2/archive/utils/again.pdf", "/volume2/nowhere/x.pdf"));
  EXPECT_FALSE(testsupport::Exists("/volume2/archive/utils/x"));
}

TEST(VolumePathGet, FindsTheVolumeOfAShare) {
  std::string volume;
  ASSERT_TRUE(VolumePathGet(SZF_DOCKER_DIR, volume));
  EXPECT_EQ("/volume1", volume);
  ASSERT_TRUE(VolumePathGet("/archive", volume));
  EXPECT_EQ("/volume2", volume);
  testsupport::LogMark log;
  volume = "unchanged";
  EXPECT_FALSE(VolumePathGet("/nosuch/@tmp", volume));
  EXPECT_FALSE(VolumePathGet("", volume));
  EXPECT_EQ("unchanged", volume);
  EXPECT_TRUE(log.Contains("share name: nosuch"));
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO

// The plug-in as the server loads it: its tables, row by row, and its exported constants.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host.h"

namespace {

class FoliumTablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(FOLIUM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle_) << dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }
  const void* Table(const char* name) {
    auto fn = reinterpret_cast<const void* (*)()>(dlsym(handle_, name));
    return fn != nullptr ? fn() : nullptr;
  }
  void* handle_ = nullptr;
};

TEST_F(FoliumTablesTest, MethodsAndChecksComeInTheServersOrder) {
  std::vector<VIREO::webapi::MethodRow> methods = VIREO::webapi::ReadMethodTable(Table("GetAPITable"));
  const std::vector<std::pair<std::string, std::string>> wantMethods = {
      {"VIREO.Folium", "get"},         {"VIREO.Folium", "get_perm"},
      {"VIREO.Folium", "download"},    {"VIREO.Folium", "print"},
      {"VIREO.Folium.Sharing", "set"}, {"VIREO.Folium.Sharing", "list"},
      {"VIREO.Folium.Sharing", "trigger_gc"}};
  ASSERT_EQ(wantMethods.size(), methods.size());
  for (size_t i = 0; i < methods.size(); ++i) {
    EXPECT_EQ(wantMethods[i].first, methods[i].api) << i;
    EXPECT_EQ(wantMethods[i].second, methods[i].method) << i;
    EXPECT_EQ(1, methods[i].version) << i;
    EXPECT_NE(nullptr, methods[i].function) << i;
  }
  std::vector<VIREO::webapi::MethodRow> checks = VIREO::webapi::ReadCheckTable(Table("GetAPICheckTable"));
  const std::vector<std::pair<std::string, std::string>> wantChecks = {
      {"VIREO.Folium", "download"},    {"VIREO.Folium", "print"},
      {"VIREO.Folium", "get_perm"},    {"VIREO.Folium", "get"},
      {"VIREO.Folium.Sharing", "set"}, {"VIREO.Folium.Sharing", "list"},
      {"VIREO.Folium.Sharing", "trigger_gc"}};
  ASSERT_EQ(wantChecks.size(), checks.size());
  for (size_t i = 0; i < checks.size(); ++i) {
    EXPECT_EQ(wantChecks[i].first, checks[i].api) << i;
    EXPECT_EQ(wantChecks[i].second, checks[i].method) << i;
    EXPECT_NE(nullptr, checks[i].function) << i;  // reserved words zero, else it reads as null
  }
}

TEST_F(FoliumTablesTest, TheConstantsAreExported) {
  struct {
    const char* symbol;
    const char* value;
  } constants[] = {{"SZ_TYPE_VIEW", "View"},
                   {"SZ_TYPE_DOWNLOAD", "Download"},
                   {"SZ_ANONYMOUS_USER", "guest"},
                   {"SZF_UDC_PATH", "/usr/vireo/etc/user.data/folium"}};
  for (const auto& c : constants) {
    const char* v = static_cast<const char*>(dlsym(handle_, c.symbol));
    ASSERT_NE(nullptr, v) << c.symbol;
    EXPECT_STREQ(c.value, v) << c.symbol;
  }
}

}  // namespace

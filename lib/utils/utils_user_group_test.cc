// Users and groups against the appliance's account database.
#include "utils_user_group.h"

#include <gtest/gtest.h>

#include "appliance_env.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

TEST(GetRealUsername, TriesTheNameFormsInOrder) {
  EXPECT_EQ("", GetRealUsername(nullptr));
  EXPECT_EQ("alice", GetRealUsername("alice"));
  // Not a canonical name, but the account record knows it.
  EXPECT_EQ("alice", GetRealUsername("ALICE"));
  // Unknown local names come back as typed.
  EXPECT_EQ("nobody-here", GetRealUsername("nobody-here"));
  // Domain accounts must resolve; this appliance joins no domain.
  EXPECT_EQ("", GetRealUsername("CORP\\carol"));
  EXPECT_EQ("", GetRealUsername("carol@corp.example.com"));
  // Long names are cut to the name buffer.
  std::string longName(600, 'q');
  EXPECT_EQ(std::string(492, 'q'), GetRealUsername(longName.c_str()));
}

TEST(UserLookups, FindUsersAndReportMissingOnes) {
  VIREOUSER* user = nullptr;
  ASSERT_TRUE(UserGet("Bob", user));
  ASSERT_NE(nullptr, user);
  EXPECT_STREQ("bob", user->szName);
  EXPECT_EQ(testsupport::kBobUid, user->uid);
  VIREOUserFree(user);

  testsupport::LogMark log;
  user = nullptr;
  EXPECT_FALSE(UserGet("mallory", user));
  EXPECT_EQ(1, log.Count("No such user [mallory]"));

  unsigned int uid = 4242;
  EXPECT_TRUE(UserToUID("alice", uid));
  EXPECT_EQ(testsupport::kAliceUid, uid);
  uid = 4242;
  testsupport::LogMark quiet;
  EXPECT_FALSE(UserToUID("mallory", uid));
  EXPECT_FALSE(UserToUID(std::string(600, 'q'), uid));
  EXPECT_EQ(4242u, uid);
  EXPECT_EQ(0, quiet.Count("mallory"));

  std::string name = "unchanged";
  EXPECT_TRUE(UIDToUser(testsupport::kAdminUid, name));
  EXPECT_EQ("admin", name);
  name = "unchanged";
  EXPECT_FALSE(UIDToUser(4242u, name));
  EXPECT_EQ("unchanged", name);
}

TEST(GroupLookups, TranslateNamesAndIds) {
  unsigned int gid = 0;
  EXPECT_TRUE(GroupToGID("administrators", gid));
  EXPECT_EQ(testsupport::kAdministratorsGid, gid);
  EXPECT_FALSE(GroupToGID("no-such-group", gid));
  std::string group = "unchanged";
  EXPECT_TRUE(GIDToGroup(testsupport::kSalesGid, group));
  EXPECT_EQ("sales", group);
  group = "unchanged";
  EXPECT_FALSE(GIDToGroup(4242u, group));
  EXPECT_EQ("unchanged", group);
}

TEST(UserGroupsGet, AddsTheUsersGroupsToTheSet) {
  VIREOUSER* alice = nullptr;
  ASSERT_TRUE(UserGet("alice", alice));
  std::set<unsigned int> gids = {5};
  EXPECT_TRUE(UserGroupsGet(alice, gids));
  EXPECT_EQ((std::set<unsigned int>{5, testsupport::kUsersGid, testsupport::kSalesGid}), gids);
  VIREOUserFree(alice);

  VIREOUSER* admin = nullptr;
  ASSERT_TRUE(UserGet("admin", admin));
  gids.clear();
  EXPECT_TRUE(UserGroupsGet(admin, gids));
  EXPECT_EQ(1u, gids.count(testsupport::kAdministratorsGid));
  EXPECT_EQ(0u, gids.count(testsupport::kSalesGid));
  VIREOUserFree(admin);
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO

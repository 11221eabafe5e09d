#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fakes/sync-cluster.h"

namespace {
TEST(ClusterSmoke, TwoClientsConverge) {
  sftest::SyncCluster c(2);
  ASSERT_TRUE(c.StartServer());
  ASSERT_TRUE(c.StartClient(0));
  ASSERT_TRUE(c.StartClient(1));
  sftest::WriteFile(c.Root(0) + "/a.txt", "from a");
  ::mkdir((c.Root(1) + "/d").c_str(), 0755);
  sftest::WriteFile(c.Root(1) + "/d/b.txt", "from b");
  ASSERT_TRUE(c.server().Hook({"put", "/s.txt", "/etc/hostname"}));
  EXPECT_TRUE(c.WaitConverged(std::chrono::seconds(60)));
}
}  // namespace

// The one check of the daemon's configuration, made by the daemon and by the
// monitor: every way a user gets a value wrong is refused with the key and
// its line, and what is right is read as the daemon will use it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fakes/test-util.h"
#include "lib/base/utility.h"
#include "lib/conf/startup-check.h"

namespace {

using sftest::TempDir;

std::string All(const std::vector<ConfigProblem>& problems) {
  std::string s;
  for (const ConfigProblem& p : problems) s += std::to_string(p.status) + " " + p.text + "\n";
  return s;
}

TEST(StartupCheckTest, EveryBadValueIsRefusedWithItsKeyAndLineAndGoodOnesAreReadAsUsed) {
  TempDir dir;
  for (const char* d : {"home", "home/sync", "data", "data/db", "data/used-db", "data/conf"})
    ASSERT_EQ(::mkdir(dir.Sub(d).c_str(), 0755), 0);
  sftest::WriteFile(dir.Sub("data/used-db/event-db.sqlite"), "");
  sftest::WriteFile(dir.Sub("data/conf/filter"), "[Version]\nmajor = 1\nminor = 0\n");
  sftest::WriteFile(dir.Sub("a-file"), "x");
  const std::string conf = dir.Sub("client.conf");
  // Five lines that work; a case's lines follow from line 6 on (a later
  // line replaces an earlier one) or replace them all.
  const std::string good = "watch = \"" + dir.Sub("home/sync") + "\"\ndb_loc = \"" +
                           dir.Sub("data/db") +
                           "\"\nsession = s-1\nserver = 127.0.0.1\nport = 6690\n";
  const char* home = std::getenv("HOME");
  const std::string saved_home = home != nullptr ? home : "";
  ::setenv("HOME", dir.Sub("home").c_str(), 1);

  struct Case {
    std::string text;  // appended to `good`; a leading '!' replaces it instead
    int status;        // of the first fatal problem; 0: none is fatal
    std::vector<std::string> says;
    std::function<void(const ClientConfig&)> also = nullptr;
  };
  const std::string at6 = conf + ", line 6: ";
  const Case cases[] = {
      {"", 0, {}},
      // Ports: zero, too large, negative, not a number, empty, missing.
      {"port = 0\n", kStartConfig, {at6 + "`port = 0` is not a port"}},
      {"port = 65536\n", kStartConfig, {at6 + "`port = 65536` is not a port"}},
      {"port = -1\n", kStartConfig, {"`port = -1` is not a port"}},
      {"port = 66x\n", kStartConfig, {"`port = 66x` is not a port"}},
      {"ProxySrvPort = 99999\n", kStartConfig, {"`ProxySrvPort = 99999` is not a port"}},
      {"port = \"\"\n", kStartConfig, {"names no server port: add `port = PORT`"}},
      {"!watch = /w\ndb_loc = /d\nsession = s\nserver = h\n",
       kStartConfig,
       {"names no server port"}},
      // Types and ranges.
      {"worker_count = lots\n",
       kStartConfig,
       {at6 + "`worker_count = lots` is not a whole number from 1 to 64"}},
      {"worker_count = 0\n", kStartConfig, {"`worker_count = 0` is not a whole number"}},
      {"native_client = True\n",
       kStartConfig,
       {"`native_client = True` is neither true nor false"}},
      {"UseSSL = yes\n", kStartConfig, {"`UseSSL = yes` is neither true nor false"}},
      {"proto_version = 4\n", kStartConfig, {"`proto_version = 4` is not a protocol version"}},
      {"trash_max_days = 2w\n", kStartConfig, {"`trash_max_days = 2w` is not a whole number"}},
      {"rescan_interval = 0\n", kStartConfig, {"`rescan_interval = 0`"}},
      {"proto_version = 41\nworker_count = 64\ntrash_max_mb = 0\nUseSSL = false\n",
       0,
       {},
       [](const ClientConfig& c) {
         EXPECT_EQ(c.Number(L"proto_version"), 41);
         EXPECT_EQ(c.Number(L"worker_count"), 64);
         EXPECT_EQ(c.Number(L"trash_max_mb"), 0);
         EXPECT_EQ(c.Number(L"trash_max_days"), 30);  // absent: the default
       }},
      // A typo is a warning, once, with the key meant.
      {"wacth = /elsewhere\n",
       0,
       {at6 + "unknown key `wacth` is ignored (did you mean `watch`?)"},
       [](const ClientConfig& c) {
         EXPECT_EQ(c.problems().size(), 1u);
         EXPECT_FALSE(c.problems()[0].fatal());
       }},
      // The sample's placeholder, and required keys.
      {"session = \"CHANGE-ME\"\n",
       kStartConfig,
       {at6 + "`session = CHANGE-ME` is the sample's placeholder"}},
      {"!db_loc = /d\n",
       kStartConfig,
       {conf + " names no sync folder", "names no session", "names no server:"}},
      // A leading ~/ is the home folder; another ~ form is refused.
      {"watch = ~/sync/\ndb_loc = \"~/../data/db\"\n",
       0,
       {},
       [&](const ClientConfig& c) {
         EXPECT_EQ(c.Text(L"watch"), Utf8ToWideLossy(dir.Sub("home/sync")));
         EXPECT_EQ(c.DbDir(), Utf8ToWideLossy(dir.Sub("home/../data/db")));
       }},
      {"watch = ~root/sync\n",
       kStartConfig,
       {at6 + "`watch = ~root/sync`: only ~/ (your home folder) is understood"}},
      // A malformed line is named by its number.
      {"port = 1\nserver = two words\n",
       kStartConfig,
       {"cannot use the configuration " + conf + ": line 7 is not `key = value`"}},
      // Keys that contradict each other.
      {"proto_version = 3\nUseSSL = true\n",
       kStartConfig,
       {"sets UseSSL, but protocol 3 (proto_version = 3) never uses TLS"}},
      {"SSLCertPin = ab\n", kStartConfig, {"sets SSLCertPin, which check the server's"}},
      {"UseTunnel = true\nTunnelSrvIP = 10.0.0.1\n",
       kStartConfig,
       {"sets UseTunnel = true but names no relay"}},
      // Folders: never created or guessed.
      // A first start makes the sync folder; after one, a missing folder
      // is refused (a disk that is not mounted is not filled anew).
      {"watch = " + dir.Sub("home/new") + "\n", 0, {}},
      {"watch = " + dir.Sub("home/gone") + "\ndb_loc = " + dir.Sub("data/used-db") + "\n",
       kStartFolder,
       {"the sync folder " + dir.Sub("home/gone") + " does not exist: create it"}},
      {"watch = " + dir.Sub("a-file") + "\n", kStartFolder, {"is not a folder"}},
      {"db_loc = " + dir.Sub("home/sync/db") + "\n",
       kStartFolder,
       {"lies inside the sync folder", "move `db_loc`"}},
      {"db_loc = " + dir.Sub("a-file/db") + "\n",
       kStartFolder,
       {"the database folder " + dir.Sub("a-file/db") + " cannot be made: " + dir.Sub("a-file") +
        " is not a folder"}},
      {"db_loc = " + dir.Sub("other/db") + "\n",
       kStartConfig,
       {"no filter file at " + dir.Sub("other/conf/filter")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    sftest::WriteFile(conf, c.text.compare(0, 1, "!") == 0 ? c.text.substr(1) : good + c.text);
    const ClientConfig cfg = ClientConfig::Load(Utf8ToWideLossy(conf));
    const std::vector<ConfigProblem> problems = CheckClientConfig(cfg);
    int first_fatal = 0;
    for (const ConfigProblem& p : problems) {
      EXPECT_EQ(p.text.find('\n'), std::string::npos) << p.text;
      if (p.fatal() && first_fatal == 0) first_fatal = p.status;
    }
    EXPECT_EQ(first_fatal, c.status) << All(problems);
    for (const std::string& s : c.says) EXPECT_NE(All(problems).find(s), std::string::npos) << s;
    if (c.says.empty()) {
      EXPECT_TRUE(problems.empty()) << All(problems);
    }
    if (c.also) c.also(cfg);
  }

  const ClientConfig none = ClientConfig::Load(Utf8ToWideLossy(dir.Sub("absent.conf")));
  const std::vector<ConfigProblem> p = CheckClientConfig(none);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].status, kStartConfig);
  EXPECT_NE(p[0].text.find("cannot use the configuration " + dir.Sub("absent.conf") +
                           ": No such file or directory; name an existing configuration file"),
            std::string::npos)
      << p[0].text;
  EXPECT_TRUE(none.Text(L"server").empty());  // nothing is made up in its place

  if (home != nullptr) ::setenv("HOME", saved_home.c_str(), 1);
}

}  // namespace

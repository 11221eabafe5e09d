// The server as a network service facing clients that never log in: a flood
// of silent connections, connections that take too long to log in, and
// connections guessing credentials must not lock out a client that logs in.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "fakes/daemon-runner.h"
#include "lib/base/utility.h"
#include "server-fixture.h"

namespace sftest {
namespace {

using namespace std::chrono_literals;

class ConnectionGateTest : public ServerFixture {
 protected:
  // The session channel request with session "s1", answered OK.
  static ::testing::AssertionResult LogIn(RawConn& c) {
    const std::string ok = Golden("response_connect_ok.hex");
    if (!c.Send(Golden("request_connect.hex"))) return ::testing::AssertionFailure() << "send";
    const std::string got = c.Recv(ok.size());
    if (got != ok) return ::testing::AssertionFailure() << "answer " << Hex(got);
    return ::testing::AssertionSuccess();
  }
  // A test-connection exchange: proves the connection was admitted, and
  // does not log in.
  static ::testing::AssertionResult Probe(RawConn& c) {
    Bytes want;
    want.header(3, SCMD_TEST_CONN).sec8(SPROTO_ID_RES, SPROTO_RES_OK);
    want.sec8(SPROTO_ID_PROTO_VERSION, 4).secstr(SPROTO_ID_SERIAL_NUMBER, "SF-REFERENCE-0001");
    want.secstr(SPROTO_ID_SERVER_ID, "syncfolder-server");
    if (!c.Send(Bytes().header(3, SCMD_TEST_CONN))) {
      return ::testing::AssertionFailure() << "send";
    }
    const std::string got = c.Recv(want.str().size());
    if (got != want.str()) return ::testing::AssertionFailure() << "answer " << Hex(got);
    return ::testing::AssertionSuccess();
  }
};

TEST_F(ConnectionGateTest, ASilentFloodFromTheClientsOwnAddressDoesNotLockOutTheDaemon) {
  // Silent connections live longer than the test: only the room made by
  // pushing them out lets the daemon in.
  opt.login_timeout_ms = 600000;
  Start();
  ASSERT_EQ(HookPutBytes(store(), "/from-server.txt", "down", kGoldenTime), 0);
  std::vector<std::unique_ptr<RawConn>> flood;
  for (size_t i = 0; i < opt.max_connections; ++i) {
    flood.push_back(std::make_unique<RawConn>(server->port()));
  }
  ASSERT_TRUE(WaitFor([&] { return server->AcceptedConnections() >= opt.max_connections; }));

  DaemonSandbox box;
  box.config()["port"] = std::to_string(server->port());
  box.config()["session"] = "s1";
  box.WriteConfig();
  ChildProcess daemon;
  ASSERT_TRUE(box.StartDaemon(daemon));
  // Well below the minute for which the flood used to hold every place.
  EXPECT_TRUE(WaitFor([&] { return ReadFile(box.Root() + "/from-server.txt") == "down"; }, 40s))
      << box.ReadLog();
  WriteFile(box.Root() + "/from-client.txt", "up");
  EXPECT_TRUE(WaitFor([&] { return OnDisk("/from-client.txt") == "up"; }, 40s)) << box.ReadLog();
  ASSERT_TRUE(daemon.WriteStdin("\x01"));
  EXPECT_EQ(daemon.Wait(), 0);
}

TEST_F(ConnectionGateTest, CapsPerAddressAndOnSilentConnectionsNeverPushOutALoggedInOne) {
  // 6 per address, 2 not logged in.
  opt.max_connections = 8;
  Start();
  std::vector<std::unique_ptr<RawConn>> other;
  for (int i = 0; i < 6; ++i) {
    other.push_back(std::make_unique<RawConn>(server->port(), "127.0.0.2"));
    ASSERT_TRUE(LogIn(*other.back()));
  }
  RawConn seventh(server->port(), "127.0.0.2");
  EXPECT_TRUE(seventh.WaitClosed()) << "an address beyond its share";

  // From another address, silent connections take turns in their budget.
  std::vector<std::unique_ptr<RawConn>> silent;
  for (int i = 0; i < 3; ++i) {
    silent.push_back(std::make_unique<RawConn>(server->port()));
    ASSERT_TRUE(Probe(*silent.back()));
  }
  EXPECT_TRUE(silent[0]->WaitClosed());
  // The server is full: a newcomer takes the place of the oldest silent
  // one, and logs in.
  RawConn mine(server->port());
  ASSERT_TRUE(LogIn(mine));
  EXPECT_TRUE(silent[1]->WaitClosed());
  EXPECT_TRUE(Probe(*silent[2]));
  for (auto& c : other) EXPECT_TRUE(LogIn(*c));

  RawConn last(server->port());
  ASSERT_TRUE(LogIn(last));
  EXPECT_TRUE(silent[2]->WaitClosed());
  // Every place is held by a logged-in connection now.
  RawConn over(server->port());
  EXPECT_TRUE(over.WaitClosed());
  EXPECT_EQ(server->RefusedConnections(), 2u);
  EXPECT_EQ(server->PushedOutConnections(), 3u);
  for (auto& c : other) EXPECT_TRUE(LogIn(*c));
  EXPECT_TRUE(LogIn(mine));
  EXPECT_TRUE(LogIn(last));
}

TEST_F(ConnectionGateTest, AConnectionNotLoggedInByTheDeadlineIsClosed) {
  opt.login_timeout_ms = 3000;
  Start();
  RawConn in(server->port());
  ASSERT_TRUE(LogIn(in));
  RawConn silent(server->port()), half(server->port()), refused(server->port());
  ASSERT_TRUE(half.Send(Bytes().header(3, SCMD_EVT_PULL).u8(SPROTO_ID_SESSION)));
  const std::string no = Golden("response_connect_sessionerr.hex");
  Bytes forged;
  forged.header(3, SCMD_REQUEST_CONNECT).secstr(SPROTO_ID_SESSION, "forged");
  ASSERT_TRUE(refused.Send(forged));
  ASSERT_EQ(Hex(refused.Recv(no.size())), Hex(no));

  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(half.WaitClosed());
  EXPECT_TRUE(refused.WaitClosed());
  EXPECT_EQ(server->ExpiredConnections(), 3u);
  // Logged in before the deadline: still served after it.
  EXPECT_TRUE(LogIn(in));
}

TEST_F(ConnectionGateTest, RepeatedFailedLoginsCloseTheConnection) {
  Start();
  RawConn c(server->port());
  Bytes check;
  std::string enc;
  SyncPassEnc("wrong", enc);
  check.header(3, SCMD_USER_CHECK).secstr(SPROTO_ID_USER, "alice").secvar(SPROTO_ID_PASSWD, enc);
  ASSERT_TRUE(c.Send(check));
  Bytes passerr;
  passerr.header(3, SCMD_USER_CHECK).sec8(SPROTO_ID_RES, SPROTO_RES_PASSERR);
  EXPECT_EQ(Hex(c.Recv(passerr.str().size())), Hex(passerr));

  Bytes connect;
  connect.header(3, SCMD_REQUEST_CONNECT).secstr(SPROTO_ID_SESSION, "guess-1");
  ASSERT_TRUE(c.Send(connect));
  const std::string no = Golden("response_connect_sessionerr.hex");
  EXPECT_EQ(Hex(c.Recv(no.size())), Hex(no));

  // The third failure is answered as always, with no keep-alive granted,
  // and the connection ends.
  Bytes pull;
  pull.header(3, SCMD_EVT_PULL).secstr(SPROTO_ID_SESSION, "guess-2").sec64(SPROTO_ID_SID, 0);
  ASSERT_TRUE(c.Send(pull));
  Bytes last;
  last.header(3, SCMD_EVT_PULL).sec8(SPROTO_ID_RES, SPROTO_RES_SESSIONERR);
  last.sec32(SPROTO_ID_ALIVE, 0);
  EXPECT_EQ(Hex(c.Recv(last.str().size())), Hex(last));
  EXPECT_TRUE(c.WaitClosed());

  RawConn next(server->port());
  EXPECT_TRUE(LogIn(next));
}

}  // namespace
}  // namespace sftest

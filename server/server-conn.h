// One client connection of the reference server: reads a request header,
// parses the whole request, decides with the store, answers, and loops until
// the client goes away, a keep-alive of 0 was granted, the request stream is
// broken, too many logins failed, or the server stops.
//
// Runs on its own thread (started by SyncServer). It waits only in its
// channel's reads and writes; the server's stop flag and a shutdown of the
// socket end those waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "lib/net/channel.h"
#include "server/server-proto.h"
#include "server/server-store.h"

class SyncServer;

using sfsrv::NodeOpRequest;
using sfsrv::PayloadBudget;
using sfsrv::UploadRequest;

class ServerConnection {
 public:
  // `tls`: the client sent the TLS request header (already consumed), so
  // the connection continues as a TLS server session.
  ServerConnection(SyncServer& server, uint64_t id, bool tls = false);
  // Adopts the accepted socket (running the TLS hand-shake when asked). 0,
  // or the channel's error (the socket is then closed unless the error is
  // ERR_INVAL).
  [[nodiscard]] int Adopt(int fd);
  // The request loop. Returns when the connection should end; the caller
  // destroys the object, which closes the socket.
  void Run();

 private:
  // Each handler parses its request and answers. 0: keep the connection;
  // negative: close it (broken stream, scripted cut, keep-alive 0).
  [[nodiscard]] int Dispatch(uint8_t cmd);
  [[nodiscard]] int OnTestConn();
  [[nodiscard]] int OnAuth();
  [[nodiscard]] int OnAuth2();
  [[nodiscard]] int OnUserCheck();
  [[nodiscard]] int OnListView();
  [[nodiscard]] int OnConnect();
  [[nodiscard]] int OnPull();
  [[nodiscard]] int OnDownload();
  [[nodiscard]] int OnUpload(UploadRequest& req, uint8_t cmd);
  [[nodiscard]] int OnNodeOp(const NodeOpRequest& req);
  [[nodiscard]] int OnRemove();
  [[nodiscard]] int OnUnknown(uint8_t cmd);

  // The keep-alive section and flush that end most answers; negative when
  // the connection must close afterwards.
  [[nodiscard]] int Finish();
  // Every check of a credential goes through these two, which tell the
  // server of the first success and count the failures.
  [[nodiscard]] bool KnownSession(const std::wstring& session, std::string& user);
  // 0 or SPROTO_RES_USRERR / SPROTO_RES_PASSERR.
  [[nodiscard]] uint8_t CheckPassword(const std::wstring& user, const std::wstring& password);
  void Credentials(bool ok);
  [[nodiscard]] uint8_t CheckAuth2(const sfsrv::Auth2Block& b, std::string& user);
  bool TooManyFailures() const;
  // Checks the session and the path shared by the sync requests; on failure
  // `code` holds the result to answer.
  [[nodiscard]] bool Admit(const std::wstring& session, const std::wstring& path, SharePath& p,
                           uint8_t& code);
  // Receives, patches and verifies an upload's content, then stores it.
  // Returns the result to answer, or a negative code to close.
  [[nodiscard]] int ReceiveContent(const UploadRequest& req, const SharePath& p, ObjectRow& row);
  // The content to send for a download: a delta against the client's version
  // when one is kept and smaller, else the whole file.
  void ChooseContent(const SharePath& p, uint64_t client_base, const ObjectRow& cur,
                     UniqueFd& cur_fd, std::unique_ptr<StagedFile>& delta, UniqueFd& send_fd,
                     uint64_t& send_len, uint8_t& type);

  SyncServer& m_server;
  ServerStore& m_store;
  const uint64_t m_id;
  const bool m_tls;
  const std::unique_ptr<Channel> m_channel;
  Channel& m_ch;  // *m_channel
  PayloadBudget m_budget;
  std::string m_user;  // behind the last admitted session
  bool m_loggedIn = false;
  int m_failedLogins = 0;
};

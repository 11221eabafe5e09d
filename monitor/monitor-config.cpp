#include "monitor/monitor-config.h"

#include "lib/base/utility.h"
#include "lib/conf/startup-check.h"

namespace monitor {

std::string MonitorConfig::DbDir() const {
  return WideToUtf8Lossy(source.DbDir());
}

MonitorConfig LoadConfig(const std::string& path) {
  MonitorConfig cfg;
  cfg.source = ClientConfig::Load(Utf8ToWideLossy(path));
  const ClientConfig& c = cfg.source;
  cfg.path = c.shown_path();
  cfg.readable = c.readable();
  cfg.read_error = c.read_error();
  auto text = [&c](const wchar_t* key) { return WideToUtf8Lossy(c.Text(key)); };
  auto number = [&c](const wchar_t* key) { return static_cast<int>(c.Number(key)); };
  cfg.watch = text(L"watch");
  cfg.db_loc = text(L"db_loc");
  cfg.session = text(L"session");
  cfg.server = text(L"server");
  cfg.port = number(L"port");
  cfg.proto_version = number(L"proto_version");
  cfg.native_client = c.Bool(L"native_client");
  cfg.use_proxy = c.Bool(L"UseProxy");
  cfg.proxy_ip = text(L"ProxySrvIP");
  cfg.proxy_port = number(L"ProxySrvPort");
  cfg.use_tunnel = c.Bool(L"UseTunnel");
  cfg.tunnel_ip = text(L"TunnelSrvIP");
  cfg.tunnel_port = number(L"TunnelSrvPort");
  return cfg;
}

std::vector<ConfigProblem> CheckConfig(const MonitorConfig& cfg) {
  return CheckClientConfig(cfg.source);
}

}  // namespace monitor

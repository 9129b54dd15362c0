// SPDX-License-Identifier: Apache-2.0
// The WinHTTP client against real peers: a Winsock HTTP server inside the
// test, and two that its harness starts beside it and names in the
// environment: HTTPS servers (a test CA's certificate, and an unknown CA's)
// and tinyproxy with Basic authentication.

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>
#include <winhttp.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/recording_logger.hpp"
#include "common/trusted_root_win.hpp"
#include "gateways/internet/http_client.hpp"
#include "gateways/internet/multitech_device.hpp"
#include "gateways/internet/proxy_password.hpp"
#include "platform/host_settings.hpp"

namespace talvenix::internet {
namespace {

using talvenix::testing::RecordingLogger;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// A loopback HTTP server on Winsock whose every connection follows a script
// (answer on a kept connection, redirect, drop, hang), each on a thread of its
// own. It keeps every request head it read, and counts connections.
class ScriptedPeer {
 public:
  using Script = std::function<void(ScriptedPeer&, SOCKET, int connection)>;
  explicit ScriptedPeer(Script script) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 8);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { Run(); });
  }
  ~ScriptedPeer() {
    stop_ = true;
    acceptor_.join();
    closesocket(listener_);
    std::lock_guard lock(mutex_);
    for (std::thread& t : served_) t.join();
    for (SOCKET s : sockets_) closesocket(s);
  }
  int port() const { return port_; }
  std::string url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  bool stopping() const { return stop_; }
  int connections() const { return connections_; }
  std::vector<std::string> heads() {
    std::lock_guard lock(mutex_);
    return heads_;
  }

  // Reads one request head and keeps it; empty when the client closed first
  // or the peer is stopping.
  std::string ReadRequest(SOCKET s) {
    std::string head;
    for (char c; head.find("\r\n\r\n") == std::string::npos && !stop_;) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(s, &readable);
      timeval wait{0, 50000};
      if (select(0, &readable, nullptr, nullptr, &wait) == 0) continue;
      if (recv(s, &c, 1, 0) != 1) break;
      head += c;
    }
    if (head.find("\r\n\r\n") == std::string::npos) return {};
    std::lock_guard lock(mutex_);
    heads_.push_back(head);
    return head;
  }
  static void Send(SOCKET s, const std::string& text) { send(s, text.data(), static_cast<int>(text.size()), 0); }
  static void Answer(SOCKET s, const std::string& body, const std::string& status = "200 OK") {
    Send(s, "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }

 private:
  void Run() {
    while (!stop_) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(listener_, &readable);
      timeval wait{0, 50000};
      if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
      SOCKET s = accept(listener_, nullptr, nullptr);
      if (s == INVALID_SOCKET) continue;
      BOOL on = TRUE;  // answers go out at once
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
      std::lock_guard lock(mutex_);
      sockets_.push_back(s);
      served_.emplace_back([this, s, n = connections_++] { script_(*this, s, n); });
    }
  }

  Script script_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::string> heads_;
  std::vector<SOCKET> sockets_;
  std::vector<std::thread> served_;
};

// The request target ("/path?query") of a request head.
std::string TargetOf(const std::string& head) {
  size_t start = head.find(' ') + 1;
  return head.substr(start, head.find(' ', start) - start);
}

// A header's value in a request head; empty when absent.
std::string HeaderOf(const std::string& head, const std::string& name) {
  size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  at += name.size() + 4;
  return head.substr(at, head.find("\r\n", at) - at);
}

// A loopback port that nobody listens on any more.
int ClosedPort() {
  ScriptedPeer gone([](ScriptedPeer&, SOCKET, int) {});
  return gone.port();
}

// Answers every request on a kept connection with its target.
void Echo(ScriptedPeer& peer, SOCKET s, int) {
  for (std::string head; !(head = peer.ReadRequest(s)).empty();) ScriptedPeer::Answer(s, "ID: " + TargetOf(head));
}

class WinHttpClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Talvenix tests"); }
  bool Send(HttpClient& client, const std::string& url) { return client.SendRequest(url, response_); }
  bool Logged(const std::string& text) { return log_.Has(Severity::Error, text); }

  // The harness's proxy as the host configures it, with Basic credentials:
  // on Windows the host's store is the registry, and each client here reads
  // a key of its own. Gives the settings path that names the key. The proxy is
  // named "localhost", not 127.0.0.1 as the targets are: Wine's WinHTTP takes
  // a proxy of the target's name for the target itself.
  static std::string ConfiguredProxy(const std::string& password) {
    std::string key = "Software\\Talvenix tests\\proxy " + password;
    HKEY section = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER,
                    (key + "\\" + std::string(talvenix::platform::kHostConfigKey) + "proxysettings").c_str(), 0,
                    nullptr, 0, KEY_WRITE, nullptr, &section, nullptr);
    auto text = [&](const char* name, const std::string& value) {
      RegSetValueExA(section, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
    };
    auto number = [&](const char* name, DWORD value) {
      RegSetValueExA(section, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    };
    number("Proxy_Enabled", 0xFFFFFFFF);  // VARIANT_TRUE
    text("Proxy_Server", "localhost");
    number("Proxy_Port", std::stoul("0" + Environment("TALVENIX_TEST_PROXY_PORT")));
    number("Proxy_CredentialsEnabled", 0xFFFFFFFF);
    text("Proxy_Username", "relay");
    text("Proxy_Password", talvenix::testing::ScrambleProxyPassword(password));
    number("Proxy_Authentication", 0);  // Basic
    RegCloseKey(section);
    return "HKEY_CURRENT_USER\\" + key;
  }

  RecordingLogger log_;
  std::string response_ = "stale";
};

TEST_F(WinHttpClientTest, GetsEachOnAConnectionOfItsOwnAndFollowsRedirects) {
  ScriptedPeer peer([](ScriptedPeer& peer, SOCKET s, int) {
    for (std::string head; !(head = peer.ReadRequest(s)).empty();) {
      if (TargetOf(head) == "/old")
        ScriptedPeer::Send(s, "HTTP/1.1 302 Found\r\nLocation: /new\r\nContent-Length: 0\r\n\r\n");
      else if (TargetOf(head) == "/missing")
        ScriptedPeer::Answer(s, "no", "404 Not Found");
      else if (TargetOf(head) == "/big")
        ScriptedPeer::Answer(s, "ID: 77" + std::string(70000, 'x'));
      else
        ScriptedPeer::Answer(s, "ID: " + TargetOf(head));
    }
  });
  HttpClient client(&log_);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Send(client, peer.url("/http/sendmsg?a=1&b=%2B" + std::to_string(i))));
    EXPECT_EQ(response_, "ID: /http/sendmsg?a=1&b=%2B" + std::to_string(i));
  }
  ASSERT_TRUE(Send(client, peer.url("/old")));
  EXPECT_EQ(response_, "ID: /new");

  auto heads = peer.heads();
  ASSERT_EQ(heads.size(), 5u);
  EXPECT_EQ(heads[0].substr(0, 4), "GET ");
  EXPECT_EQ(HeaderOf(heads[0], "User-Agent"), "Vantrel HTTPClient");
  EXPECT_EQ(HeaderOf(heads[0], "Accept"), "application/xml");
  EXPECT_EQ(TargetOf(heads[4]), "/new");
  // No kept connection: WinHTTP would send a request again by itself on one that died.
  EXPECT_EQ(peer.connections(), 5);
  EXPECT_TRUE(log_.Has(Severity::Information, "Succesfully connected to ...Status Code 200"));

  EXPECT_FALSE(Send(client, peer.url("/missing")));
  EXPECT_TRUE(Logged("Status code error, value: 404"));

  HttpClient capped(&log_, HttpLimits{.max_body_bytes = 1000});
  EXPECT_TRUE(Send(capped, peer.url("/big")));
  EXPECT_EQ(response_, "ID: 77" + std::string(994, 'x'));
  EXPECT_TRUE(log_.Has(Severity::Warning, "HttpClient - response from '" + peer.url("/big") +
                                              "' is longer than 1000 bytes: only the first 1000 bytes were kept"));
  EXPECT_TRUE(Send(capped, peer.url("/after-a-cut-answer")));
}

TEST_F(WinHttpClientTest, FailuresAreLoggedWithWinHttpsCodes) {
  int closed_port = ClosedPort();
  HttpClient client(&log_);
  EXPECT_FALSE(Send(client, "http://127.0.0.1:" + std::to_string(closed_port) + "/"));
  EXPECT_TRUE(Logged("WinHttpConnect to '127.0.0.1' on port: " + std::to_string(closed_port) +
                     " Failed, Error: " + std::to_string(ERROR_WINHTTP_CANNOT_CONNECT)));

  log_.Clear();
  EXPECT_FALSE(Send(client, "no url at all"));
  auto crack = log_.lines();
  ASSERT_FALSE(crack.empty());
  EXPECT_NE(crack[0].text.find(" in WinHttpCrackUrl, URL:'no url at all'"), std::string::npos) << crack[0].text;

  ScriptedPeer cut([](ScriptedPeer& peer, SOCKET s, int) {
    peer.ReadRequest(s);
    ScriptedPeer::Send(s, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nID: 5");
    shutdown(s, SD_BOTH);
  });
  EXPECT_TRUE(Send(client, cut.url())) << "the answer began: what arrived is the response";
  EXPECT_EQ(response_, "ID: 5");
}

TEST_F(WinHttpClientTest, AbortEndsAWaitForAHangingPeerAndHoldsUntilResume) {
  ScriptedPeer hanging([](ScriptedPeer& peer, SOCKET s, int) {
    peer.ReadRequest(s);
    while (!peer.stopping()) Sleep(20);
  });
  ScriptedPeer good(Echo);
  HttpClient client(&log_, HttpLimits{.idle_timeout_s = 60, .total_timeout_s = 120});
  std::thread aborter([&] {
    for (int i = 0; i < 500 && hanging.heads().empty(); ++i) Sleep(20);
    client.Abort();
  });
  HttpRequest request;
  request.url = hanging.url();
  HttpResult result = client.Get(request);
  aborter.join();
  EXPECT_TRUE(result.aborted) << "a wait that only a time-out ended: " << result.error_text;
  EXPECT_FALSE(result.ok());

  request.url = good.url();
  EXPECT_TRUE(client.Get(request).aborted) << "later requests stay aborted until Resume";
  EXPECT_TRUE(good.heads().empty());
  client.Resume();
  EXPECT_TRUE(client.Get(request).ok());
}

// The Multi-Tech device's requests over WinHTTP: what each outcome means to
// the gateway, and the log lines that name WinHTTP's error. The device takes
// the second request and drops the connection unanswered: the request went
// out with no answer (the device may have it) and must not reach it again.
TEST_F(WinHttpClientTest, DeviceRequestsTellAnAnswerADropAndAnUnreachableDevice) {
  ScriptedPeer device([](ScriptedPeer& peer, SOCKET s, int connection) {
    if (connection != 1) {
      if (!peer.ReadRequest(s).empty()) ScriptedPeer::Answer(s, "ID: 17");
      return;
    }
    peer.ReadRequest(s);
    shutdown(s, SD_BOTH);
  });
  multitech::DeviceConnection connection(&log_);
  std::string response;
  EXPECT_EQ(connection.send_request(response, "/sendmsg?user=u&passwd=p", u"127.0.0.1", device.port(), false),
            TransportOutcome::kAnswered);
  EXPECT_EQ(response, "ID: 17");
  EXPECT_EQ(HeaderOf(device.heads()[0], "User-Agent"), "Vantrel Orlinda Multi-tech ISMS");
  EXPECT_EQ(connection.send_request(response, "/sendmsg?again", u"127.0.0.1", device.port(), false),
            TransportOutcome::kMaybeTaken);
  EXPECT_EQ(device.heads().size(), 2u) << "the second request went out again";
  EXPECT_EQ(connection.send_request(response, "/querymsg?", u"127.0.0.1", device.port(), true),
            TransportOutcome::kAnswered);
  EXPECT_EQ(device.heads().size(), 3u);

  int closed_port = ClosedPort();
  log_.Clear();
  EXPECT_EQ(connection.send_request(response, "/recvmsg?", u"127.0.0.1", static_cast<uint16_t>(closed_port), false),
            TransportOutcome::kNotSent);
  auto lines = log_.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].text.rfind("WinHttpConnect failed on 88GET request, error: 12029 (", 0), 0u) << lines[0].text;
}

// The harness's TLS peers and the test CA, which goes into this prefix's
// trusted roots: WinHTTP trusts only the system's store.
class WinHttpsTest : public WinHttpClientTest {
 protected:
  static void SetUpTestSuite() {
    WinHttpClientTest::SetUpTestSuite();
    trusted_ = talvenix::testing::TrustCertificate(Environment("TALVENIX_TEST_CA"));
  }
  void SetUp() override { ASSERT_TRUE(trusted_) << "run by the harness, which names the test CA"; }
  static inline bool trusted_ = false;
};

// The certificates name the peer "localhost" and 127.0.0.1; Wine's WinHTTP
// matches host names only, so the URLs name "localhost".
TEST_F(WinHttpsTest, TheTestCaIsTrustedAndAnUnknownCaIsNot) {
  HttpClient client(&log_);
  ASSERT_TRUE(Send(client, "https://localhost:" + Environment("TALVENIX_TEST_HTTPS_PORT") + "/"));
  EXPECT_EQ(response_, "ID: secure");

  log_.Clear();
  EXPECT_FALSE(Send(client, "https://localhost:" + Environment("TALVENIX_TEST_ROGUE_HTTPS_PORT") + "/"));
  auto lines = log_.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].text.rfind("WinHttpSendRequest failed, Error 12", 0), 0u) << lines[0].text;
}

TEST_F(WinHttpClientTest, ConfiguredProxyWithBasicCredentials) {
  ASSERT_FALSE(Environment("TALVENIX_TEST_PROXY_PORT").empty()) << "run by the harness, which starts the proxy";
  ScriptedPeer peer(Echo);
  HttpClient client(&log_);
  ASSERT_TRUE(client.LoadProxySettings(ConfiguredProxy(Environment("TALVENIX_TEST_PROXY_PASSWORD"))));
  ASSERT_TRUE(Send(client, peer.url("/via")));
  ASSERT_EQ(peer.heads().size(), 1u);
  EXPECT_NE(HeaderOf(peer.heads()[0], "Via").find("tinyproxy"), std::string::npos)
      << "the request came through the proxy";

  HttpClient wrong(&log_);
  ASSERT_TRUE(wrong.LoadProxySettings(ConfiguredProxy("guess")));
  log_.Clear();
  EXPECT_FALSE(Send(wrong, peer.url("/refused")));
  // tinyproxy refuses credentials with 401 where other proxies answer 407.
  EXPECT_TRUE(Logged("Status code error, value: 407") || Logged("Status code error, value: 401"));
  EXPECT_EQ(peer.heads().size(), 1u);

  // A device request never uses the configured proxy nor its credentials.
  HttpRequest device;
  device.url = peer.url("/device");
  device.proxy = ProxyUse::kSystemWithoutCredentials;
  EXPECT_TRUE(wrong.Get(device).ok());
  EXPECT_EQ(HeaderOf(peer.heads().back(), "Via"), "");
}

// The user's system proxy as the Internet options keep it: the documented
// record of the "DefaultConnectionSettings" value (a header, then the proxy,
// the bypass list and the configuration script's URL, each with its length).
// The previous value comes back when the object goes.
class SystemProxy {
 public:
  static constexpr DWORD kDirect = 1, kNamed = 2, kScript = 4;
  SystemProxy(DWORD flags, const std::string& proxy, const std::string& bypass, const std::string& script) {
    RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
    DWORD size = 0;
    if (RegQueryValueExA(key_, kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
      saved_.resize(size);
      RegQueryValueExA(key_, kValue, nullptr, nullptr, saved_.data(), &size);
      had_value_ = true;
    }
    std::vector<BYTE> record;
    auto number = [&](DWORD n) {
      record.insert(record.end(), reinterpret_cast<BYTE*>(&n), reinterpret_cast<BYTE*>(&n) + 4);
    };
    auto text = [&](const std::string& t) {
      number(static_cast<DWORD>(t.size()));
      record.insert(record.end(), t.begin(), t.end());
    };
    number(0x46);  // the record's version
    number(++counter_);
    number(flags);
    text(proxy);
    text(bypass);
    text(script);
    for (int i = 0; i < 8; ++i) number(0);
    RegSetValueExA(key_, kValue, 0, REG_BINARY, record.data(), static_cast<DWORD>(record.size()));
  }
  ~SystemProxy() {
    if (had_value_)
      RegSetValueExA(key_, kValue, 0, REG_BINARY, saved_.data(), static_cast<DWORD>(saved_.size()));
    else
      RegDeleteValueA(key_, kValue);
    RegCloseKey(key_);
  }

 private:
  static constexpr const char* kKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
  static constexpr const char* kValue = "DefaultConnectionSettings";
  static inline DWORD counter_ = 1000;
  HKEY key_ = nullptr;
  std::vector<BYTE> saved_;
  bool had_value_ = false;
};

// Without a configured proxy, each request follows the user's system proxy
// as it is at that moment: a named proxy, its bypass list, a configuration
// script. Device requests follow it too.
TEST_F(WinHttpClientTest, TheSystemProxyIsReadForEachRequest) {
  std::string open_proxy = "localhost:" + Environment("TALVENIX_TEST_OPEN_PROXY_PORT");
  ASSERT_NE(open_proxy, "localhost:") << "run by the harness, which starts the proxy";
  ScriptedPeer peer(Echo);
  ScriptedPeer script([&](ScriptedPeer& p, SOCKET s, int) {
    if (!p.ReadRequest(s).empty())
      ScriptedPeer::Answer(s, "function FindProxyForURL(url, host) { return \"PROXY " + open_proxy + "\"; }");
  });
  auto via_proxy = [&] { return HeaderOf(peer.heads().back(), "Via").find("tinyproxy") != std::string::npos; };
  HttpClient client(&log_);
  client.LoadProxySettings("HKEY_CURRENT_USER\\Software\\Talvenix tests\\no proxy");
  HttpRequest device;
  device.url = peer.url("/device");
  device.proxy = ProxyUse::kSystemWithoutCredentials;

  ASSERT_TRUE(Send(client, peer.url("/direct")));
  EXPECT_FALSE(via_proxy());
  {
    SystemProxy bypassed(SystemProxy::kDirect | SystemProxy::kNamed, open_proxy, "127.0.0.1", "");
    ASSERT_TRUE(Send(client, peer.url("/bypassed")));
    EXPECT_FALSE(via_proxy());
  }
  {
    // The bypass list that is no longer configured is gone as well.
    SystemProxy named(SystemProxy::kDirect | SystemProxy::kNamed, open_proxy, "", "");
    ASSERT_TRUE(Send(client, peer.url("/named")));
    EXPECT_TRUE(via_proxy());
    EXPECT_TRUE(client.Get(device).ok());
    EXPECT_TRUE(via_proxy()) << "the device request";
  }
  {
    SystemProxy scripted(SystemProxy::kDirect | SystemProxy::kScript, "", "", script.url("/proxy.pac"));
    ASSERT_TRUE(Send(client, peer.url("/scripted")));
    EXPECT_TRUE(via_proxy());
    EXPECT_EQ(client.proxy_state().mode, kProxyAutoConfigUrl);
  }
  ASSERT_TRUE(Send(client, peer.url("/direct-again")));
  EXPECT_FALSE(via_proxy());
}

}  // namespace
}  // namespace talvenix::internet

// SPDX-License-Identifier: Apache-2.0
// Messages per second through SendSMS (the real module, Clickatell gateway) to
// a local test server, against a bare libcurl loop of the same GET requests on
// one reused handle, in the same run. Also HTTPS, and the bare loop with a new
// connection per message (what sending without keep-alive costs).

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/temp_folder.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "hostkit/module.hpp"
#include "peers/http_peer.hpp"
#include "peers/test_certificates.hpp"

namespace {

using talvenix::host::Module;
using talvenix::testing::HttpPeer;

// The same request the gateway builds for this account and text.
constexpr const char* kQuery = "/http/sendmsg?api_id=k&mo=1&user=u&password=p&to=%2b15550100&text=bench+message";

struct World {
  talvenix::testing::TempFolder folder{"clickatell-bench"};
  talvenix::testing::TestCertificates certs;
  HttpPeer http;
  HttpPeer https{certs.server_cert(), certs.server_key()};
  World() {
    setenv("TALVENIX_CA_FILE", certs.ca_file().c_str(), 1);
    setenv("TALVENIX_HOST_SETTINGS", (folder.path() / "none.ini").c_str(), 1);
    for (const char* v : {"http_proxy", "https_proxy", "HTTPS_PROXY", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
      unsetenv(v);
    if (chdir(folder.path().c_str()) != 0) std::abort();
  }
};

World& TheWorld() {
  static World w;
  return w;
}

int32_t Ignore(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

void SendThroughModule(benchmark::State& state, bool secure) {
  World& w = TheWorld();
  Module& m = Module::Get();
  w.folder.Write("qvsmscomms.xml", talvenix::testing::ClickatellDocument({"k", "u", "p", ""},
                                                                         secure ? w.https.base(true) : w.http.base()));
  TalvexGenericOptions* options = nullptr;
  if (m.InitTalvex(0, Ignore, &options) != TALVEX_OK) {
    state.SkipWithError("InitTalvex failed");
    return;
  }
  char16_t text[64];
  TalvexSmsRequest request;
  for (auto _ : state) {
    std::memset(&request, 0, sizeof request);
    std::memcpy(text, u"bench message", sizeof u"bench message");
    request.text = text;
    request.text_capacity = 64;
    request.recipient = "+15550100";
    if (m.SendSMS(&request) != TALVEX_OK) state.SkipWithError("SendSMS failed");
  }
  m.Unint();
  state.SetItemsProcessed(state.iterations());
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

void BareCurl(benchmark::State& state, bool secure, bool new_connection) {
  World& w = TheWorld();
  std::string url = (secure ? w.https.base(true) : w.http.base()) + kQuery;
  CURL* curl = curl_easy_init();
  for (auto _ : state) {
    if (new_connection) {
      curl_easy_cleanup(curl);
      curl = curl_easy_init();
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
    curl_easy_setopt(curl, CURLOPT_CAINFO, w.certs.ca_file().c_str());
    if (curl_easy_perform(curl) != CURLE_OK) state.SkipWithError("curl failed");
  }
  curl_easy_cleanup(curl);
  state.SetItemsProcessed(state.iterations());
}

void BM_SendSMS_Http(benchmark::State& s) { SendThroughModule(s, false); }
void BM_BareCurl_Http(benchmark::State& s) { BareCurl(s, false, false); }
void BM_SendSMS_Https(benchmark::State& s) { SendThroughModule(s, true); }
void BM_BareCurl_Https(benchmark::State& s) { BareCurl(s, true, false); }
void BM_BareCurl_Https_NewConnectionEach(benchmark::State& s) { BareCurl(s, true, true); }
void BM_BareCurl_Http_NewConnectionEach(benchmark::State& s) { BareCurl(s, false, true); }

BENCHMARK(BM_SendSMS_Http)->UseRealTime();
BENCHMARK(BM_BareCurl_Http)->UseRealTime();
BENCHMARK(BM_SendSMS_Https)->UseRealTime();
BENCHMARK(BM_BareCurl_Https)->UseRealTime();
BENCHMARK(BM_BareCurl_Http_NewConnectionEach)->UseRealTime();
BENCHMARK(BM_BareCurl_Https_NewConnectionEach)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// Cost of one request on each transport path, against a loopback server:
// route resolution (the routing file is read on every call), the libcurl
// client and the curl executable.
//
//   build/test/bench/transport_bench [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "build_config.h"
#include "transport/curl_client.h"
#include "transport/exec_client.h"
#include "transport/loopback_server.h"
#include "transport/panel_file.h"
#include "transport/route.h"

namespace {

template <typename F>
void measure(const char* what, int rounds, F&& op) {
  op();  // one-off set-up (libcurl's global state) stays out of the figure
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) op();
  const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
  printf("%-40s %8d rounds %12.1f us/round\n", what, rounds, spent.count() / rounds);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 200;
  PanelDataFile node_file("node_url.pl");
  PanelDataFile family_file("v4.pl");
  LoopbackServer server;
  if (!server.ok()) {
    fprintf(stderr, "no loopback server\n");
    return 1;
  }
  server.set_reply(LoopbackServer::http_reply(200, std::string(4096, 'c')));
  const std::string url = server.base_url() + "/api/panel/getSoftListEn";

  measure("_get_route, no routing file", rounds * 50, [] { _get_route(); });
  node_file.write(std::string("{\"api-node\": {\"url\": \"api-node1.") + PL_SERVICE_DOMAIN +
                  "\", \"ip\": \"10.0.0.5\"}}");
  measure("_get_route, node form", rounds * 50, [] { _get_route(); });

  static char out[8192];
  measure("curl_get, 4 KiB answer", rounds, [&] { curl_get(url, out, sizeof out, 5); });
  int err = 0;
  measure("curl_post2, 4 KiB answer", rounds,
          [&] { curl_post2(url, "uid=1", "X-Token: t", 5, err); });
  std::string page;
  measure("httpPost (curl executable), 4 KiB", rounds / 10 + 1,
          [&] { httpPost(url, 5, {"uid=1"}, page); });
  return 0;
}

#include "transport/curl_client.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fail_call.h"
#include "transport/answer_limit.h"
#include "transport/loopback_server.h"
#include "transport/panel_file.h"

namespace {

using Family = LoopbackServer::Family;

class CurlClientTest : public ::testing::Test {
 protected:
  PanelDataFile family_file_{"v4.pl"};
  LoopbackServer server_;
  char out_[4096];
};

TEST_F(CurlClientTest, GetAndPostSendOneUserAgentLineAndTheBody) {
  ASSERT_TRUE(server_.ok());
  server_.set_reply(LoopbackServer::http_reply(200, "page one"));
  EXPECT_EQ(curl_get(server_.base_url() + "/list?x=1", out_, sizeof out_, 5), CURLE_OK);
  EXPECT_STREQ(out_, "page one");

  server_.set_reply(LoopbackServer::http_reply(500, "oops"));
  EXPECT_EQ(curl_post(server_.base_url() + "/send", "a=1&b=2", out_, sizeof out_, 5), CURLE_OK);
  EXPECT_STREQ(out_, "oops") << "the status is not examined";

  const std::vector<RecordedRequest> seen = server_.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].request_line, "GET /list?x=1 HTTP/1.1");
  EXPECT_EQ(seen[1].request_line, "POST /send HTTP/1.1");
  EXPECT_EQ(seen[1].body, "a=1&b=2");
  EXPECT_EQ(seen[1].header_values("Content-Type"),
            std::vector<std::string>{"application/x-www-form-urlencoded"});
  for (const RecordedRequest& r : seen) {
    EXPECT_EQ(r.header_values("User-Agent"), std::vector<std::string>{"ZQ-Panel"});
  }
}

TEST_F(CurlClientTest, CallerBufferIsNeverOverrun) {
  ASSERT_TRUE(server_.ok());
  server_.set_reply(LoopbackServer::http_reply(200, std::string(3000, 'z')));
  char buffer[16];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(curl_get(server_.base_url(), buffer, 8, 5), CURLE_OK);
  EXPECT_EQ(std::string(buffer), "zzzzzzz");
  EXPECT_EQ(std::string(buffer + 8, 8), "########");

  // Each chunk is appended as C text: a NUL byte ends it.
  server_.set_reply(LoopbackServer::http_reply(200, std::string("ab\0cd", 5)));
  EXPECT_EQ(curl_post(server_.base_url(), "", out_, sizeof out_, 5), CURLE_OK);
  EXPECT_STREQ(out_, "ab");
}

TEST_F(CurlClientTest, WriteData2RefusesEmptyChunks) {
  std::string sink;
  char data[] = "abc";
  EXPECT_EQ(write_data2(data, 0, 3, &sink), static_cast<size_t>(-1));
  EXPECT_EQ(write_data2(nullptr, 1, 3, &sink), static_cast<size_t>(-1));
  EXPECT_EQ(write_data2(data, 1, 3, &sink), 3u);
  EXPECT_EQ(sink, "abc");
}

TEST_F(CurlClientTest, Post2SendsCallerHeaderAfterUserAgent) {
  ASSERT_TRUE(server_.ok());
  server_.set_reply(LoopbackServer::http_reply(200, std::string("x\0y", 3)));
  int err = -1;
  EXPECT_EQ(curl_post2(server_.base_url() + "/p", "k=v", "X-Token: t1", 5, err),
            std::string("x\0y", 3));
  EXPECT_EQ(err, CURLE_OK);
  const std::vector<RecordedRequest> seen = server_.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].request_line, "POST /p HTTP/1.1");
  EXPECT_EQ(seen[0].body, "k=v");
  std::vector<std::string> ours;
  for (const std::string& line : seen[0].headers) {
    if (line.rfind("User-Agent:", 0) == 0 || line.rfind("X-Token:", 0) == 0) ours.push_back(line);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"User-Agent: ZQ-Panel", "X-Token: t1"}));
}

TEST_F(CurlClientTest, Post2NodeFormConnectsToTheAddressWithTheNodeHost) {
  ASSERT_TRUE(server_.ok());
  server_.set_reply(LoopbackServer::http_reply(200, "catalog"));
  const std::string node = "api-node3.service.example";
  const std::string route = node + "#" + server_.base_url() + "/api/panel";
  int err = -1;
  EXPECT_EQ(curl_post2(route + "/getSoftListEn", "uid=1", "X-Token: t1", 5, err), "catalog");
  EXPECT_EQ(err, CURLE_OK);
  const std::vector<RecordedRequest> seen = server_.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].request_line, "POST /api/panel/getSoftListEn HTTP/1.1");
  EXPECT_EQ(seen[0].header_values("Host"), std::vector<std::string>{node});
  EXPECT_EQ(seen[0].header_values("User-Agent"), std::vector<std::string>{"ZQ-Panel"});
  EXPECT_EQ(seen[0].header_values("X-Token"), std::vector<std::string>{"t1"});

  // One piece only: nothing is sent and err keeps the caller's value.
  for (const std::string& broken :
       {"#" + server_.base_url() + "/x", std::string("#http#"), std::string("##http")}) {
    err = -77;
    EXPECT_EQ(curl_post2(broken, "uid=1", "X-Token: t1", 5, err), "") << broken;
    EXPECT_EQ(err, -77) << broken;
  }
  EXPECT_EQ(server_.requests().size(), 1u);
}

TEST_F(CurlClientTest, Post2RefusesLineBreaksInHeaderValues) {
  ASSERT_TRUE(server_.ok());
  const std::string node = "api-node3.service.example";
  const std::string to = "#" + server_.base_url() + "/api/panel";
  for (const auto& [url, header] : std::vector<std::pair<std::string, std::string>>{
           {server_.base_url(), "X-Token: t1\r\nX-Injected: 1"},
           {server_.base_url(), "X-Token: t1\nX-Injected: 1"},
           {server_.base_url(), "X-Token: t1\r"},
           {node + "\r\nX-Injected: 1" + to, "X-Token: t1"},
           {node + "\n" + to, "X-Token: t1"}}) {
    int err = -1;
    EXPECT_EQ(curl_post2(url, "uid=1", header, 5, err), "") << url << header;
    EXPECT_EQ(err, CURLE_BAD_FUNCTION_ARGUMENT) << url << header;
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(CurlClientTest, BodyReceivedBeforeAFailureIsKept) {
  ASSERT_TRUE(server_.ok());
  server_.set_reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nhello");
  int err = -1;
  EXPECT_EQ(curl_post2(server_.base_url(), "", "X-A: 1", 5, err), "hello");
  EXPECT_EQ(err, CURLE_PARTIAL_FILE);
  EXPECT_EQ(curl_get(server_.base_url(), out_, sizeof out_, 5), CURLE_PARTIAL_FILE);
  EXPECT_STREQ(out_, "hello");
}

TEST_F(CurlClientTest, AnswerPastTheBoundIsRefused) {
  ASSERT_TRUE(server_.ok());
  // Announced by its length, or found out while it comes.
  const std::string body(kAnswerMaxSize + 1, 'b');
  for (const std::string& reply : {LoopbackServer::http_reply(200, body),
                                   "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body}) {
    server_.set_reply(reply);
    int err = -1;
    EXPECT_EQ(curl_post2(server_.base_url(), "", "X-A: 1", 10, err).size(), 0u);
    EXPECT_EQ(err, CURLE_FILESIZE_EXCEEDED);
    EXPECT_EQ(curl_get(server_.base_url(), out_, sizeof out_, 10), CURLE_FILESIZE_EXCEEDED);
    EXPECT_STREQ(out_, "");
  }
  // The bound itself is taken.
  std::string sink(kAnswerMaxSize - 3, 'b');
  char chunk[] = "abcd";
  EXPECT_EQ(write_data2(chunk, 1, 4, &sink), static_cast<size_t>(-1));
  EXPECT_EQ(write_data2(chunk, 1, 3, &sink), 3u);
  EXPECT_EQ(sink.size(), kAnswerMaxSize);
}

TEST_F(CurlClientTest, TimeOutEndsASilentTransfer) {
  ASSERT_TRUE(server_.ok());
  server_.set_hang(true);
  EXPECT_EQ(curl_get(server_.base_url(), out_, sizeof out_, 1), CURLE_OPERATION_TIMEDOUT);
  EXPECT_STREQ(out_, "");
  int err = -1;
  EXPECT_EQ(curl_post2(server_.base_url(), "a=1", "X-A: 1", 1, err), "");
  EXPECT_EQ(err, CURLE_OPERATION_TIMEDOUT);
}

TEST_F(CurlClientTest, RefusedConnectionIsReported) {
  const std::string url = "http://127.0.0.1:" + std::to_string(refused_port()) + "/";
  EXPECT_EQ(curl_get(url, out_, sizeof out_, 5), CURLE_COULDNT_CONNECT);
  int err = -1;
  EXPECT_EQ(curl_post2(url, "", "X-A: 1", 5, err), "");
  EXPECT_EQ(err, CURLE_COULDNT_CONNECT);
}

TEST_F(CurlClientTest, FamilyFileRestrictsTheAddressFamily) {
  LoopbackServer v6(Family::kV6);
  if (!v6.ok()) GTEST_SKIP() << "this machine has no IPv6 loopback address ::1";
  ASSERT_TRUE(server_.ok());

  struct Case {
    const char* text;  // nullptr: no file
    int family;
  };
  const Case cases[] = {{nullptr, 0}, {"", 0}, {"4 6 --", 0}, {"-6\n", 6}, {"-4", 4}, {"-6 -4", 4}};
  for (const Case& c : cases) {
    if (c.text == nullptr) {
      family_file_.remove();
    } else {
      family_file_.write(c.text);
    }
    const std::string label = c.text == nullptr ? "(no file)" : c.text;
    EXPECT_EQ(get_request_iptype(), c.family) << label;
    const bool v4_allowed = c.family != 6;
    const bool v6_allowed = c.family != 4;
    EXPECT_EQ(curl_get(server_.base_url(), out_, sizeof out_, 5) == CURLE_OK, v4_allowed) << label;
    int err = -1;
    curl_post2(v6.base_url(), "", "X-A: 1", 5, err);
    EXPECT_EQ(err == CURLE_OK, v6_allowed) << label;
  }
}

}  // namespace

TEST(CurlClientFailures, NoHandleOrHeaderListSendsNothing) {
  // The last two fail the caller's header line and the node's host line.
  const struct {
    PlFault fault;
    int err;
  } rows[] = {
      {{"curl_easy_init", ENOMEM}, CURLE_FAILED_INIT},
      {{"curl_slist_append", ENOMEM, 0, -1, "User-Agent"}, CURLE_OUT_OF_MEMORY},
      {{"curl_slist_append", ENOMEM, 0, -1, "X-Extra"}, CURLE_OUT_OF_MEMORY},
      {{"curl_slist_append", ENOMEM, 0, -1, "Host:"}, CURLE_OUT_OF_MEMORY},
  };
  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  server.set_reply(LoopbackServer::http_reply(200, "answer"));
  const std::string node = "node.example#" + server.base_url() + "/x";
  for (const auto& row : rows) {
    FailCall fail(row.fault);
    int err = 0;
    EXPECT_EQ(curl_post2(node, "a=1", "X-Extra: 1", 5, err, false), "") << row.fault.path;
    EXPECT_EQ(err, row.err) << row.fault.path;
    if (row.fault.path == nullptr || strcmp(row.fault.path, "User-Agent") == 0) {
      char out[16] = "junk";
      EXPECT_EQ(curl_post(server.base_url(), "a=1", out, sizeof out, 5), row.err);
      EXPECT_STREQ(out, "");
      EXPECT_EQ(fail.failed(), 2);
    } else {
      EXPECT_EQ(fail.failed(), 1);
    }
  }
  EXPECT_TRUE(server.requests().empty());
}

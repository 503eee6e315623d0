#include "transport/exec_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "transport/answer_limit.h"
#include "transport/loopback_server.h"
#include "util/util.h"

namespace {

TEST(ExecClientTest, BenignInputGivesTheUsualCommandLines) {
  EXPECT_EQ(_str_post({"a=1", "b=2"}), "-F \"a=1\" -F \"b=2\" ");
  EXPECT_EQ(_str_post({}), "");
  const std::string bin = _curl_bin() + " --max-filesize 33554432";
  EXPECT_EQ(_http_post_command("https://www.example.test/api/panel/x", 5, {"a=1", "b=2"}, false),
            bin +
                " -k -X POST -sS --connect-timeout 5  -H \"User-Agent: libAuth\" -F \"a=1\" -F "
                "\"b=2\"  https://www.example.test/api/panel/x 2>&1");
  EXPECT_EQ(_http_get_command("http://10.0.0.5:8080/a_b-c.d/%20e", 3, false),
            bin +
                " -k -sS --connect-timeout 3  -H \"User-Agent: libAuth\" "
                "http://10.0.0.5:8080/a_b-c.d/%20e 2>&1");
}

TEST(ExecClientTest, ShellSyntaxInInputIsQuoted) {
  EXPECT_EQ(_str_post({"q=a\"b$c`d\\e"}), "-F \"q=a\\\"b\\$c\\`d\\\\e\" ");
  EXPECT_EQ(_shell_url("http://h/p?a=1&b=2"), "'http://h/p?a=1&b=2'");
  EXPECT_EQ(_shell_url("http://h/it's"), "'http://h/it'\\''s'");
  EXPECT_EQ(_shell_url(""), "''");
}

TEST(ExecClientTest, UnsafeOrOverlongInputIsRefused) {
  EXPECT_EQ(_http_get_command("-o/tmp/x", 3, false), "");
  EXPECT_EQ(_http_get_command(std::string("http://h/\0; id", 14), 3, true), "");
  EXPECT_EQ(_http_post_command("http://h/", 3, {std::string("a=\0\"; id", 8)}, false), "");

  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  std::string out = "unchanged";
  const std::string base = server.base_url() + "/";
  EXPECT_FALSE(httpGet(base + std::string(kCurlCommandSize, 'a'), 3, out));
  EXPECT_FALSE(httpPost(base, 3, {"f=" + std::string(kCurlCommandSize, 'a')}, out));
  EXPECT_EQ(out, "unchanged");
  EXPECT_TRUE(server.requests().empty());
}

TEST(ExecClientTest, CurlErrorsFailAndHttpErrorPagesSucceed) {
  std::string out = "unchanged";
  const std::string refused = "http://127.0.0.1:" + std::to_string(refused_port()) + "/";
  EXPECT_FALSE(httpGet(refused, 3, out));
  EXPECT_FALSE(httpPost(refused, 3, {"a=1"}, out));
  EXPECT_EQ(out, "unchanged");

  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  server.set_reply(LoopbackServer::http_reply(500, "<h1>Internal error</h1>\n"));
  EXPECT_TRUE(httpPost(server.base_url() + "/api", 3, {"a=1", "b=2"}, out));
  EXPECT_EQ(out, "<h1>Internal error</h1>\n");

  const std::vector<RecordedRequest> seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].request_line, "POST /api HTTP/1.1");
  EXPECT_EQ(seen[0].header_values("User-Agent"), std::vector<std::string>{"libAuth"});
  EXPECT_NE(seen[0].body.find("name=\"a\"\r\n\r\n1\r\n"), std::string::npos) << seen[0].body;
  EXPECT_NE(seen[0].body.find("name=\"b\"\r\n\r\n2\r\n"), std::string::npos) << seen[0].body;
}

TEST(ExecClientTest, HostileInputReachesTheServerIntactAndRunsNothing) {
  ScratchDir dir;
  const std::string mark = dir.file("ran");
  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  server.set_reply(LoopbackServer::http_reply(200, "ok"));

  // Unquoted, the shell would start "touch" after the ";" ($IFS being a
  // blank), and "$(...)" or backquotes in a field would run inside its
  // double quotes.
  const std::string query = "/p?a=1&b=2;touch$IFS" + mark;
  const std::string value = "say \"hi\" $(touch " + mark + ") `touch " + mark + "` \\ end";
  std::string out;
  EXPECT_TRUE(httpPost(server.base_url() + query, 3, {"note=" + value}, out));
  EXPECT_EQ(out, "ok");
  EXPECT_TRUE(httpGet(server.base_url() + query, 3, out));

  const std::vector<RecordedRequest> seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].request_line, "POST " + query + " HTTP/1.1");
  EXPECT_NE(seen[0].body.find("name=\"note\"\r\n\r\n" + value + "\r\n"), std::string::npos)
      << seen[0].body;
  EXPECT_EQ(seen[1].request_line, "GET " + query + " HTTP/1.1");
  EXPECT_FALSE(file_exists(mark));
}

TEST(ExecClientTest, AnswerMayComeAfterTheConnectionTimeOut) {
  // The time-out bounds the connection only: a server that answers later
  // within the transfer allowance is heard.
  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  server.set_reply(LoopbackServer::http_reply(200, "late"));
  server.set_delay_ms(1500);
  std::string out;
  EXPECT_TRUE(httpGet(server.base_url(), 1, out));
  EXPECT_EQ(out, "late");
}

TEST(ExecClientTest, LongOutputIsCutToTheOutputBuffer) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  server.set_reply(LoopbackServer::http_reply(200, std::string(2 * kCurlOutputSize, 'p')));
  std::string out;
  EXPECT_TRUE(httpGet(server.base_url(), 3, out));
  EXPECT_EQ(out, std::string(kCurlOutputSize - 1, 'p'));
}

TEST(ExecClientTest, AnswerPastTheBoundFails) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  const std::string body(kAnswerMaxSize + 1, 'p');
  // Announced, curl refuses it; unannounced (read to the end of the
  // connection), curl reads on and is ended once past the bound.
  for (const std::string& reply : {LoopbackServer::http_reply(200, body),
                                   "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body}) {
    server.set_reply(reply);
    std::string out = "unchanged";
    EXPECT_FALSE(httpGet(server.base_url(), 3, out));
    EXPECT_FALSE(httpPost(server.base_url(), 3, {"a=1"}, out));
    EXPECT_TRUE(out == "unchanged") << out.size() << " bytes";
  }
}

}  // namespace

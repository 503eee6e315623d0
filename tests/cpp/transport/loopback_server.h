// A small HTTP/1.1 server on a loopback address for the transport tests.  It
// serves one connection at a time on its own thread, records each request
// (request line, header lines in order, body) and answers with the raw bytes
// it was given, or never answers when told to hang.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/handles.h"

struct RecordedRequest {
  std::string request_line;
  std::vector<std::string> headers;  // "Name: value", in the order received
  std::string body;

  // Values of every header called name (case-insensitive), in order.
  std::vector<std::string> header_values(const std::string& name) const {
    std::vector<std::string> values;
    for (const std::string& line : headers) {
      const size_t colon = line.find(':');
      if (colon == name.size() && strncasecmp(line.c_str(), name.c_str(), colon) == 0) {
        size_t start = colon + 1;
        while (start < line.size() && line[start] == ' ') ++start;
        values.push_back(line.substr(start));
      }
    }
    return values;
  }
};

class LoopbackServer {
 public:
  enum class Family { kV4, kV6 };

  explicit LoopbackServer(Family family = Family::kV4) : family_(family) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return;
    stop_read_ = Fd(pipe_fds[0]);
    stop_write_ = Fd(pipe_fds[1]);
    if (!listen_on_loopback()) return;
    thread_ = std::thread([this] { serve(); });
  }

  ~LoopbackServer() {
    if (stop_write_) {
      const char c = 'x';
      if (write(stop_write_.get(), &c, 1) < 0) perror("write");
    }
    if (thread_.joinable()) thread_.join();
  }

  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // False when the address family is not available on this machine.
  bool ok() const { return thread_.joinable(); }
  int port() const { return port_; }
  std::string base_url() const {
    const char* address = family_ == Family::kV4 ? "127.0.0.1" : "[::1]";
    return "http://" + std::string(address) + ":" + std::to_string(port_);
  }

  // Raw bytes sent after each request has been read; the connection is then
  // closed.  The default is an empty 200 answer.
  void set_reply(const std::string& raw) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = raw;
  }
  // Wait this long after reading a request before answering.
  void set_delay_ms(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    delay_ms_ = ms;
  }
  // Read requests but never answer until the server is destroyed.
  void set_hang(bool hang) {
    std::lock_guard<std::mutex> lock(mutex_);
    hang_ = hang;
  }
  std::vector<RecordedRequest> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  static std::string http_reply(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
  }

 private:
  bool listen_on_loopback() {
    const int domain = family_ == Family::kV4 ? AF_INET : AF_INET6;
    Fd fd(socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    sockaddr_storage addr{};
    socklen_t len;
    if (family_ == Family::kV4) {
      auto* a = reinterpret_cast<sockaddr_in*>(&addr);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof(sockaddr_in);
    } else {
      auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      len = sizeof(sockaddr_in6);
    }
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return false;
    if (listen(fd.get(), 8) != 0) return false;
    if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
    port_ = ntohs(family_ == Family::kV4 ? reinterpret_cast<sockaddr_in*>(&addr)->sin_port
                                         : reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    listen_ = std::move(fd);
    return true;
  }

  // Waits until fd is readable; false when the server is stopping or after
  // timeout_ms of silence (-1: no limit).
  bool wait_readable(int fd, int timeout_ms = 10000) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0) return false;
    return (fds[1].revents & POLLIN) == 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0;
  }

  void serve() {
    while (wait_readable(listen_.get(), -1)) {
      Fd conn(accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (conn) handle(conn.get());
    }
  }

  // Reads more bytes onto data; false at end of stream, on error or stop.
  bool read_more(int fd, std::string& data) {
    if (!wait_readable(fd)) return false;
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    data.append(buf, static_cast<size_t>(n));
    return true;
  }

  static void send_all(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  void handle(int fd) {
    std::string data;
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
      if (!read_more(fd, data)) return;
    }
    RecordedRequest request;
    size_t pos = 0;
    bool first = true;
    while (pos < end) {
      size_t eol = data.find("\r\n", pos);
      std::string line = data.substr(pos, eol - pos);
      if (first) {
        request.request_line = line;
        first = false;
      } else {
        request.headers.push_back(line);
      }
      pos = eol + 2;
    }
    const std::vector<std::string> lengths = request.header_values("Content-Length");
    const size_t length = lengths.empty() ? 0 : std::strtoul(lengths[0].c_str(), nullptr, 10);
    for (const std::string& expect : request.header_values("Expect")) {
      if (strcasecmp(expect.c_str(), "100-continue") == 0)
        send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    data.erase(0, end + 4);
    while (data.size() < length && read_more(fd, data)) {
    }
    request.body = data;

    std::string reply;
    bool hang;
    int delay_ms;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
      reply = reply_;
      hang = hang_;
      delay_ms = delay_ms_;
    }
    pollfd stop = {stop_read_.get(), POLLIN, 0};
    if (hang) {
      poll(&stop, 1, -1);
      return;
    }
    if (delay_ms > 0 && poll(&stop, 1, delay_ms) != 0) return;
    send_all(fd, reply);
    shutdown(fd, SHUT_WR);
  }

  Family family_;
  Fd stop_read_;
  Fd stop_write_;
  Fd listen_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::string reply_ = http_reply(200, "");
  bool hang_ = false;
  int delay_ms_ = 0;
  std::vector<RecordedRequest> requests_;
};

// A loopback port on which nothing listens (taken and let go at once).
inline int refused_port() {
  Fd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return 1;
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

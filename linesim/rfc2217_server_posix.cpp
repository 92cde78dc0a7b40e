#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "linesim/rfc2217_server.h"

namespace davrilon::linesim {
namespace {

// The longest the loop sleeps: the stop request and the line's timers are
// looked at least this often.
constexpr Millis kMaxPollWait{100};
constexpr std::size_t kReadChunk = 4096;
constexpr int kListenBacklog = 4;

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

Rfc2217Server::Rfc2217Server(Clock& clock, SimLog& log, Line& line)
    : clock_(clock), log_(log), line_(line) {}

Rfc2217Server::~Rfc2217Server() {
  if (client_fd_ >= 0)
    close(client_fd_);
  if (listen_fd_ >= 0)
    close(listen_fd_);
}

bool Rfc2217Server::Listen(std::uint16_t port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    log_.Line("server: " + ErrnoText("socket"));
    return false;
  }
  int yes = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never any other address
  address.sin_port = htons(port);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    log_.Line("server: " + ErrnoText("bind"));
    return false;
  }
  if (listen(listen_fd_, kListenBacklog) != 0 || !SetNonBlocking(listen_fd_)) {
    log_.Line("server: " + ErrnoText("listen"));
    return false;
  }
  socklen_t length = sizeof address;
  if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    log_.Line("server: " + ErrnoText("getsockname"));
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

void Rfc2217Server::Accept() {
  int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0)
    return;
  if (client_fd_ >= 0) {
    log_.Line("server: a second client refused; one at a time");
    close(fd);
    return;
  }
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  client_fd_ = fd;
  out_.clear();
  session_ = std::make_unique<Rfc2217Session>(log_, line_);
  session_->Start();
  log_.Line("server: client connected");
}

void Rfc2217Server::CloseClient(const char* why) {
  if (client_fd_ < 0)
    return;
  close(client_fd_);
  client_fd_ = -1;
  session_.reset();
  out_.clear();
  log_.Line(std::string("server: client gone (") + why + ")");
  line_.StationGone();
}

void Rfc2217Server::ReadClient() {
  std::uint8_t buffer[kReadChunk];
  ssize_t got = recv(client_fd_, buffer, sizeof buffer, 0);
  if (got == 0) {
    CloseClient("closed by the client");
    return;
  }
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      return;
    CloseClient(std::strerror(errno));
    return;
  }
  session_->FromClient(std::span(buffer, static_cast<std::size_t>(got)));
}

void Rfc2217Server::WriteClient() {
  while (!out_.empty()) {
    ssize_t sent = send(client_fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return;
      CloseClient(std::strerror(errno));
      return;
    }
    out_.erase(out_.begin(), out_.begin() + sent);
  }
}

void Rfc2217Server::Run(const std::function<bool()>& stop, bool exit_when_done) {
  while (!stop()) {
    line_.Poll();
    if (session_) {
      session_->Update();
      telnet::Bytes more = session_->TakeToClient();
      out_.insert(out_.end(), more.begin(), more.end());
      WriteClient();
      if (client_fd_ >= 0 && line_.drop_requested()) {
        line_.clear_drop_request();
        CloseClient("dropped on purpose");
      }
    } else {
      line_.clear_drop_request();
    }
    if (exit_when_done && line_.done()) {
      WriteClient();
      log_.Line("server: every call made; ending");
      return;
    }

    Millis wait = kMaxPollWait;
    if (auto next = line_.NextDeadline()) {
      auto until = std::chrono::ceil<Millis>(*next - clock_.Monotonic());
      wait = std::clamp(until, Millis{0}, kMaxPollWait);
    }
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {client_fd_, 0, 0}};
    nfds_t count = 1;
    if (client_fd_ >= 0) {
      fds[1].events = static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT));
      count = 2;
    }
    int ready = poll(fds, count, static_cast<int>(wait.count()));
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      log_.Line("server: " + ErrnoText("poll"));
      return;
    }
    if (fds[0].revents & POLLIN)
      Accept();
    if (count == 2 && client_fd_ >= 0) {
      if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
        ReadClient();
      if (client_fd_ >= 0 && (fds[1].revents & POLLOUT))
        WriteClient();
    }
  }
}

}  // namespace davrilon::linesim

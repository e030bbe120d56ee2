#include "sim_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr auto kPtyRetry = std::chrono::milliseconds(10);

std::string SysError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool IsLoopback(const sockaddr_in& a) {
  return (ntohl(a.sin_addr.s_addr) >> 24) == 127;
}

int Bind(int type, const TSimOptions& o, std::string& error, int& port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = SysError("socket");
    return -1;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(o.port));
  inet_pton(AF_INET, o.address.c_str(), &a.sin_addr);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      (type == SOCK_STREAM && listen(fd, 4) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    error = SysError("cannot bind " + o.address + ":" + std::to_string(o.port));
    close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  SetNonBlocking(fd);
  return fd;
}

}  // namespace

TSimLink::~TSimLink() {
  HangUp();
}

bool TSimLink::Open(const TSimOptions& o, std::string& error) {
  kind_ = o.link;
  int port = 0;
  switch (kind_) {
    case TSimOptions::Link::kTcp:
      listen_fd_ = Bind(SOCK_STREAM, o, error, port);
      description_ = "tcp " + o.address + ":" + std::to_string(port);
      return listen_fd_ >= 0;
    case TSimOptions::Link::kUdp:
      udp_fd_ = Bind(SOCK_DGRAM, o, error, port);
      description_ = "udp " + o.address + ":" + std::to_string(port);
      return udp_fd_ >= 0;
    case TSimOptions::Link::kPty: {
      struct stat st {};
      if (lstat(o.pty_link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = o.pty_link + " exists and is not a symbolic link; not replacing it";
        return false;
      }
      int slave = -1;
      char name[256] = {};
      if (openpty(&master_fd_, &slave, name, nullptr, nullptr) != 0) {
        error = SysError("openpty");
        return false;
      }
      // Raw until the updater sets its own mode, so that nothing is echoed or translated.
      termios t{};
      tcgetattr(slave, &t);
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
      // Not kept open: the updater opens the port exclusively and reopens it to change speed.
      close(slave);
      SetNonBlocking(master_fd_);
      fcntl(master_fd_, F_SETFD, FD_CLOEXEC);
      unlink(o.pty_link.c_str());
      if (symlink(name, o.pty_link.c_str()) != 0) {
        error = SysError("cannot create the link " + o.pty_link + " to " + name);
        close(master_fd_);
        master_fd_ = -1;
        return false;
      }
      pty_link_ = o.pty_link;
      description_ = "pty " + std::string(name) + " linked at " + o.pty_link;
      return true;
    }
    case TSimOptions::Link::kNone:
      break;
  }
  error = "no link chosen";
  return false;
}

void TSimLink::AddPollFds(std::vector<pollfd>& fds, Clock::time_point now) const {
  const short out = pending_.empty() ? 0 : POLLOUT;
  if (listen_fd_ >= 0) fds.push_back({listen_fd_, POLLIN, 0});
  if (client_fd_ >= 0) fds.push_back({client_fd_, static_cast<short>(POLLIN | out), 0});
  if (udp_fd_ >= 0) fds.push_back({udp_fd_, POLLIN, 0});
  if (master_fd_ >= 0 && now >= quiet_until_)
    fds.push_back({master_fd_, static_cast<short>(POLLIN | out), 0});
}

std::optional<TSimLink::Clock::time_point> TSimLink::WakeAt(Clock::time_point now) const {
  if (master_fd_ >= 0 && quiet_until_ > now) return quiet_until_;
  return std::nullopt;
}

std::string TSimLink::Service(const std::vector<pollfd>& fds, Clock::time_point now,
                              bool& new_session) {
  std::string got;
  char buf[8192];
  for (const pollfd& p : fds) {
    if (p.revents == 0) continue;
    if (p.fd == listen_fd_) {
      sockaddr_in a{};
      socklen_t len = sizeof a;
      const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
      if (fd < 0) continue;
      if (!IsLoopback(a)) {
        close(fd);
        continue;
      }
      if (client_fd_ >= 0) Note("new connection replaces the previous one");
      CloseClient();
      client_fd_ = fd;
      SetNonBlocking(fd);
      // Paced replies go out a few bytes at a time; Nagle would hold each piece for an ack.
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      new_session = true;
      Note("connected");
    } else if (p.fd == client_fd_) {
      if (p.revents & POLLOUT) FlushPending();
      if (client_fd_ < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = recv(client_fd_, buf, sizeof buf, 0);
      if (n > 0) {
        got.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        Note("connection closed by the updater");
        CloseClient();
      }
    } else if (p.fd == udp_fd_) {
      sockaddr_in a{};
      socklen_t len = sizeof a;
      const ssize_t n =
          recvfrom(udp_fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&a), &len);
      if (n <= 0 || !IsLoopback(a)) continue;
      peer_ = a;
      has_peer_ = true;
      got.append(buf, static_cast<size_t>(n));
    } else if (p.fd == master_fd_) {
      if (p.revents & POLLOUT) FlushPending();
      const ssize_t n = (p.revents & POLLIN) ? read(master_fd_, buf, sizeof buf) : -1;
      if (n > 0) {
        got.append(buf, static_cast<size_t>(n));
        quiet_until_ = {};
      } else if ((p.revents & POLLHUP) || (n < 0 && errno == EIO)) {
        // No program has the terminal open (yet, or while it reopens it at another speed).
        quiet_until_ = now + kPtyRetry;
        pending_.clear();
      }
    }
  }
  return got;
}

void TSimLink::Send(std::string_view bytes) {
  if (udp_fd_ >= 0) {
    if (!has_peer_) return;
    for (size_t at = 0; at < bytes.size(); at += 8192) {
      const auto part = bytes.substr(at, 8192);
      sendto(udp_fd_, part.data(), part.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_);
    }
    return;
  }
  if (client_fd_ < 0 && (master_fd_ < 0 || !PtyOpened())) return;
  pending_.append(bytes);
  FlushPending();
}

// Bytes written while no program has the terminal open would wait there for the next one.
bool TSimLink::PtyOpened() const {
  pollfd p{master_fd_, 0, 0};
  return poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

void TSimLink::FlushPending() {
  while (!pending_.empty()) {
    ssize_t n = -1;
    if (client_fd_ >= 0)
      n = send(client_fd_, pending_.data(), pending_.size(), MSG_NOSIGNAL);
    else if (master_fd_ >= 0)
      n = write(master_fd_, pending_.data(), pending_.size());
    else
      pending_.clear();
    if (n > 0) {
      pending_.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0 && errno != EAGAIN && errno != EIO && client_fd_ >= 0) CloseClient();
      return;
    }
  }
}

void TSimLink::CloseClient() {
  if (client_fd_ >= 0) close(client_fd_);
  client_fd_ = -1;
  pending_.clear();
}

void TSimLink::HangUp() {
  CloseClient();
  for (int* fd : {&listen_fd_, &udp_fd_, &master_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!pty_link_.empty()) unlink(pty_link_.c_str());
  pty_link_.clear();
  pending_.clear();
}

std::string TSimLink::TakeNotes() {
  return std::exchange(notes_, std::string());
}

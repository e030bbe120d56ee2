#include "link/UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "formats/text.h"
#include "link/SysError.h"

namespace {

// The listening thread wakes at least this often even when nothing arrives.
constexpr int kListenWaitMs = 1000;

}  // namespace

TUdpSocket::~TUdpSocket() {
  Deactivate();
}

bool TUdpSocket::Activate(std::string& error) {
  if (IsActive()) return true;
  if (port_ < 0 || port_ > 65535) {
    error = "Could not bind socket. Invalid local port " + std::to_string(port_) + ".";
    return false;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = SocketErrorText(errno);
    return false;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<uint16_t>(port_));
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
    int err = errno;
    close(fd);
    error = err == EADDRINUSE ? "Could not bind socket. Address and port are already in use."
                              : SocketErrorText(err);
    return false;
  }
  int on = Broadcast ? 1 : 0;
  int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0 || stop < 0) {
    int err = errno;
    close(fd);
    if (stop >= 0) close(stop);
    error = SocketErrorText(err);
    return false;
  }
  fd_ = fd;
  stop_fd_ = stop;
  handover_ = std::make_shared<THandover>(&context_);
  thread_ = std::thread(&TUdpSocket::Listen, this, handover_);
  return true;
}

void TUdpSocket::Deactivate() {
  if (!IsActive()) return;
  handover_->Abandon();
  SignalStop(stop_fd_);
  thread_.join();
  handover_.reset();
  close(fd_);
  close(stop_fd_);
  fd_ = stop_fd_ = -1;
}

bool TUdpSocket::Send(const std::string& address, int32_t port, const std::string& data,
                      std::string& error, bool& broken) {
  broken = false;
  if (!IsActive()) return true;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  if (port < 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
    error = "Invalid device address " + Excerpt(address) + ":" + std::to_string(port) + ".";
    return false;
  }
  peer.sin_port = htons(static_cast<uint16_t>(port));
  ssize_t n;
  do
    n = sendto(fd_, data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&peer),
               sizeof peer);
  while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EMSGSIZE) {
    error = "Package Size Too Big.";
  } else if (n < 0) {
    error = SocketErrorText(errno);
    broken = true;
  } else if (static_cast<size_t>(n) != data.size()) {
    error = "Not all bytes sent.";
  } else {
    return true;
  }
  return false;
}

void TUdpSocket::Listen(std::shared_ptr<THandover> handover) {
  char buf[kMaxDatagram];
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  for (;;) {
    int r = poll(fds, 2, kListenWaitMs);
    if (r < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (r > 0 && (fds[0].revents & POLLERR)) {
      // A pending ICMP error would keep poll() waking at once; reading it clears it.
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    if (r <= 0 || !(fds[0].revents & POLLIN)) continue;

    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
    // A datagram longer than the buffer is discarded whole, like any receive error.
    if (n < 0 || (msg.msg_flags & MSG_TRUNC)) continue;

    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    auto deliver = [this, data = std::string(buf, static_cast<size_t>(n)),
                    address = std::string(text), port = ntohs(from.sin_port)] {
      if (OnReceive) OnReceive(data, address, port);
    };
    if (!handover->Deliver(std::move(deliver))) return;
  }
}

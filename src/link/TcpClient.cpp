#include "link/TcpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QMetaObject>
#include <cerrno>
#include <cstdio>

#include "formats/text.h"
#include "link/SysError.h"

TTcpClient::TTcpClient() {
  QObject::connect(&read_notifier_, &QSocketNotifier::activated, &context_, [this] { Readable(); });
  QObject::connect(&write_notifier_, &QSocketNotifier::activated, &context_,
                   [this] { Writable(); });
}

TTcpClient::~TTcpClient() {
  Close();
}

bool TTcpClient::Open(std::string& error) {
  if (state_ != State::kIdle) return true;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  if (port_ < 0 || port_ > 65535 || inet_pton(AF_INET, address_.c_str(), &peer.sin_addr) != 1) {
    error = "Invalid device address " + Excerpt(address_) + ":" + std::to_string(port_) + ".";
    return false;
  }
  peer.sin_port = htons(static_cast<uint16_t>(port_));
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = "Can't create new socket\r\n" + SysErrorText(errno);
    return false;
  }
  // Each exchange is one short line and then a wait for the reply: Nagle would only delay it.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

  ++generation_;
  fd_ = fd;
  state_ = State::kConnecting;
  int r = connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  if (r < 0 && errno != EINPROGRESS && errno != EINTR) {
    // Even a refusal known at once is an event, like one found later.
    PostError(eeConnect, errno, "connect");
    return true;
  }
  write_notifier_.setSocket(fd_);
  write_notifier_.setEnabled(true);
  return true;
}

void TTcpClient::Close() {
  ++generation_;
  Teardown();
}

void TTcpClient::Teardown() {
  read_notifier_.setEnabled(false);
  write_notifier_.setEnabled(false);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  state_ = State::kIdle;
  out_pending_.clear();
}

void TTcpClient::Send(const char* data, size_t n) {
  if (state_ != State::kConnected || n == 0) return;
  out_pending_.append(data, n);
  Flush();
}

void TTcpClient::Flush() {
  size_t done = 0;
  while (done < out_pending_.size()) {
    ssize_t w = send(fd_, out_pending_.data() + done, out_pending_.size() - done,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w >= 0) {
      done += static_cast<size_t>(w);
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      break;
    } else {
      int err = errno;
      Teardown();
      PostError(eeSend, err, "send");
      return;
    }
  }
  out_pending_.erase(0, done);
  write_notifier_.setEnabled(!out_pending_.empty());
}

size_t TTcpClient::Read(char* buffer, size_t max) {
  if (state_ != State::kConnected || max == 0) return 0;
  ssize_t n;
  do n = recv(fd_, buffer, max, MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n > 0) return static_cast<size_t>(n);
  if (n == 0) {
    // The device closed the connection: idle, and no new attempt from here.
    Teardown();
    const uint64_t gen = generation_;
    QMetaObject::invokeMethod(
        &context_,
        [this, gen] {
          if (gen == generation_ && OnDisconnect) OnDisconnect();
        },
        Qt::QueuedConnection);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
    int err = errno;
    Teardown();
    PostError(eeReceive, err, "recv");
  }
  return 0;
}

void TTcpClient::Writable() {
  if (state_ == State::kConnected) {
    Flush();
    return;
  }
  if (state_ != State::kConnecting) return;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
  if (err != 0) {
    Teardown();
    Fail(eeConnect, err, "connect");
    return;
  }
  state_ = State::kConnected;
  write_notifier_.setEnabled(false);
  read_notifier_.setSocket(fd_);
  read_notifier_.setEnabled(true);
  if (OnConnect) OnConnect();
}

void TTcpClient::Readable() {
  if (state_ != State::kConnected) return;
  if (OnRead) {
    OnRead();
  } else {
    char sink[4096];
    Read(sink, sizeof sink);
  }
}

void TTcpClient::PostError(TErrorEvent kind, int err, const char* api) {
  const uint64_t gen = generation_;
  QMetaObject::invokeMethod(
      &context_,
      [this, gen, kind, err, api] {
        if (gen != generation_) return;
        Teardown();
        Fail(kind, err, api);
      },
      Qt::QueuedConnection);
}

void TTcpClient::Fail(TErrorEvent kind, int err, const char* api) {
  int code = err;
  if (OnError) OnError(kind, code);
  if (code != 0) {
    std::fprintf(stderr, "Windows socket error: %s (%d), on API '%s'\n", SysErrorText(code).c_str(),
                 code, api);
  }
}

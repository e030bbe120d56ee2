#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/scripted_device.h"

// The scripted device behind a TCP listener on 127.0.0.1 (an ephemeral port), in its own
// thread. Accepts one connection after the other, as the updater opens one per run.
class TLoopbackPeer {
 public:
  explicit TLoopbackPeer(TScriptedDevice& device) : device_(device) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listen_fd_, 4) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe(stop_) != 0)
      throw std::runtime_error("loopback peer: cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Loop(); });
  }
  ~TLoopbackPeer() {
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
    ::close(listen_fd_);
    ::close(stop_[0]);
    ::close(stop_[1]);
  }

  int Port() const { return port_; }
  std::atomic<int> answer_delay_ms{0};  // a slow device takes this long over every answer
  std::vector<std::string> Wire() {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_.Wire();
  }
  int Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }
  // Connections the updater has closed.
  int Closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

 private:
  // Waits for fd or the stop pipe; false when stopping.
  bool Wait(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
    }
    return !(fds[1].revents & POLLIN);
  }

  void Loop() {
    while (Wait(listen_fd_)) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
      }
      Serve(fd);
      ::close(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      ++closed_;
    }
  }

  void Serve(int fd) {
    std::string pending;
    char buf[4096];
    while (Wait(fd)) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      pending.append(buf, static_cast<size_t>(n));
      for (const std::string& msg : Split(pending)) {
        std::string answer;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          answer = device_.Answer(msg);
          if (device_.hung_up) return;
        }
        if (answer.empty()) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(answer_delay_ms.load()));
        ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      }
    }
  }

  // The updater waits for each answer, so a read holds one message, except for the back-to-back
  // UPDATER writes and repeated boot-loader calls; a record is complete with its line end.
  static std::vector<std::string> Split(std::string& pending) {
    std::vector<std::string> out;
    if (!pending.empty() && pending[0] == ':' && pending.compare(pending.size() - 1, 1, "\n") != 0)
      return out;  // the rest of the record is still on its way
    size_t start = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
      const bool var_end = pending.compare(i, 2, "yU") == 0 && i > start &&
                           std::isdigit(static_cast<unsigned char>(pending[start]));
      if (var_end) {
        out.push_back(pending.substr(start, i + 2 - start));
        start = i + 2;
        ++i;
      } else if (pending[i] == '%' && i == start) {
        out.push_back("%");
        start = i + 1;
      }
    }
    if (start < pending.size()) out.push_back(pending.substr(start));
    pending.clear();
    return out;
  }

  TScriptedDevice& device_;
  int listen_fd_ = -1;
  int stop_[2] = {-1, -1};
  int port_ = 0;
  int connections_ = 0;
  int closed_ = 0;
  std::mutex mutex_;
  std::thread thread_;
};

#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "link/Handover.h"

// A UDP endpoint bound to one local port, with a listening thread that hands every datagram to
// the user-interface thread and waits until it has been handled.
class TUdpSocket {
 public:
  // Called on the user-interface thread with the datagram (at most 8192 bytes) and its source.
  using TReceiveHandler =
      std::function<void(const std::string& data, const std::string& peerAddress, int peerPort)>;

  static constexpr size_t kMaxDatagram = 8192;

  TUdpSocket() = default;
  ~TUdpSocket();
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;

  // Local port for the next activation.
  void SetPort(int32_t port) { port_ = port; }
  int32_t Port() const { return port_; }
  // Binds to any local address and the port, then starts listening; true when active (also when
  // it already was). Otherwise `error` says why ("Could not bind socket. ..." or the socket
  // error) and it stays inactive.
  bool Activate(std::string& error);
  bool IsActive() const { return fd_ >= 0; }
  // Stops the listening thread and closes the socket; a pending datagram is discarded.
  void Deactivate();
  // Sends one datagram to address:port; true when sent or inactive. Otherwise `error` says why:
  // with `broken` set the socket failed and must be closed; without, only this datagram was
  // refused (too large: "Package Size Too Big.", partly sent: "Not all bytes sent.", an
  // address that is not dotted IPv4 text).
  bool Send(const std::string& address, int32_t port, const std::string& data, std::string& error,
            bool& broken);

  bool Broadcast = false;  // allow sending to broadcast addresses
  TReceiveHandler OnReceive;

 private:
  void Listen(std::shared_ptr<THandover> handover);

  int32_t port_ = 0;
  int fd_ = -1;
  int stop_fd_ = -1;
  std::thread thread_;
  std::shared_ptr<THandover> handover_;
  QObject context_;
};

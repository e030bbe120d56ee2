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
  // Binds to any local address and the port, then starts listening. No effect when active.
  // Throws ESocketError or ENetError ("Could not bind socket. ...") and stays inactive.
  void Activate();
  bool IsActive() const { return fd_ >= 0; }
  // Stops the listening thread and closes the socket; a pending datagram is discarded.
  void Deactivate();
  // Sends one datagram to address:port. Throws ESocketError on a failed send, ENetError for a
  // datagram too large ("Package Size Too Big."), a partial send ("Not all bytes sent.") or an
  // address that is not dotted IPv4 text.
  void Send(const std::string& address, int32_t port, const std::string& data);

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

#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <string>

// A non-blocking TCP client whose connect, read and error events arrive through the Qt event loop
// of the thread that created it.
class TTcpClient {
 public:
  enum TErrorEvent : uint8_t { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect };
  using TNotifyEvent = std::function<void()>;
  // The handler may set `code` to 0 to stop the error from being reported any further.
  using TErrorHandler = std::function<void(TErrorEvent kind, int& code)>;

  TTcpClient();
  ~TTcpClient();
  TTcpClient(const TTcpClient&) = delete;
  TTcpClient& operator=(const TTcpClient&) = delete;

  // The peer of the next attempt (dotted IPv4 text, no name lookup).
  void SetAddress(const std::string& address) { address_ = address; }
  void SetPort(int32_t port) { port_ = port; }
  // Starts a connection attempt and returns at once; no effect unless idle. False, with
  // `error`, only when the attempt cannot start at all (bad address text, no socket).
  bool Open(std::string& error);
  bool IsActive() const { return state_ == State::kConnected; }
  bool IsConnecting() const { return state_ == State::kConnecting; }
  // Ends the connection or abandons the attempt; no event of it arrives afterwards.
  void Close();
  // Sends on the connection, nothing when not connected. What the system cannot take at once is
  // kept and sent, in order, as soon as it can.
  void Send(const char* data, size_t n);
  // Reads what has arrived, up to `max` bytes; 0 when nothing (or the peer closed).
  size_t Read(char* buffer, size_t max);
  size_t PendingOutput() const { return out_pending_.size(); }

  TNotifyEvent OnConnect, OnRead, OnDisconnect;
  TErrorHandler OnError;

 private:
  enum class State { kIdle, kConnecting, kConnected };
  void Writable();
  void Readable();
  void Flush();
  void Teardown();
  // Reports through the event loop, unless Close or Open comes first.
  void PostError(TErrorEvent kind, int err, const char* api);
  void Fail(TErrorEvent kind, int err, const char* api);

  std::string address_;
  int32_t port_ = 0;
  int fd_ = -1;
  State state_ = State::kIdle;
  uint64_t generation_ = 0;
  std::string out_pending_;
  QObject context_;
  QSocketNotifier read_notifier_{QSocketNotifier::Read};
  QSocketNotifier write_notifier_{QSocketNotifier::Write};
};

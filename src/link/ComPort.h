#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "link/Handover.h"

enum TParity : uint8_t { ptNONE = 0, ptODD = 1, ptEVEN = 2, ptMARK = 3, ptSPACE = 4 };
enum TStopBit : uint8_t { sbONE = 0, sbONE5 = 1, snTWO = 2 };
enum TReceiveMode : uint8_t { rmRAW = 0, rmTERM = 1 };

// Port events as the receive thread reports them.
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_CTS = 0x0008;
inline constexpr uint32_t EV_DSR = 0x0010;
inline constexpr uint32_t EV_RLSD = 0x0020;
inline constexpr uint32_t EV_ERR = 0x0080;
inline constexpr uint32_t EV_RING = 0x0100;
// Modem status bits.
inline constexpr uint32_t MS_CTS_ON = 0x10;
inline constexpr uint32_t MS_DSR_ON = 0x20;
inline constexpr uint32_t MS_RING_ON = 0x40;
inline constexpr uint32_t MS_RLSD_ON = 0x80;

// The device path of a port name: "COMn" is /dev/ttyS<n-1>; any other name is taken as a path.
std::string DefaultComDevice(const std::string& portName);

// Owns an open port and the thread that waits on it. Everything but the thread body runs on the
// user-interface thread.
class TCommThread {
 public:
  using TDataCallback = std::function<void(const std::string& data)>;
  using TStatusCallback = std::function<void(uint32_t mask, uint32_t modemStatus)>;

  // Opens `device` exclusively with a raw line; IsOpen and OpenError tell how it went.
  explicit TCommThread(const std::string& device);
  ~TCommThread();  // stops the thread if running, then releases the port
  TCommThread(const TCommThread&) = delete;
  TCommThread& operator=(const TCommThread&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int OpenError() const { return open_error_; }
  // 0, or an errno value; EINVAL also stands for a speed or size the line cannot take.
  int SetLine(uint32_t baud, uint8_t dataBits, TParity parity, TStopBit stopBits);
  // Empties both queues and drops DTR and RTS.
  void ResetPort();
  // Starts the receive thread, reading up to `readSize` bytes per arrival; callbacks then run
  // on the thread of `context`.
  void Start(QObject* context, uint32_t readSize);
  // Ends the receive loop and waits for the thread; a pending hand-over is discarded.
  void StopWaiting();
  // Queues the bytes; what the line cannot take now is written as soon as it can.
  void WriteBytes(const char* data, size_t n);
  size_t PendingOutput() const { return out_pending_.size(); }
  // Why the port went away ("hung up" or the system's text); empty while it works.
  const std::string& LostReason() const { return lost_reason_; }

  TDataCallback DataCallback;
  TStatusCallback StatusCallback;

 private:
  void Run(std::shared_ptr<THandover> handover, uint32_t readSize);
  void HandleCommEvent(const std::string& data, uint32_t mask, uint32_t modemStatus, int lost);
  void Flush();

  int fd_ = -1;
  int stop_fd_ = -1;
  int open_error_ = 0;
  std::thread thread_;
  std::shared_ptr<THandover> handover_;
  std::string out_pending_;
  std::string lost_reason_;
  QSocketNotifier write_notifier_{QSocketNotifier::Write};
  // Cleared when this object dies, so a callback that closed the port is noticed on return.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class TComPort {
 public:
  using TReceiveProc = std::function<void(const std::string& data)>;
  using TStatusChanged = std::function<void(bool status)>;
  using TNotifyEvent = std::function<void(TComPort& sender)>;

  TComPort() = default;
  ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Opens the port and starts receiving; true when open (also when it already was). Otherwise
  // `error` says why and `code` is the errno value behind it (0 when none).
  bool Open(std::string& error, int& code);
  // Stops receiving and closes; no delivery reaches this port afterwards.
  void Close();
  // Writes the bytes unchanged; no effect when closed.
  void WriteString(const std::string& data);

  bool Opened() const { return opened_; }
  // Applies at once when open; false, with `error`, when the line cannot take the speed.
  bool SetBaud(uint32_t baud, std::string& error);
  std::string GetTerminator() const;
  // "#13#10" style text; false, with `error`, on a bad or empty text (CR LF then stands).
  bool SetTerminator(const std::string& text, std::string& error);
  const std::string& TerminatorBytes() const { return terminator_; }
  size_t PendingOutput() const { return thread_ ? thread_->PendingOutput() : 0; }
  // The path opened: Device, or the one derived from Port.
  std::string DevicePath() const;
  // Set when the port went away while open (an adapter pulled out); OnError has fired for it
  // and nothing more will arrive. Empty while the port works and after Close.
  const std::string& LostReason() const;

  std::string Port;    // name used in messages, e.g. "COM3"
  std::string Device;  // path opened; empty: derived from Port
  uint8_t DataBits = 8;
  TParity Parity = ptNONE;
  TStopBit StopBits = sbONE;
  uint32_t WinQSizeIn = 8192;  // also the largest chunk one arrival delivers
  uint32_t WinQSizeOut = 8192;
  TReceiveMode ReceiveMode = rmTERM;

  TNotifyEvent OnPortOpen, OnPortClose, OnError;
  TReceiveProc ReceiveCallBack;
  TStatusChanged OnCTSChanged, OnDSRChanged, OnRingChanged, OnRLSDChanged;

 private:
  void DataArrived(const std::string& data);
  void LineStatus(uint32_t mask, uint32_t modemStatus);

  bool opened_ = false;
  uint32_t baud_ = 9600;
  std::string terminator_ = "\r\n";
  std::string RxPending;
  QObject context_;
  std::unique_ptr<TCommThread> thread_;
};

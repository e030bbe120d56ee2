#pragma once

#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "formats/constante.h"
#include "link/ComPort.h"
#include "link/TcpClient.h"
#include "link/UdpSocket.h"

class TComDriver;
using TComDriverNotifyEvent = std::function<void(TComDriver& sender, int32_t nro)>;

// The one path to the device: RS-232, UDP or TCP behind one send/receive interface, raw or with
// the variable-mode line protocol. Lives on the user-interface thread; every event fires there,
// with nro = Tag.
class TComDriver {
 public:
  static constexpr size_t kIoSize = 8192;
  // A device flooding the link must not grow memory without limit; the excess is dropped.
  static constexpr size_t kMaxRxText = 1 << 20;
  // Pause before a new TCP attempt after a failed one, so a refusing device costs no CPU.
  static constexpr int kTcpRetryMs = 300;
  // A TCP attempt still unanswered after this long is said to be so (it goes on).
  static constexpr int kTcpNoAnswerMs = 3000;

  TComDriver();
  ~TComDriver();
  TComDriver(const TComDriver&) = delete;
  TComDriver& operator=(const TComDriver&) = delete;

  int32_t GetTag() const { return Tag; }
  void SetTag(int32_t tag) { Tag = tag; }
  tConnectionType GetConType() const { return ConType; }
  // Opens the chosen transport (closing the previous one) and tells whether that worked; the
  // reason of a failure is then in LastError. Never throws.
  bool SetConType(tConnectionType t);
  void SetConMode(tConnectionMode m) { ConMode = m; }
  const std::string& GetPort() const { return Port; }
  void SetPort(const std::string& name);
  void SetBaudRate(uint32_t baud);
  void SetIpLocalPort(int32_t port);
  void SetIpRemotePort(int32_t port);
  void SetIpRemoteAddress(const std::string& address);

  // Device variables: reading gives what the device last reported; writing only asks it.
  uint32_t GetADDRDBG() const { return ADDRDBG; }
  void SetADDRDBG(uint32_t v) { SendVarValue(0, v); }
  uint32_t GetDATADBG() const { return DATADBG; }
  void SetDATADBG(uint32_t v) { SendVarValue(1, v); }
  uint32_t GetDEV() const { return DEV; }
  uint32_t GetUPDATER() const { return UPDATER; }
  void SetUPDATER(uint32_t v) { SendVarValue(3, v); }
  uint32_t GetDOLLARS() const { return DOLLARS; }

  // Variable mode only: the code of variable `index` (0..5), alone or after a decimal value.
  void SendVarCommand(int index);
  void SendVarValue(int index, uint32_t value);
  // Raw mode only: the bytes unchanged.
  void SendRaw(const std::string& data);
  // Raw mode only: all received text, which is then gone; empty in variable mode.
  std::string ReadRaw();

  // Why the last opening failed; empty after one that worked.
  const std::string& LastError() const { return last_error_; }
  // The last failure of the chosen link since it was chosen, on one line: a refused connection,
  // a send error, a line error, the device hanging up. Empty when there was none.
  const std::string& LinkError() const { return link_error_; }
  // Device path for COMn (n = 1..9); empty restores /dev/ttyS<n-1>. Used from the next opening.
  void SetComDevice(int n, const std::string& path);
  std::string ComDevice(int n) const;
  // Received text not yet consumed.
  const std::string& GetRxText() const { return RxText; }
  // Whether the transport of ConType is open (TCP: connected).
  bool IsLinkOpen() const;
  bool IsTcpConnecting() const { return TcpConnecting; }

  std::string receivedString;  // last recognised variable-mode line
  std::string sentString;      // last variable-mode command sent

  // Shows a UDP send error to the operator; the window installs it. Unset: stderr.
  std::function<void(const std::string& text)> ShowErrorBox;
  // Sees every byte handed to an open transport (sent) and every byte taken from one, in wire
  // order, before the driver does anything with it. Unset: nothing.
  std::function<void(bool sent, const std::string& bytes)> WireTap;

  // Fired when the open link is gone for good: the device closed the TCP connection, the
  // serial port hung up, or a failed UDP send closed the endpoint. LinkError() names the cause
  // and the device.
  TComDriverNotifyEvent OnLinkLost;
  // Fired when the chosen link failed but is tried again: a TCP connection refused,
  // unreachable, unanswered or lost. LinkError() names the cause and the device.
  TComDriverNotifyEvent OnLinkTrouble;
  // Fired when a TCP connection is made; a serial port or UDP is open once SetConType returns.
  TComDriverNotifyEvent OnConnect;
  // How long a TCP attempt may go unanswered before OnLinkTrouble says so.
  int TcpNoAnswerMs = kTcpNoAnswerMs;

  TComDriverNotifyEvent OnADDRDBGchange, OnDATADBGchange, OnDEVchange, OnUPDATERchange,
      OnDOLLARSchange, OnSetDIESEchange, OnQUERYALLchange, OnRecString, OnSentString,
      OnConTypechange, OnIpLocalPortchange, OnIpRemotePortchange, OnIpRemoteAddresschange;

 private:
  bool OpenSerial();
  void CloseSerial();
  bool OpenUdp();
  void CloseUdp();
  bool OpenTcp();
  void CloseTcp();
  void Transmit(const std::string& data);
  void SendUdp(const std::string& data);
  void SerialData(const std::string& data);
  void UdpData(const std::string& data, const std::string& address, int port);
  void TcpRead();
  void TcpError(TTcpClient::TErrorEvent kind, int& code);
  void TcpConnected();
  void TcpClosed();
  void RetryTcp();
  void TcpNoAnswer();
  void SerialError();
  std::string SerialOpenHint(int err) const;
  void NoteLinkError(const std::string& text);
  std::string RemoteName() const;
  void Intake(const char* text, size_t n);
  void ParseVariables();
  void MatchLine(const std::string& line);
  void Fire(const TComDriverNotifyEvent& event);

  int32_t Tag = 0;
  std::string RxText;
  std::array<char, kIoSize + 1> IoBuffer{};
  bool TcpConnecting = false;
  TComPort serial_;
  std::string Port;
  uint32_t BaudRate = 9600;
  TUdpSocket udp_;
  TTcpClient tcp_;
  tConnectionType ConType = CON_NONE;
  tConnectionMode ConMode = MODE_VAR;
  int32_t IpLocalPort = 10000;
  int32_t IpRemotePort = 10500;
  std::string IpRemoteAddress = "192.168.0.10";
  uint32_t ADDRDBG = 0, DATADBG = 0, DEV = 0, UPDATER = 0, DOLLARS = 0;
  // Variables of the device's table that no reply sets yet; kept under their names.
  [[maybe_unused]] bool DIESE = false, queryall = false;

  std::string last_error_;
  std::string link_error_;
  std::array<std::string, 10> com_devices_;  // index 1..9
  bool overflow_reported_ = false;
  QTimer tcp_retry_;
  QTimer tcp_no_answer_;
};

#include "link/ComDriver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "formats/text.h"
#include "link/SysError.h"

namespace {

constexpr int kVarCount = 6;
// Prefixes of the lines the device reports, and the codes that ask for each variable.
constexpr const char* VarNames[kVarCount] = {"ADBG", "DDBG", "DEV", "UPD", "$", "#"};
constexpr const char* VarCodes[kVarCount] = {"@", ">", "?", "yU", "$", "#"};

}  // namespace

TComDriver::TComDriver() {
  serial_.ReceiveMode = rmRAW;
  std::string closed_port_takes_any_speed;
  serial_.SetBaud(BaudRate, closed_port_takes_any_speed);
  serial_.Port = Port;
  serial_.ReceiveCallBack = [this](const std::string& data) { SerialData(data); };
  serial_.OnError = [this](TComPort&) { SerialError(); };

  udp_.Broadcast = true;
  udp_.SetPort(IpLocalPort);
  udp_.OnReceive = [this](const std::string& data, const std::string& address, int port) {
    UdpData(data, address, port);
  };

  tcp_.SetAddress(IpRemoteAddress);
  tcp_.SetPort(IpRemotePort);
  tcp_.OnRead = [this] { TcpRead(); };
  tcp_.OnError = [this](TTcpClient::TErrorEvent kind, int& code) { TcpError(kind, code); };
  tcp_.OnConnect = [this] { TcpConnected(); };
  tcp_.OnDisconnect = [this] { TcpClosed(); };
  TcpConnecting = false;

  tcp_retry_.setSingleShot(true);
  tcp_retry_.setInterval(kTcpRetryMs);
  QObject::connect(&tcp_retry_, &QTimer::timeout, [this] { RetryTcp(); });
  tcp_no_answer_.setSingleShot(true);
  QObject::connect(&tcp_no_answer_, &QTimer::timeout, [this] { TcpNoAnswer(); });
}

TComDriver::~TComDriver() {
  CloseSerial();
  CloseUdp();
  CloseTcp();
}

// ---------------------------------------------------------------------------------------------
// Properties

bool TComDriver::SetConType(tConnectionType t) {
  bool ok = true;
  if (t != ConType) {
    switch (ConType) {
      case CON_RS232:
        CloseSerial();
        break;
      case CON_UDP:
        CloseUdp();
        break;
      case CON_TCP:
        CloseTcp();
        break;
      case CON_NONE:
        break;
    }
    ConType = t;
    link_error_.clear();
    switch (t) {
      case CON_NONE:
        CloseSerial();
        CloseUdp();
        CloseTcp();
        break;
      case CON_RS232:
        ok = OpenSerial();
        break;
      case CON_UDP:
        ok = OpenUdp();
        break;
      case CON_TCP:
        ok = OpenTcp();
        break;
    }
  }
  Fire(OnConTypechange);
  return ok;
}

void TComDriver::SetPort(const std::string& name) {
  CloseSerial();
  Port = name;
  serial_.Port = name;
  if (ConType == CON_RS232) OpenSerial();
}

void TComDriver::SetBaudRate(uint32_t baud) {
  CloseSerial();
  BaudRate = baud;
  std::string closed_port_takes_any_speed;
  serial_.SetBaud(baud, closed_port_takes_any_speed);
  if (ConType == CON_RS232) OpenSerial();
}

void TComDriver::SetIpLocalPort(int32_t port) {
  // Even the same port rebinds an active endpoint.
  if (ConType == CON_UDP) CloseUdp();
  udp_.SetPort(port);
  if (ConType == CON_UDP) OpenUdp();
  IpLocalPort = port;
  Fire(OnIpLocalPortchange);
}

void TComDriver::SetIpRemotePort(int32_t port) {
  if (port != IpRemotePort) {
    if (ConType == CON_UDP) {
      CloseUdp();
      OpenUdp();
    }
    if (ConType == CON_TCP) CloseTcp();
    tcp_.SetPort(port);
    IpRemotePort = port;
    if (ConType == CON_TCP) OpenTcp();
  }
  IpRemotePort = port;
  Fire(OnIpRemotePortchange);
}

void TComDriver::SetIpRemoteAddress(const std::string& address) {
  if (address != IpRemoteAddress) {
    if (ConType == CON_UDP) {
      CloseUdp();
      OpenUdp();
    }
    if (ConType == CON_TCP) CloseTcp();
    tcp_.SetAddress(address);
    IpRemoteAddress = address;
    if (ConType == CON_TCP) OpenTcp();
  }
  IpRemoteAddress = address;
  Fire(OnIpRemoteAddresschange);
}

void TComDriver::SetComDevice(int n, const std::string& path) {
  if (n >= 1 && n <= 9) com_devices_[n] = path;
}

std::string TComDriver::ComDevice(int n) const {
  if (n >= 1 && n <= 9 && !com_devices_[n].empty()) return com_devices_[n];
  return DefaultComDevice("COM" + std::to_string(n));
}

bool TComDriver::IsLinkOpen() const {
  switch (ConType) {
    case CON_RS232:
      return serial_.Opened();
    case CON_UDP:
      return udp_.IsActive();
    case CON_TCP:
      return tcp_.IsActive();
    case CON_NONE:
      break;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Transports

bool TComDriver::OpenSerial() {
  if (Port.empty()) return true;
  last_error_.clear();
  serial_.Device.clear();
  if (Port.size() == 4 && Port.compare(0, 3, "COM") == 0 && Port[3] >= '1' && Port[3] <= '9') {
    serial_.Device = ComDevice(Port[3] - '0');
  }
  std::string error;
  if (int code = 0; !serial_.Open(error, code)) {
    last_error_ = error + SerialOpenHint(code);
    NoteLinkError(last_error_);
    return false;
  }
  return true;
}

// What the operator can do about a port that would not open.
std::string TComDriver::SerialOpenHint(int err) const {
  switch (err) {
    case EACCES:
    case EPERM:
      return "\rThe user needs access to the port: add the user to the 'dialout' group "
             "(sudo adduser $USER dialout), then log in again.";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      // A device path given for the port has no COMn_DEVICE key to change.
      return "\rNo such serial device: is the adapter plugged in? qubra-updater --list-ports "
             "lists those present" +
             (Port.starts_with('/')
                  ? std::string(".")
                  : "; " + Port + "_DEVICE in Updater.prm names the one to open.");
    default:
      return {};
  }
}

void TComDriver::CloseSerial() {
  serial_.Close();
}

bool TComDriver::OpenUdp() {
  if (udp_.IsActive()) return true;
  last_error_.clear();
  return udp_.Activate(last_error_);
}

// Activation always binds afresh with the port last set, so there is no binding to drop here.
void TComDriver::CloseUdp() {
  udp_.Deactivate();
}

bool TComDriver::OpenTcp() {
  if (tcp_.IsActive() || TcpConnecting) return true;
  last_error_.clear();
  TcpConnecting = true;
  if (!tcp_.Open(last_error_)) {
    TcpConnecting = false;
    tcp_.Close();
    return false;
  }
  tcp_no_answer_.start(TcpNoAnswerMs);
  return true;
}

void TComDriver::CloseTcp() {
  TcpConnecting = false;
  tcp_retry_.stop();
  tcp_no_answer_.stop();
  tcp_.Close();
}

void TComDriver::TcpConnected() {
  TcpConnecting = false;
  tcp_no_answer_.stop();
  Fire(OnConnect);
}

// An address where nothing answers (a wrong one, a device switched off) fails only after the
// system's own retries, minutes later: the operator hears of it long before.
void TComDriver::TcpNoAnswer() {
  if (ConType != CON_TCP || !TcpConnecting) return;
  NoteLinkError("Cannot connect to " + RemoteName() + ": no answer");
  Fire(OnLinkTrouble);
}

// The device hung up (FIN): no new attempt is made, so the link is gone for good.
void TComDriver::TcpClosed() {
  if (ConType != CON_TCP) return;
  NoteLinkError("Connection closed by device " + RemoteName());
  Fire(OnLinkLost);
}

void TComDriver::TcpError(TTcpClient::TErrorEvent kind, int& code) {
  // Retried below, so not lost for good: kept for whoever wonders why the device is silent.
  if (kind == TTcpClient::eeConnect) {
    NoteLinkError("Cannot connect to " + RemoteName() + ": " + SysErrorText(code));
  } else {
    NoteLinkError("Connection to device " + RemoteName() + " lost: " + SysErrorText(code));
  }
  CloseTcp();
  code = 0;
  if (ConType != CON_TCP) return;
  // A device that refuses at once would otherwise be retried in a busy loop.
  tcp_retry_.start();
  Fire(OnLinkTrouble);
}

std::string TComDriver::RemoteName() const {
  return Excerpt(IpRemoteAddress) + ":" + std::to_string(IpRemotePort);
}

void TComDriver::SerialError() {
  if (ConType != CON_RS232) return;
  const std::string& lost = serial_.LostReason();
  if (lost.empty()) {
    NoteLinkError("Serial port " + Excerpt(serial_.DevicePath()) +
                  ": line error (framing, parity or overrun)");
    return;
  }
  NoteLinkError("Serial port " + Excerpt(serial_.DevicePath()) + " lost: " + lost);
  Fire(OnLinkLost);
}

void TComDriver::NoteLinkError(const std::string& text) {
  // One line, whatever the system's text holds.
  link_error_.clear();
  for (char c : text) {
    if (c != '\r' && c != '\n') {
      link_error_ += c;
    } else if (!link_error_.empty() && link_error_.back() != ' ') {
      link_error_ += ' ';
    }
  }
}

void TComDriver::RetryTcp() {
  if (ConType != CON_TCP) return;
  if (!OpenTcp()) tcp_retry_.start();
}

// ---------------------------------------------------------------------------------------------
// Sending

void TComDriver::SendVarCommand(int index) {
  if (ConMode != MODE_VAR || index < 0 || index >= kVarCount) return;
  const std::string text = VarCodes[index];
  Transmit(text);
  sentString = text;
  Fire(OnSentString);
}

void TComDriver::SendVarValue(int index, uint32_t value) {
  if (ConMode != MODE_VAR || index < 0 || index >= kVarCount) return;
  const std::string text = std::to_string(value) + VarCodes[index];
  Transmit(text);
  sentString = text;
  Fire(OnSentString);
}

void TComDriver::SendRaw(const std::string& data) {
  if (ConMode == MODE_RAW) Transmit(data);
}

std::string TComDriver::ReadRaw() {
  if (ConMode != MODE_RAW) return {};
  std::string text;
  text.swap(RxText);
  overflow_reported_ = false;
  return text;
}

void TComDriver::Transmit(const std::string& data) {
  if (WireTap && !data.empty() && IsLinkOpen()) WireTap(true, data);
  switch (ConType) {
    case CON_RS232:
      serial_.WriteString(data);
      break;
    case CON_UDP:
      SendUdp(data);
      break;
    case CON_TCP:
      // Larger sends go out whole, one buffer's worth at a time.
      for (size_t at = 0; at < data.size() && tcp_.IsActive(); at += kIoSize) {
        const size_t n = std::min(kIoSize, data.size() - at);
        std::memcpy(IoBuffer.data(), data.data() + at, n);
        IoBuffer[n] = '\0';
        tcp_.Send(IoBuffer.data(), n);
      }
      break;
    case CON_NONE:
      break;
  }
}

void TComDriver::SendUdp(const std::string& data) {
  if (!udp_.IsActive()) return;
  std::string error;
  bool closed = false;
  // Only a socket failure closes the endpoint; a refused datagram leaves it usable.
  if (udp_.Send(IpRemoteAddress, IpRemotePort, data, error, closed)) return;
  if (closed) CloseUdp();
  NoteLinkError("Cannot send to device " + RemoteName() + ": " + error);
  if (ShowErrorBox) {
    ShowErrorBox(error);
  } else {
    std::fprintf(stderr, "%s\n", error.c_str());
  }
  // Nothing reopens the endpoint during a run: the device can no longer be reached.
  if (closed) Fire(OnLinkLost);
}

// ---------------------------------------------------------------------------------------------
// Receiving

void TComDriver::SerialData(const std::string& data) {
  if (ConType == CON_RS232) Intake(data.data(), data.size());
}

void TComDriver::UdpData(const std::string& data, const std::string& address, int port) {
  // The source is compared as text: only the device's own address and port count.
  if (ConType != CON_UDP || address != IpRemoteAddress || port != IpRemotePort) return;
  const size_t n = std::min(kIoSize, data.size());
  std::memcpy(IoBuffer.data(), data.data(), n);
  IoBuffer[n] = '\0';
  Intake(IoBuffer.data(), std::strlen(IoBuffer.data()));
}

void TComDriver::TcpRead() {
  const size_t n = tcp_.Read(IoBuffer.data(), kIoSize);
  if (n == 0 || ConType != CON_TCP) return;
  IoBuffer[n] = '\0';
  Intake(IoBuffer.data(), std::strlen(IoBuffer.data()));
}

void TComDriver::Intake(const char* text, size_t n) {
  if (WireTap && n > 0) WireTap(false, std::string(text, n));
  const size_t room = kMaxRxText - std::min(kMaxRxText, RxText.size());
  if (n > room) {
    if (!overflow_reported_) {
      std::fprintf(stderr,
                   "Device link: more than %zu bytes received and not read; the excess is "
                   "dropped.\n",
                   kMaxRxText);
      overflow_reported_ = true;
    }
    n = room;
  }
  RxText.append(text, n);
  if (ConMode == MODE_VAR) {
    ParseVariables();
  } else {
    Fire(OnRecString);
  }
}

void TComDriver::ParseVariables() {
  size_t at = RxText.find("\r\n");
  while (at != std::string::npos || RxText.size() > 10) {
    if (at == std::string::npos) {
      // An unterminated tail keeps only its last 10 bytes.
      RxText.erase(0, RxText.size() - 10);
    } else {
      std::string line = RxText.substr(0, at);
      RxText.erase(0, at + 2);
      MatchLine(line);
    }
    at = RxText.find("\r\n");
  }
}

void TComDriver::MatchLine(const std::string& line) {
  int index = 0;
  uint32_t value = 0;
  for (; index < kVarCount; ++index) {
    const size_t len = std::strlen(VarNames[index]);
    if (line.compare(0, len, VarNames[index]) != 0) continue;
    if (line.size() == len) break;
    std::optional<int64_t> v = StrToInt(line.substr(len), 0, UINT32_MAX);
    if (v) {
      value = static_cast<uint32_t>(*v);
      break;
    }
  }
  if (index == kVarCount) return;

  receivedString = line;
  // Handlers of OnRecString still see the value from before this line.
  Fire(OnRecString);
  switch (index) {
    case 0:
      ADDRDBG = value;
      Fire(OnADDRDBGchange);
      break;
    case 1:
      DATADBG = value;
      Fire(OnDATADBGchange);
      break;
    case 2:
      DEV = value;
      Fire(OnDEVchange);
      break;
    case 3:
      UPDATER = value;
      Fire(OnUPDATERchange);
      break;
    case 4:
      Fire(OnDOLLARSchange);
      break;
    case 5:
      Fire(OnQUERYALLchange);
      break;
  }
}

void TComDriver::Fire(const TComDriverNotifyEvent& event) {
  if (event) event(*this, Tag);
}

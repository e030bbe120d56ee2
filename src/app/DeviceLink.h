#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "formats/constante.h"

// The part of the device link driver that the run controller uses. ComDriverLink.h puts the
// real driver behind it; tests may put a scripted one.
class TDeviceLink {
 public:
  virtual ~TDeviceLink() = default;

  // Opens or closes a transport; false when the chosen one could not be opened.
  virtual bool SetConType(tConnectionType t) = 0;
  virtual tConnectionType GetConType() const = 0;
  virtual void SetConMode(tConnectionMode m) = 0;
  virtual void SetPort(const std::string& name) = 0;  // "COM1".."COM9", or a device path
  virtual std::string GetPort() const = 0;
  virtual void SetBaudRate(uint32_t baud) = 0;
  virtual void SetIpLocalPort(int32_t port) = 0;
  virtual void SetIpRemotePort(int32_t port) = 0;
  virtual void SetIpRemoteAddress(const std::string& address) = 0;
  virtual void SendVarCommand(int index) = 0;         // variable mode only
  virtual uint32_t GetDEV() const = 0;                // last value the device reported
  virtual void SetUPDATER(uint32_t value) = 0;        // variable mode only
  virtual std::string ReadRaw() = 0;                  // raw mode only; empties the driver's text
  virtual void SendRaw(const std::string& data) = 0;  // raw mode only
  virtual std::string LastError() const = 0;          // reason of the last failed opening
  // The last failure of the open link, on one line (a refused connection, a send error); empty
  // when there was none.
  virtual std::string LinkError() const { return {}; }
  // Device path of COMn (n = 1..9) from the settings; empty restores the default.
  virtual void SetComDevice(int n, const std::string& path) { (void)n, (void)path; }
  // How the link shows a send failure to the operator (a UDP send error); unset: stderr.
  virtual void SetErrorBox(std::function<void(const std::string& text)> show) { (void)show; }

  // Fired on the user-interface thread for every received chunk (raw mode) or report line
  // (variable mode).
  std::function<void()> OnRecString;
  // Fired on the user-interface thread when the open link is gone for good (the device closed
  // the connection, the serial port hung up), with a text naming the cause and the device.
  std::function<void(const std::string& text)> OnLinkLost;
  // Fired on the user-interface thread when the link failed but is tried again (a TCP
  // connection refused, unreachable or unanswered), with a text naming the cause and the device.
  std::function<void(const std::string& text)> OnLinkTrouble;
};

// Index of the device-state variable ("?" on the wire).
inline constexpr int kVarDEV = 2;

#pragma once

#include <memory>

#include "app/DeviceLink.h"
#include "link/ComDriver.h"

// The real device link driver behind the run controller's link interface. Tag 1, as the
// window's own driver has.
class TComDriverLink : public TDeviceLink {
 public:
  TComDriverLink();

  TComDriver& Driver() { return FDriver; }

  bool SetConType(tConnectionType t) override { return FDriver.SetConType(t); }
  tConnectionType GetConType() const override { return FDriver.GetConType(); }
  void SetConMode(tConnectionMode m) override { FDriver.SetConMode(m); }
  void SetPort(const std::string& name) override { FDriver.SetPort(name); }
  std::string GetPort() const override { return FDriver.GetPort(); }
  void SetBaudRate(uint32_t baud) override { FDriver.SetBaudRate(baud); }
  void SetIpLocalPort(int32_t port) override { FDriver.SetIpLocalPort(port); }
  void SetIpRemotePort(int32_t port) override { FDriver.SetIpRemotePort(port); }
  void SetIpRemoteAddress(const std::string& a) override { FDriver.SetIpRemoteAddress(a); }
  void SendVarCommand(int index) override { FDriver.SendVarCommand(index); }
  uint32_t GetDEV() const override { return FDriver.GetDEV(); }
  void SetUPDATER(uint32_t value) override { FDriver.SetUPDATER(value); }
  std::string ReadRaw() override { return FDriver.ReadRaw(); }
  void SendRaw(const std::string& data) override { FDriver.SendRaw(data); }
  std::string LastError() const override { return FDriver.LastError(); }
  std::string LinkError() const override { return FDriver.LinkError(); }
  void SetComDevice(int n, const std::string& path) override { FDriver.SetComDevice(n, path); }
  void SetErrorBox(std::function<void(const std::string& text)> show) override {
    FDriver.ShowErrorBox = std::move(show);
  }
  // Every byte sent to and received from the device, in wire order (--trace, --timeout).
  void SetWireTap(std::function<void(bool sent, const std::string& bytes)> tap) {
    FDriver.WireTap = std::move(tap);
  }

 private:
  TComDriver FDriver;
};

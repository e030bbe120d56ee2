#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/DeviceLink.h"
#include "app/EngineSet.h"
#include "app/scripted_device.h"
#include "engines/gestionnaire.h"

// A link that records what would go on the wire, as "var:" and "raw:" entries, and every
// connection change as "open:<type>".
class TFakeLink : public TDeviceLink {
 public:
  bool SetConType(tConnectionType t) override {
    con_type = t;
    log.push_back("con:" + std::to_string(t));
    return t == CON_NONE || open_ok;
  }
  tConnectionType GetConType() const override { return con_type; }
  void SetConMode(tConnectionMode m) override { mode = m; }
  void SetPort(const std::string& name) override { port = name; }
  void SetComDevice(int n, const std::string& path) override { com_devices[n] = path; }
  std::string GetPort() const override { return port; }
  void SetBaudRate(uint32_t b) override {
    baud = b;
    log.push_back("baud:" + std::to_string(b));
  }
  void SetIpLocalPort(int32_t p) override { local_port = p; }
  void SetIpRemotePort(int32_t p) override { remote_port = p; }
  void SetIpRemoteAddress(const std::string& a) override { remote_address = a; }
  void SendVarCommand(int index) override {
    if (mode == MODE_VAR && index == kVarDEV) Transmit("var:", "?");
  }
  uint32_t GetDEV() const override { return dev; }
  void SetUPDATER(uint32_t v) override {
    if (mode == MODE_VAR) Transmit("var:", std::to_string(v) + "yU");
  }
  std::string ReadRaw() override {
    if (mode != MODE_RAW) return {};
    return std::exchange(rx, {});
  }
  void SendRaw(const std::string& data) override {
    if (mode == MODE_RAW) Transmit("raw:", data);
  }
  std::string LastError() const override { return last_error; }

  // Hands what the device answered to the controller, as the driver would: a variable report
  // fires OnRecString before the value is stored.
  void Pump() {
    if (pending.empty() || con_type == CON_NONE) return;
    const std::string data = std::exchange(pending, {});
    if (mode == MODE_RAW) {
      Deliver(data);
    } else if (data.rfind("DEV", 0) == 0) {
      if (OnRecString) OnRecString();
      dev = static_cast<uint32_t>(std::stoul(data.substr(3)));
    }
  }

  void Deliver(const std::string& data) {
    rx += data;
    if (OnRecString) OnRecString();
  }

  std::vector<std::string> Only(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : log)
      if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
    return out;
  }

  void Transmit(const char* kind, const std::string& msg) {
    log.push_back(kind + msg);
    if (device && con_type != CON_NONE) pending += device->Answer(msg);
  }

  TScriptedDevice* device = nullptr;
  std::string pending;
  bool open_ok = true;
  std::string last_error;
  uint32_t dev = 0;
  tConnectionType con_type = CON_NONE;
  tConnectionMode mode = MODE_VAR;
  std::string port;
  std::map<int, std::string> com_devices;
  uint32_t baud = 0;
  int32_t local_port = 0, remote_port = 0;
  std::string remote_address;
  std::string rx;
  std::vector<std::string> log;
};

// An engine that takes the lines beginning with one of its words, stays busy for `steps` steps
// and logs "<name>:<line>" into a shared log. Hooks let a test raise events or fail on cue.
class TFakeEngine : public TGestionnaire {
 public:
  TFakeEngine(std::string name, std::vector<std::string> words, std::vector<std::string>* log)
      : Name(std::move(name)), Words(std::move(words)), Log(log) {}

  void Step() {
    if (State == 0) {
      if (Busy) return;
      for (const auto& w : Words) {
        if (Instruction.compare(0, w.size(), w) != 0) continue;
        Log->push_back(Name + ":" + Instruction);
        BeginBusy();
        State = 1;
        left = steps;
        if (on_take) on_take(*this, Instruction);
        return;
      }
      return;
    }
    if (State == 1) {
      if (throw_while_busy) throw std::runtime_error("boom");
      if (--left <= 0) {
        State = 0;
        if (!fail_at_end.empty()) return ReportError(fail_at_end);
        EndBusy();
      }
    }
  }
  void ReportError(const std::string& text) override {
    State = 99;
    EndBusy();
    TGestionnaire::ReportError(text);
  }
  void Reset() override {
    TGestionnaire::Reset();
    State = 0;
    ++resets;
  }

  std::string Name;
  std::vector<std::string> Words;
  std::vector<std::string>* Log;
  uint8_t State = 0;
  int steps = 1;
  int left = 0;
  int resets = 0;
  bool throw_while_busy = false;
  std::string fail_at_end;  // the error of its last busy step
  std::function<void(TFakeEngine&, const std::string&)> on_take;
  TCardNotifyEvent OnVersionSame, OnCardError, OnCardReady;
};

struct TFakeEngines {
  TFakeEngine *boot, *card, *psd, *jtag;
};

inline TEngineSet MakeFakeEngines(std::vector<std::string>* log, TFakeEngines& out) {
  auto boot = std::make_unique<TFakeEngine>("boot", std::vector<std::string>{"SYN", "PB"}, log);
  auto card = std::make_unique<TFakeEngine>(
      "card",
      std::vector<std::string>{"prompt", "wait", "RS", "NP", "FI", "V", "T", "UV", "FY", "M", "OP"},
      log);
  auto psd = std::make_unique<TFakeEngine>(
      "psd", std::vector<std::string>{"PE", "P0", "P1", "P2", "P3", "P4", "P5", "P6", "P7"}, log);
  auto jtag =
      std::make_unique<TFakeEngine>("jtag", std::vector<std::string>{"P8", "P9", "PA"}, log);
  out = {boot.get(), card.get(), psd.get(), jtag.get()};
  return AssembleEngineSet(std::move(boot), std::move(card), std::move(psd), std::move(jtag));
}

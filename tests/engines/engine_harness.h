#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engines/gestionnaire.h"

// Plays the run controller and the device for one engine: owns the received-text buffer as the
// run controller does, records everything the engine tells the outside world in order, and lets
// a test feed reply characters (by hand or through `device`, called for every text sent).
// As on the real link, the device's answers arrive between steps: they are held back until the
// engine next fetches or the harness's current step ends, so a write-back in the middle of a
// step (Consume, ClearReceived) cannot swallow them.
template <class Engine>
class EngineHarness {
 public:
  explicit EngineHarness(Engine& engine) : e(engine) {
    e.OnSend = [this](TGestionnaire& g) {
      sent.push_back(g.GetSendText());
      log.push_back("send:" + g.GetSendText());
      if (device) pending += device(g.GetSendText());
    };
    e.OnFetchReceived = [this](TGestionnaire& g) {
      Deliver();
      g.SetReceived(buffer);
    };
    e.OnReceivedChange = [this](TGestionnaire& g) { buffer = g.GetReceived(); };
    e.OnBusyChange = [this](TGestionnaire& g) { log.push_back(g.IsBusy() ? "busy:1" : "busy:0"); };
    e.OnStatus = [this](TGestionnaire& g) {
      statuses.push_back(g.GetStatusText());
      log.push_back("status:" + g.GetStatusText());
    };
    e.OnError = [this](TGestionnaire& g) {
      errors.push_back(g.GetErrorText());
      log.push_back("error:" + g.GetErrorText());
    };
    e.OnProgressMax = [this](TGestionnaire& g) {
      log.push_back("pmax:" + std::to_string(g.GetProgressMax()));
    };
    e.OnProgressStep = [this](TGestionnaire&) {
      ++progress_steps;
      log.push_back("pstep");
    };
    e.OnDeviceId = [this](TGestionnaire& g) {
      log.push_back("devid:" + std::to_string(g.GetDeviceId()));
    };
    e.OnDeviceVariant = [this](TGestionnaire& g) {
      log.push_back(g.GetDeviceVariant() ? "variant:1" : "variant:0");
    };
    e.OnOperationEnd = [this](TGestionnaire&) { log.push_back("opend"); };
    e.OnFileRead = [this](TGestionnaire& g) { files.push_back(g.GetFileRead()); };
    e.OnRetry = [this](TGestionnaire&) { ++retries; };
    e.OnVersion = [this](TGestionnaire& g) {
      const TVersionNote& v = g.GetVersionNote();
      versions.push_back(v.Word + ":" + (v.Component ? std::string(1, v.Component) : "") + ":" +
                         v.Version + (v.Word == "T" ? ":" + v.Expected : ""));
    };
  }

  // Offers a script line as the run controller does; true when the engine took it.
  bool Offer(const std::string& line) {
    e.SetInstruction(line);
    e.Step();
    Deliver();
    return e.IsBusy();
  }

  void Reply(const std::string& chars) { buffer += chars; }

  // Hands the device's held-back answers to the received buffer.
  void Deliver() {
    buffer += pending;
    pending.clear();
  }

  // Steps while busy, at most max_steps times; returns the number of steps taken.
  int RunUntilIdle(int max_steps = 100000) {
    int n = 0;
    while (e.IsBusy() && n < max_steps) {
      e.Step();
      Deliver();
      ++n;
    }
    return n;
  }

  void Step(int n = 1) {
    for (int i = 0; i < n; ++i) {
      e.Step();
      Deliver();
    }
  }

  // The entries of `log` that start with prefix, prefix removed.
  std::vector<std::string> Only(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : log)
      if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
    return out;
  }

  Engine& e;
  std::string buffer;
  std::string pending;  // the device's answers not yet delivered
  std::vector<std::string> log;
  std::vector<std::string> sent;
  std::vector<std::string> statuses;
  std::vector<std::string> errors;
  int progress_steps = 0;
  // What records of a run learn: files read, "R" charged, versions as "word:letter:version"
  // (with ":expected" for "T").
  std::vector<std::string> files;
  int retries = 0;
  std::vector<std::string> versions;
  // Called with every text sent; what it returns is appended to the received buffer.
  std::function<std::string(const std::string&)> device;
};

#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/RunController.h"
#include "app/fakes.h"
#include "app/recording_view.h"
#include "app/run_probe.h"

// One QCoreApplication for the whole test program (timers and socket notifiers need it).
inline QCoreApplication& TestApp() {
  static int argc = 1;
  static char name[] = "tests_app";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

// A run controller over fake engines and a fake link, in a temporary program folder. The test
// drives Timer1 by calling Timer1Timer, so nothing depends on the clock.
class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    ASSERT_TRUE(dir.isValid());
    prog = dir.path().toStdString() + "/";
  }

  void Make(const std::string& script_arg = "", bool readid = false) {
    auto link = std::make_unique<TFakeLink>();
    fl = link.get();
    fl->dev = 30;
    ctl = std::make_unique<TRunController>(view, std::move(link), MakeFakeEngines(&log, e),
                                           TRunConfig{prog, script_arg, readid});
  }

  void Write(const std::string& rel, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(prog + rel).parent_path());
    std::ofstream(prog + rel, std::ios::binary) << text;
  }

  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) ctl->Timer1Timer();
  }

  // Presses the button and ticks until the machine is idle again; returns the state in which
  // every step began.
  std::vector<TRunState> Run(bool readid = false, int max_ticks = 10000) {
    std::vector<TRunState> states;
    if (readid)
      ctl->ReadIdClick();
    else
      ctl->StartClick();
    for (int i = 0; i < max_ticks && ctl->GetRunState() != TRunState::Idle; ++i) {
      states.push_back(ctl->GetRunState());
      if (on_step) on_step(ctl->GetRunState());
      Tick();
    }
    return states;
  }

  // Called by Run as each step begins, with its state.
  std::function<void(TRunState state)> on_step;

  TRunControllerProbe Probe() { return TRunControllerProbe(*ctl); }

  // Instructions the engines took, as "<engine>:<line>".
  std::vector<std::string> Taken() const { return log; }

  QTemporaryDir dir;
  std::string prog;
  TRecordingView view;
  TFakeLink* fl = nullptr;
  TFakeEngines e{};
  std::vector<std::string> log;
  std::unique_ptr<TRunController> ctl;
};

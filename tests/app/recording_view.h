#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "app/MainView.h"

// A view that only records what the run controller tells it.
class TRecordingView : public TMainView {
 public:
  struct Bar {
    int32_t position = 0;
    int32_t max = 100;
  };

  void SetTitle(const std::string& text) override {
    title = text;
    titles.push_back(text);
  }
  void AppendStatus(const std::string& line) override { status.push_back(line); }
  void SetStartCaption(const std::string& text) override { start_caption = text; }
  void SetEnabled(TControl c, bool e) override { enabled[c] = e; }
  void SetVisible(TControl c, bool v) override { visible[c] = v; }
  void SetProgress(TBar bar, int32_t position, int32_t max) override {
    bars[bar] = {position, max};
  }
  void ShowPortChoice(const TPortChoice& choice) override { port = choice; }
  void ShowMode(bool m) override { manual = m; }
  void ShowErrorBox(const std::string& text) override {
    error_boxes.push_back(text);
    if (on_error_box) on_error_box();
  }
  void CloseWindow() override { ++close_requests; }

  bool HasStatus(const std::string& line) const {
    for (const auto& s : status)
      if (s == line) return true;
    return false;
  }

  std::string title;
  std::vector<std::string> titles;  // each as set
  std::vector<std::string> status;
  std::string start_caption;
  std::map<TControl, bool> enabled, visible;
  std::array<Bar, 3> bars{};
  TPortChoice port;
  bool manual = false;
  std::vector<std::string> error_boxes;
  std::function<void()> on_error_box;
  int close_requests = 0;
};

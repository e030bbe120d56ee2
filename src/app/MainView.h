#pragma once

#include <cstdint>
#include <string>

#include "app/Selection.h"

// What the run controller shows. The view is passive: it displays what it is told and forwards
// clicks; the window implements it with widgets, tests and the batch mode with plain objects.
class TMainView {
 public:
  enum TControl { ctStart, ctReadId, ctQuit, ctPortMenu, ctModeMenu };
  enum TBar { pbOperation = 0, pbCard = 1, pbScript = 2 };  // ProgressBar1..ProgressBar3

  virtual ~TMainView() = default;

  virtual void SetTitle(const std::string& text) = 0;
  virtual void AppendStatus(const std::string& line) = 0;
  virtual void SetStartCaption(const std::string& text) = 0;
  virtual void SetEnabled(TControl control, bool enabled) = 0;
  virtual void SetVisible(TControl control, bool visible) = 0;
  // 0 <= position <= max.
  virtual void SetProgress(TBar bar, int32_t position, int32_t max) = 0;
  virtual void ShowPortChoice(const TPortChoice& choice) = 0;
  virtual void ShowMode(bool manual) = 0;
  // Modal error box; returns when the operator has closed it.
  virtual void ShowErrorBox(const std::string& text) = 0;
  virtual void CloseWindow() = 0;
};

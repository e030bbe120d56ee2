#pragma once

#include <QMainWindow>
#include <array>
#include <memory>

#include "app/MainView.h"
#include "app/RunController.h"

class QAction;
class QActionGroup;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The main window: shows what the run controller tells it and forwards clicks to it.
class TMainFich : public QMainWindow, public TMainView {
  Q_OBJECT

 public:
  TMainFich(TRunConfig config, std::unique_ptr<TDeviceLink> link, TEngineSet engines,
            QWidget* parent = nullptr);
  ~TMainFich() override;

  TRunController& Controller() { return *Ctl; }

  // Menu commands whose dialogs are wired in separately.
  void LAN1Click();
  void MManualClick();
  void AboutUpdaterClick();

  // TMainView
  void SetTitle(const std::string& text) override;
  void AppendStatus(const std::string& line) override;
  void SetStartCaption(const std::string& text) override;
  void SetEnabled(TControl control, bool enabled) override;
  void SetVisible(TControl control, bool visible) override;
  void SetProgress(TBar bar, int32_t position, int32_t max) override;
  void ShowPortChoice(const TPortChoice& choice) override;
  void ShowMode(bool manual) override;
  void ShowErrorBox(const std::string& text) override;
  void CloseWindow() override;

  QPushButton* Start = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QPlainTextEdit* MemoStatus = nullptr;
  QPushButton* ReadId = nullptr;
  QPushButton* Quit = nullptr;
  QMenu* Port1 = nullptr;
  std::array<QAction*, 9> ComItems{};  // Com11 .. Com91
  QMenu* About1 = nullptr;
  QAction* AboutUpdater = nullptr;
  QMenu* Program1 = nullptr;
  QAction* MAuto = nullptr;
  QAction* MManual = nullptr;
  QProgressBar* ProgressBar2 = nullptr;
  QProgressBar* ProgressBar3 = nullptr;
  QAction* N1 = nullptr;
  QAction* LAN1 = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus();
  void BuildControls();
  QWidget* Control(TControl control);
  void FormClose();

  std::unique_ptr<TRunController> Ctl;
  bool ClosedOnce = false;
};

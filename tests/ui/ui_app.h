#pragma once

#include <QApplication>

// The one QApplication the widget tests share; created on first use.
inline QApplication* UiApp() {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  // Widget tests never need a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "tests_ui";
  static char* argv[] = {name, nullptr};
  // Never destroyed: at exit Qt's own statics (the input devices of key events) go first.
  static QApplication* app = new QApplication(argc, argv);
  return app;
}

#include <QTimer>
#include <QWidget>
#include <functional>

// Runs `act` on the modal dialog that the next call opens with exec(), once it is showing;
// gives up after about ten seconds of event-loop turns.
inline void OnModal(std::function<void(QWidget* dialog)> act, int turnsLeft = 10000) {
  QTimer::singleShot(1, [act, turnsLeft] {
    if (QWidget* w = QApplication::activeModalWidget()) return act(w);
    if (turnsLeft > 0) OnModal(act, turnsLeft - 1);
  });
}

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
  static QApplication app(argc, argv);
  return &app;
}

#include <QApplication>
#include <memory>
#include <optional>

#include "app/ComDriverLink.h"
#include "app/CommandLine.h"
#include "app/EngineSet.h"
#include "app/RunController.h"
#include "ui/MainFich.h"
#include "ui/PackageFolder.h"

int main(int argc, char** argv) {
  // --check, --help, --version and usage errors need no display: done before any window.
  Options options;
  if (std::optional<int> status = RunWithoutWindow(argc, argv, options)) return *status;
  QApplication app(argc, argv);
  if (options.Folder.empty() && options.Script.empty()) ChooseStartFolder();
  TMainFich MainFich(DefaultRunConfig(options.Script), std::make_unique<TComDriverLink>(),
                     MakeEngineSet());
  MainFich.LoadSettings();
  MainFich.show();
  return app.exec();
}

#include <QApplication>
#include <csignal>
#include <memory>
#include <optional>

#include "app/ComDriverLink.h"
#include "app/EngineSet.h"
#include "app/LinkOption.h"
#include "app/RunController.h"
#include "app/Settings.h"
#include "cli/CommandLine.h"
#include "cli/SealCommand.h"
#include "link/SerialDevices.h"
#include "ui/MainFich.h"
#include "ui/PackageFolder.h"

int main(int argc, char** argv) {
  // A write to a closed pipe or past the file-size limit fails with EPIPE or EFBIG, which its
  // writer reports, instead of ending the program before it has said or recorded anything.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // --check, --help, --version and usage errors need no display: done before any window.
  Options options;
  if (std::optional<int> status = RunWithoutWindow(argc, argv, options)) return *status;
  QApplication app(argc, argv);
  ChooseStartFolder();
  std::string error;
  TMainFich MainFich(DefaultRunConfig(options.Script), std::make_unique<TComDriverLink>(),
                     MakeEngineSet(), MakeSystemSerialDevices(),
                     std::make_unique<TSettingsStore>());
  MainFich.LoadSettings();
  // The command line has checked the text already.
  if (TLinkOption link; !options.Link.empty() && ParseLinkOption(options.Link, link, error))
    MainFich.UseLink(link);
  MainFich.UseSealPolicy(SealPolicyFor(options));
  MainFich.show();
  return app.exec();
}

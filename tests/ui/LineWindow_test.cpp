#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTableWidget>
#include <filesystem>
#include <fstream>
#include <map>

#include "formats/text.h"
#include "link/fake_serial_devices.h"
#include "link/link_test_util.h"
#include "records/RunHistory.h"
#include "records/RunReport.h"
#include "scratch_dir.h"
#include "sys/Sha256.h"
#include "ui/LineWindow.h"
#include "ui/ui_app.h"

using ::testing::HasSubstr;

namespace {

std::string FileHash(const std::string& path) {
  uint64_t size = 0;
  std::string sha256, error;
  EXPECT_TRUE(Sha256File(path, size, sha256, error)) << error;
  return sha256;
}

const std::string kBinary = QUBRA_BINARY_DIR;

// The line window over the real runner: the updater itself as every device's child, each
// device a qubra-sim on 127.0.0.1, the demo package in a folder whose name is not ASCII.
class LineWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UiApp();
    for (const char* file : {"/qubra-updater", "/qubra-sim", "/demo/script.ini"})
      if (!std::filesystem::exists(kBinary + file))
        GTEST_SKIP() << kBinary + file << " is not built";
    pkg = scratch.Path() + "rép ü€/";
    std::filesystem::copy(kBinary + "/demo", pkg, std::filesystem::copy_options::recursive);
    // Never used for a connection: every device has its own link.
    std::ofstream(pkg + "Updater.prm")
        << "CON_TYPE=TCP\r\nREMOTE_IP=127.0.0.1\r\nREMOTE_PORT=1\r\n";
    report = pkg + "runs.jsonl";
  }

  void TearDown() override {
    window.reset();
    for (auto& sim : sims) {
      sim->terminate();
      sim->waitForFinished(10000);
    }
  }

  // A simulated device: its link.
  std::string Device(const QStringList& options = {}) {
    auto sim = std::make_unique<QProcess>();
    sim->start(QString::fromStdString(kBinary + "/qubra-sim"),
               QStringList{"--tcp", "127.0.0.1:0"} + options);
    std::string out;
    QElapsedTimer clock;
    clock.start();
    while (out.find('\n') == std::string::npos && clock.elapsed() < 20000)
      if (sim->waitForReadyRead(1000)) out += sim->readAllStandardOutput().toStdString();
    const size_t at = out.find("tcp 127.0.0.1:");
    EXPECT_NE(at, std::string::npos) << out;
    sims.push_back(std::move(sim));
    return at == std::string::npos ? "" : "tcp:" + out.substr(at + 4, out.find(',', at) - at - 4);
  }

  // The window over a list of three devices; the second refuses a record of bank 0 once.
  void OpenThree() {
    std::ofstream(scratch.Path() + "devices.txt")
        << "# bench\na " << Device() << "\nb " << Device({"--fail-line", "12"}) << "\nc "
        << Device() << "\n";
    auto configure = [this](const std::string&) {
      TProductionLine::TConfig config;
      config.Program = kBinary + "/qubra-updater";
      config.SharedArgs = {"--folder=" + pkg, "--timeout=20", "--report=" + report};
      config.ReportFile = report;
      return config;
    };
    auto ports = std::make_unique<TFakeSerialDevices>();
    ports->devices = {FtdiAdapter()};
    serial = ports.get();
    window = std::make_unique<TLineWindow>(configure, std::move(ports), MakeSystemChildRunner());
    std::string error;
    ASSERT_TRUE(window->OpenList(scratch.Path() + "devices.txt", error)) << error;
    window->show();
  }

  static bool WaitFor(const std::function<bool()>& done) { return ::WaitFor(done, 90000); }
  bool WaitIdle() {
    return WaitFor([this] { return !window->Line().Busy(); });
  }

  // What the table shows in a column, row by row.
  std::vector<std::string> Column(int column) {
    std::vector<std::string> cells;
    for (int row = 0; row < window->Table->rowCount(); ++row)
      cells.push_back(window->Table->item(row, column)->text().toStdString());
    return cells;
  }
  std::vector<std::string> States() { return Column(2); }
  std::string SummaryLine() { return window->Summary->text().section('\n', 0, 0).toStdString(); }

  // Name and result of every record, in the order written, and the newest record of each name.
  std::vector<std::string> Results() {
    std::vector<std::string> out;
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);) {
      const QJsonObject r = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
      out.push_back(r["name"].toString().toStdString() + " " +
                    r["result"].toString().toStdString());
    }
    return out;
  }
  void Select(int row) {
    window->Table->clearSelection();
    window->Table->setCurrentCell(row, 0);
    window->Table->selectRow(row);
  }

  ScratchDir scratch;
  std::string pkg, report;
  std::vector<std::unique_ptr<QProcess>> sims;
  std::unique_ptr<TLineWindow> window;
  TFakeSerialDevices* serial = nullptr;
};

TEST_F(LineWindowTest, StartAllThenRetryFailed) {
  UseRunHistory({"", ""});  // where the children keep their runs
  OpenThree();
  EXPECT_EQ(window->windowTitle().toStdString(),
            "Varnell Qubra Production Line - " + scratch.Path() + "devices.txt");
  EXPECT_EQ(SummaryLine(), "3 devices: 3 waiting, 0 running, 0 completed, 0 failed, 0 stopped");
  // Top to bottom: the buttons, the table, the panes of the device at the cursor, the summary.
  std::vector<int> tops;
  for (const char* name : {"StartAllButton", "Table", "StatusPane", "Summary"})
    tops.push_back(window->findChild<QWidget*>(name)->mapTo(window.get(), QPoint(0, 0)).y());
  EXPECT_EQ(std::adjacent_find(tops.begin(), tops.end(), std::greater_equal<>()), tops.end())
      << ::testing::PrintToString(tops);
  EXPECT_FALSE(window->RetryItem->isEnabled());
  window->StartAllItem->trigger();
  EXPECT_EQ(States(), (std::vector<std::string>{"connecting", "connecting", "connecting"}));
  EXPECT_TRUE(WaitFor([this] { return States()[0] == "running"; }));
  EXPECT_FALSE(window->StartAllItem->isEnabled());
  EXPECT_FALSE(window->PackageFolderItem->isEnabled());
  EXPECT_TRUE(window->StopAllItem->isEnabled());
  EXPECT_THAT(window->Summary->text().toStdString(), HasSubstr("Line elapsed"));
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(States(), (std::vector<std::string>{"completed", "failed", "completed"}));
  EXPECT_EQ(Column(8), (std::vector<std::string>{"", "Error while writing!!!", ""}));
  EXPECT_EQ(Column(4)[0], "");                            // the closing FI is no operation to show
  EXPECT_TRUE(window->Table->item(0, 2)->font().bold());  // a device that has run
  EXPECT_EQ(SummaryLine(), "3 devices: 0 waiting, 0 running, 2 completed, 1 failed, 0 stopped");
  EXPECT_EQ(window->Line().Rows()[0].Status.back(), "Program operation completed");
  // The pane follows the device at the cursor to its end: its new record.
  EXPECT_THAT(window->RecordPane->toPlainText().toStdString(), HasSubstr("completed in "));
  std::vector<std::string> results = Results();
  std::sort(results.begin(), results.end());
  EXPECT_EQ(results, (std::vector<std::string>{"a completed", "b error", "c completed"}));

  // The simulator refuses that record once only: the retry goes through, the others stay.
  ASSERT_TRUE(window->RetryItem->isEnabled());
  window->RetryItem->trigger();
  EXPECT_EQ(States(), (std::vector<std::string>{"completed", "connecting", "completed"}));
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(States(), (std::vector<std::string>{"completed", "completed", "completed"}));
  EXPECT_EQ(SummaryLine(), "3 devices: 0 waiting, 0 running, 3 completed, 0 failed, 0 stopped");
  ASSERT_EQ(Results().size(), 4u);
  EXPECT_EQ(Results().back(), "b completed");

  // The selected device's pane: its status lines and its newest record, file hashes included.
  Select(1);
  EXPECT_THAT(window->StatusPane->toPlainText().toStdString(),
              HasSubstr("\nUpload Bank1\nVerify Bank1\n"));
  ASSERT_TRUE(WaitFor(
      [&] { return window->RecordPane->toPlainText().contains("b: runs on this station\n"); }));
  const std::string record = window->RecordPane->toPlainText().toStdString();
  EXPECT_THAT(record, HasSubstr("\nResult: completed in "));
  EXPECT_THAT(record, HasSubstr("\nFiles read: 16\n"));
  EXPECT_THAT(record, HasSubstr("\n  " + pkg + "Qubra/script.ini  " +
                                FileHash(pkg + "Qubra/script.ini") + "\n"));
  EXPECT_THAT(record, HasSubstr("\nVersions written: 6\n  V0 0101\n"));
  // And its runs in the station's history, the failed one among them.
  UseRunHistory({"none", ""});
  EXPECT_THAT(record.substr(record.find("b: runs on this station\n")), HasSubstr(" error "));
  const QPoint in_state = window->Table->visualItemRect(window->Table->item(1, 2)).topRight();
  EXPECT_EQ(window->Table->viewport()->grab().toImage().pixelColor(in_state + QPoint(-2, 2)),
            QColor(0xa8, 0xe6, 0xa0));       // the state's colour, through the selection
  window->Table->item(1, 0)->setText("b2");  // renamed: the pane follows
  EXPECT_THAT(window->RecordPane->toPlainText().toStdString(), HasSubstr("No run record of b2"));
}

TEST_F(LineWindowTest, StopOneLeavesTheOthersRunning) {
  OpenThree();
  int refusing_port = 0;
  const int refusing = LoopbackSocket(SOCK_STREAM, refusing_port);  // bound, not listening
  ASSERT_TRUE(window->Line().SetDevice(1, "b", "tcp:127.0.0.1:" + std::to_string(refusing_port)));
  window->StartAllItem->trigger();
  ASSERT_TRUE(WaitFor([this] { return Column(8)[1] == "retrying: Connection refused"; }));
  Select(1);
  EXPECT_TRUE(window->StopItem->isEnabled());
  window->StopItem->trigger();
  ASSERT_TRUE(WaitFor([this] { return window->Line().Rows()[1].State != dsRUNNING; }));
  EXPECT_EQ(States()[1], "stopped");
  EXPECT_EQ(CountStates(window->Line().Rows())[dsRUNNING], 2);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(States(), (std::vector<std::string>{"completed", "stopped", "completed"}));
  EXPECT_EQ(SummaryLine(), "3 devices: 0 waiting, 0 running, 2 completed, 0 failed, 1 stopped");
  std::vector<std::string> results = Results();
  std::sort(results.begin(), results.end());
  EXPECT_EQ(results, (std::vector<std::string>{"a completed", "b stopped", "c completed"}));
  ::close(refusing);
}

// Closing while devices run asks first, then stops them all and closes once their records are
// written.
// Closing asks while devices run; a stop signal does not. Either way the window closes once each
// device has stopped and written its record.
TEST_F(LineWindowTest, ClosingAsksThenStopsAndWaitsForTheRecords) {
  OpenThree();
  window->StartAllItem->trigger();
  ASSERT_TRUE(WaitFor([this] { return !window->Line().Rows()[2].Status.empty(); }));
  OnModal([](QWidget* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click(); });
  window->close();
  EXPECT_TRUE(window->isVisible());
  OnModal([this](QWidget*) { window->StopAndClose(); });  // a stop signal during the question
  window->close();
  ASSERT_TRUE(WaitFor([this] { return !window->isVisible(); }));
  EXPECT_EQ(States(), (std::vector<std::string>{"stopped", "stopped", "stopped"}));
  EXPECT_EQ(Results().size(), 3u);
}

// Edits are checked as --line checks a list; a refused row is marked and never started.
TEST_F(LineWindowTest, EditedRowsAreCheckedAndSaved) {
  OpenThree();
  window->AddItem->trigger();
  ASSERT_EQ(window->Table->rowCount(), 4);
  EXPECT_EQ(Column(8)[3] + States()[3], "no link");  // nothing typed yet: no syntax message
  const std::string link_a = window->Line().Rows()[0].Link;
  // The link is typed, or picked from the serial devices present, which follow plugging.
  auto* editor = window->findChild<QComboBox*>("LinkEditor");
  ASSERT_NE(editor, nullptr);
  auto items = [editor] {
    QStringList texts;
    for (int i = 0; i < editor->count(); ++i) texts << editor->itemText(i);
    return texts.join("|").toStdString();
  };
  EXPECT_EQ(items(), FtdiAdapter().ById);
  EXPECT_EQ(editor->itemData(0, Qt::ToolTipRole).toString().toStdString(),
            "/dev/ttyUSB0, ftdi_sio, FTDI, FT232R USB UART, A1B2C3");
  serial->Plug(FtdiAdapter("/dev/ttyUSB1", "Z9"));
  EXPECT_EQ(items(), FtdiAdapter().ById + "|" + FtdiAdapter("/dev/ttyUSB1", "Z9").ById);
  editor->setEditText(QString::fromStdString(link_a));
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QCoreApplication::sendEvent(editor, &enter);
  ASSERT_TRUE(WaitFor([this] { return !window->Line().Rows()[3].Link.empty(); }));
  EXPECT_EQ(Column(8)[3], "the link \"" + link_a + "\" (tcp " + link_a.substr(4) +
                              ") is already used by \"a\" on line 1");
  EXPECT_EQ(window->Table->item(3, 1)->toolTip().toStdString(), Column(8)[3]);
  EXPECT_EQ(States()[3], "refused");
  window->Table->item(3, 0)->setText("d d");
  EXPECT_THAT(Column(8)[3], HasSubstr("NAME LINK expected"));
  Select(3);
  EXPECT_FALSE(window->StartItem->isEnabled());
  window->Table->item(3, 0)->setText("d");
  window->Table->item(3, 1)->setText("COM2");
  EXPECT_EQ(Column(8)[3], "");
  EXPECT_TRUE(window->StartItem->isEnabled());
  window->RemoveItem->trigger();
  ASSERT_EQ(window->Table->rowCount(), 3);

  // Edits unsaved: closing asks, and Cancel keeps the window.
  OnModal(
      [](QWidget* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::Cancel)->click(); });
  window->close();
  EXPECT_TRUE(window->isVisible());
  OnModal([this](QWidget* dialog) {
    auto* files = static_cast<QFileDialog*>(dialog);
    files->selectFile(QString::fromStdString(scratch.Path() + "saved.txt"));
    QMetaObject::invokeMethod(files, "accept");
  });
  window->SaveAsItem->trigger();
  std::ifstream in(scratch.Path() + "saved.txt");
  const std::string saved(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(saved, "# bench\na " + link_a + "\nb " + window->Line().Rows()[1].Link + "\nc " +
                       window->Line().Rows()[2].Link + "\n");
  window->close();  // saved: nothing to ask
  EXPECT_FALSE(window->isVisible());
  // A row added is a change again.
  window->show();
  window->AddItem->trigger();
  bool asked = false;
  OnModal([&asked](QWidget* box) {
    asked = true;
    static_cast<QMessageBox*>(box)->button(QMessageBox::Discard)->click();
  });
  window->close();
  EXPECT_TRUE(asked);
  EXPECT_FALSE(window->isVisible());
}

}  // namespace

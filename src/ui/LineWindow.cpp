#include "ui/LineWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/ProgramDir.h"
#include "formats/text.h"
#include "records/LastRecord.h"
#include "records/RunHistory.h"
#include "records/RunReport.h"
#include "sys/AtomicFile.h"
#include "ui/HistoryDlg.h"
#include "ui/OpenDialogs.h"

namespace {

// The device's runs the details show from the station's history.
constexpr int kEarlierRuns = 10;

enum TColumn {
  coName,
  coLink,
  coState,
  coProgress,
  coOperation,
  coCard,
  coElapsed,
  coLeft,
  coError,
  coCount
};

constexpr int kTickMs = 250;
// Stopped devices that have not ended after this long are killed with the window.
constexpr int kCloseLimitMs = 30000;

// The rows hold UTF-8, as the events and records give it.
QString Utf8(const std::string& s) {
  return QString::fromStdString(s);
}

QColor StateColour(TDeviceState state) {
  switch (state) {
    case dsRUNNING:
      return {0xc8, 0xdc, 0xff};
    case dsCOMPLETED:
      return {0xa8, 0xe6, 0xa0};
    case dsFAILED:
      return {0xf4, 0xa8, 0xa8};
    case dsSTOPPED:
      return {0xff, 0xdc, 0x96};
    default:
      return {0xe4, 0xe4, 0xe4};
  }
}
const QColor kRefused(0xff, 0xd0, 0xd0);

// A time left, in whole seconds up to a minute, then minutes and seconds.
std::string Duration(double seconds) {
  const auto s = static_cast<int64_t>(std::ceil(std::max(seconds, 0.0)));
  if (s < 60) return std::to_string(s) + " s";
  return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
}

bool Startable(const TDeviceRow& r) {
  return !DeviceBusy(r) && r.Problem.empty();
}

// The state keeps its colour in a selected row: the rows picked are the ones looked at.
class TStateDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem unselected(option);
    unselected.state &= ~QStyle::State_Selected;
    QStyledItemDelegate::paint(painter, unselected, index);
  }
};

}  // namespace

// The link cell: typed, or picked from the serial devices present.
class TLinkDelegate : public QStyledItemDelegate {
 public:
  explicit TLinkDelegate(TLineWindow& window) : QStyledItemDelegate(&window), Window(window) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                        const QModelIndex&) const override {
    auto* box = new QComboBox(parent);
    box->setObjectName("LinkEditor");
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setToolTip(Utf8("LINK: " + LinkForms()));
    Window.FillLinks(box);
    Window.LinkEditor = box;
    return box;
  }
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    static_cast<QComboBox*>(editor)->setEditText(index.data().toString());
  }
  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override {
    model->setData(index, static_cast<QComboBox*>(editor)->currentText().trimmed());
  }

 private:
  TLineWindow& Window;
};

TLineWindow::TLineWindow(TConfigure configure, std::unique_ptr<TSerialDevices> devices,
                         std::unique_ptr<TChildRunner> children, QWidget* parent)
    : QMainWindow(parent),
      Configure(std::move(configure)),
      Devices(std::move(devices)),
      Children(std::move(children)) {
  setObjectName("LineWindow");
  Runner = std::make_unique<TProductionLine>(Configure(ProgramDir()), std::vector<TLineDevice>{},
                                             *Children);
  BuildControls();
  BuildMenus();
  Runner->RowChanged = [this](size_t index) { RowChanged(index); };
  Runner->ListChanged = [this] { ShowAll(); };
  Clock = new QTimer(this);
  connect(Clock, &QTimer::timeout, this, &TLineWindow::Tick);
  Clock->start(kTickMs);
  CloseLimit = new QTimer(this);
  CloseLimit->setSingleShot(true);
  connect(CloseLimit, &QTimer::timeout, this, [this] {
    ForceClose = true;
    close();
  });
  if (Devices) Devices->Watch([this] { ListPorts(); });
  ListPorts();
  SetListFile("");
  ShowPackage();
  ShowAll();
  resize(1100, 640);
}

TLineWindow::~TLineWindow() {
  if (Devices) Devices->Watch(nullptr);
  Runner->RowChanged = nullptr;
  Runner->ListChanged = nullptr;
}

QAction* TLineWindow::MakeAction(QMenu* menu, const char* name, const char* caption,
                                 QKeySequence key, void (TLineWindow::*click)()) {
  QAction* action = menu->addAction(QString::fromLatin1(caption));
  action->setObjectName(name);
  action->setShortcut(key);
  connect(action, &QAction::triggered, this, click);
  return action;
}

void TLineWindow::BuildMenus() {
  QMenu* list = menuBar()->addMenu("&List");
  OpenItem = MakeAction(list, "OpenItem", "&Open...", QKeySequence::Open, &TLineWindow::OpenClick);
  SaveItem = MakeAction(list, "SaveItem", "&Save", QKeySequence::Save, &TLineWindow::SaveClick);
  SaveAsItem = MakeAction(list, "SaveAsItem", "Save &As...", QKeySequence("Ctrl+Shift+S"),
                          &TLineWindow::SaveAsClick);
  list->addSeparator();
  AddItem = MakeAction(list, "AddItem", "&Add Device", QKeySequence("Ins"), &TLineWindow::AddClick);
  RemoveItem = MakeAction(list, "RemoveItem", "&Remove Device", QKeySequence::Delete,
                          &TLineWindow::RemoveClick);
  list->addSeparator();
  PackageFolderItem = MakeAction(list, "PackageFolderItem", "&Package Folder...", {},
                                 &TLineWindow::PackageFolderClick);
  list->addSeparator();
  CloseItem = list->addAction("&Close");
  CloseItem->setObjectName("CloseItem");
  CloseItem->setShortcut(QKeySequence("Ctrl+Q"));
  connect(CloseItem, &QAction::triggered, this, &QWidget::close);

  QMenu* line = menuBar()->addMenu("L&ine");
  StartAllItem = MakeAction(line, "StartAllItem", "Start &All", QKeySequence("F5"),
                            &TLineWindow::StartAllClick);
  StartItem =
      MakeAction(line, "StartItem", "&Start", QKeySequence("Shift+F5"), &TLineWindow::StartClick);
  StopAllItem =
      MakeAction(line, "StopAllItem", "Stop A&ll", QKeySequence("F8"), &TLineWindow::StopAllClick);
  StopItem =
      MakeAction(line, "StopItem", "S&top", QKeySequence("Shift+F8"), &TLineWindow::StopClick);
  RetryItem = MakeAction(line, "RetryItem", "&Retry Failed", QKeySequence("F9"),
                         &TLineWindow::RetryFailedClick);

  // Each button is its menu item: caption, shortcut and enabled state in one place.
  auto* buttons = new QHBoxLayout;
  for (QAction* action : {StartAllItem, StartItem, StopAllItem, StopItem, RetryItem}) {
    auto* button = new QToolButton(centralWidget());
    button->setObjectName(action->objectName().replace("Item", "Button"));
    button->setDefaultAction(action);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setMinimumSize(110, 34);
    action->setToolTip(action->text().remove('&') + " (" + action->shortcut().toString() + ")");
    buttons->addWidget(button);
  }
  buttons->addStretch();
  static_cast<QVBoxLayout*>(centralWidget()->layout())->insertLayout(0, buttons);
}

void TLineWindow::BuildControls() {
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  Table = new QTableWidget(0, coCount, central);
  Table->setObjectName("Table");
  Table->setHorizontalHeaderLabels(
      {"Name", "Link", "State", "Progress", "Operation", "Card", "Elapsed", "Time Left", "Error"});
  Table->setSelectionBehavior(QAbstractItemView::SelectRows);
  Table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Table->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                         QAbstractItemView::AnyKeyPressed);
  Table->setItemDelegateForColumn(coLink, new TLinkDelegate(*this));
  Table->setItemDelegateForColumn(coState, new TStateDelegate(Table));
  Table->verticalHeader()->setVisible(false);
  QHeaderView* header = Table->horizontalHeader();
  header->setStretchLastSection(true);
  const std::pair<int, int> widths[] = {{coName, 110},     {coLink, 200},      {coState, 90},
                                        {coProgress, 120}, {coOperation, 140}, {coCard, 60},
                                        {coElapsed, 70},   {coLeft, 75}};
  for (const auto& [col, width] : widths) Table->setColumnWidth(col, width);
  connect(Table, &QTableWidget::cellChanged, this, &TLineWindow::CellEdited);
  connect(Table, &QTableWidget::currentCellChanged, this, [this] { ShowDetails(); });
  connect(Table, &QTableWidget::itemSelectionChanged, this, [this] { UpdateActions(); });

  Summary = new QLabel(central);
  Summary->setObjectName("Summary");
  QFont big = Summary->font();
  big.setPointSizeF(big.pointSizeF() * 1.3);
  big.setBold(true);
  Summary->setFont(big);
  auto* details = new QSplitter(Qt::Horizontal, central);
  for (QPlainTextEdit** pane : {&StatusPane, &RecordPane}) {
    *pane = new QPlainTextEdit(details);
    (*pane)->setReadOnly(true);
    (*pane)->setLineWrapMode(QPlainTextEdit::NoWrap);
    details->addWidget(*pane);
  }
  StatusPane->setObjectName("StatusPane");
  RecordPane->setObjectName("RecordPane");
  RecordPane->setLineWrapMode(QPlainTextEdit::WidgetWidth);  // a long error stays readable
  auto* split = new QSplitter(Qt::Vertical, central);
  split->addWidget(Table);
  split->addWidget(details);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  column->addWidget(split);
  column->addWidget(Summary);
  setCentralWidget(central);
  Package = new QLabel(this);
  Package->setObjectName("Package");
  statusBar()->addWidget(Package, 1);
}

// ---- the list ----

bool TLineWindow::OpenList(const std::string& path, std::string& error) {
  std::vector<std::string> lines;
  if (std::string why; !ReadTextLines(path, lines, &why)) {
    error = Excerpt(path) + ": cannot be read: " + why;
    return false;
  }
  if (!Runner->SetDevices(ReadDeviceEntries(lines))) {
    error = "devices are running: stop them first";
    return false;
  }
  ListLines = std::move(lines);
  Modified = false;
  SetListFile(path);
  return true;
}

bool TLineWindow::SaveList(const std::string& path, std::string& error) {
  TAtomicFile file(path);
  bool written = file.Open();
  for (const std::string& line : WriteDeviceEntries(ListLines, Runner->Listed()))
    if (written) written = file.Write(line + "\n");
  if (written && file.Commit()) {
    Modified = false;
    SetListFile(path);
    return true;
  }
  error = file.Error();
  return false;
}

void TLineWindow::SetListFile(const std::string& path) {
  ListFile = path;
  setWindowTitle("Varnell Qubra Production Line - " +
                 (path.empty() ? QString("untitled") : Utf8(path)));
}

void TLineWindow::ShowError(const std::string& error) {
  QMessageBox::critical(this, "Error", Utf8(error), QMessageBox::Ok);
}

// Offers to save the list's changes before they are lost; false when the operator cancels or
// the save fails.
bool TLineWindow::KeepChanges() {
  if (!Modified) return true;
  const auto answer = QMessageBox::question(
      this, "Production Line", "The device list has changes that are not saved. Save them?",
      QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
  if (answer == QMessageBox::Save) SaveClick();
  return answer == QMessageBox::Discard || (answer == QMessageBox::Save && !Modified);
}

void TLineWindow::OpenClick() {
  if (Runner->Busy() || !KeepChanges()) return;
  const QString path = QFileDialog::getOpenFileName(this, "Open Device List", Utf8(ListFile));
  std::string error;
  if (!path.isEmpty() && !OpenList(path.toStdString(), error)) ShowError(error);
}

void TLineWindow::SaveClick() {
  std::string error;
  if (ListFile.empty())
    SaveAsClick();
  else if (!SaveList(ListFile, error))
    ShowError(error);
}

void TLineWindow::SaveAsClick() {
  const QString path = QFileDialog::getSaveFileName(this, "Save Device List", Utf8(ListFile));
  std::string error;
  if (!path.isEmpty() && !SaveList(path.toStdString(), error)) ShowError(error);
}

void TLineWindow::AddClick() {
  // A name no row has yet; the link is the operator's to give.
  std::string name;
  const TRows rows = Runner->Rows();
  for (size_t n = rows.size() + 1; name.empty(); ++n) {
    name = "device-" + std::to_string(n);
    for (const TDeviceRow& r : rows)
      if (r.Name == name) name.clear();
  }
  Runner->AddDevice(name, "");
  Modified = true;
  const int row = static_cast<int>(Runner->Rows().size()) - 1;
  Table->setCurrentCell(row, coLink);
  Table->editItem(Table->item(row, coLink));
}

void TLineWindow::RemoveClick() {
  std::vector<size_t> rows = SelectedRows();
  // From the last, so the indices still to come stay as they are.
  for (auto it = rows.rbegin(); it != rows.rend(); ++it)
    if (Runner->RemoveDevice(*it)) Modified = true;
}

void TLineWindow::CellEdited(int row, int column) {
  if (column != coName && column != coLink) return;
  const auto index = static_cast<size_t>(row);
  const std::string name = Trim(Table->item(row, coName)->text().toStdString());
  const std::string link = Trim(Table->item(row, coLink)->text().toStdString());
  const TDeviceRow& r = Runner->Rows()[index];
  if (name == r.Name && link == r.Link) return;
  if (Runner->SetDevice(index, name, link))
    Modified = true;
  else
    ShowRow(index);
}

// ---- running ----

// Found out before a device starts, not once it has been updated without a record, or has
// failed for want of a package.
bool TLineWindow::ReadyToStart() {
  if (ProgramDir().empty()) {
    ShowError("No package folder: choose one with List/Package Folder...");
    return false;
  }
  const std::string& path = Runner->GetConfig().ReportFile;
  std::string error;
  if (TReportFile report; path.empty() || report.Open(path, error)) return true;
  ShowError(error);
  return false;
}

void TLineWindow::StartAllClick() {
  if (!Closing && ReadyToStart()) Runner->StartAll();
}

void TLineWindow::StartClick() {
  if (Closing || !ReadyToStart()) return;
  for (size_t index : SelectedRows()) Runner->StartDevice(index);
}

void TLineWindow::StopAllClick() {
  Runner->StopAll();
}

void TLineWindow::StopClick() {
  for (size_t index : SelectedRows()) Runner->StopDevice(index);
}

void TLineWindow::RetryFailedClick() {
  if (!Closing && ReadyToStart()) Runner->RetryFailed();
}

void TLineWindow::PackageFolderClick() {
  if (Runner->Busy()) return;
  const std::string dir = AskPackageFolder(this, ProgramDir(), FolderDialog);
  if (dir.empty()) return;
  SetProgramDir(dir);
  RememberPackageFolder(ProgramDir());
  Runner->SetConfig(Configure(ProgramDir()));
  ListPorts();
  ShowPackage();
}

void TLineWindow::RowChanged(size_t index) {
  ShowRow(index);
  ShowSummary();
  if (static_cast<int>(index) == Table->currentRow()) ShowDetails();
  UpdateActions();
  if (Closing && !Runner->Busy()) QTimer::singleShot(0, this, &QWidget::close);
}

void TLineWindow::Tick() {
  if (!Runner->Busy()) return;
  Runner->UpdateElapsed();
  for (size_t i = 0; i < Runner->Rows().size(); ++i)
    if (Runner->Rows()[i].State == dsRUNNING) ShowRow(i);
  ShowSummary();
}

// ---- closing ----

void TLineWindow::StopAndClose() {
  AskBeforeStop = false;
  // A question left open would keep its own event loop, and the process, alive.
  CloseOpenDialogs();
  // Asked while a close is under way (its question just closed), close() would do nothing.
  QTimer::singleShot(0, this, &QWidget::close);
}

void TLineWindow::closeEvent(QCloseEvent* event) {
  if (!Runner->Busy() || ForceClose) {
    if (!ForceClose && AskBeforeStop && !KeepChanges()) {
      event->ignore();
      Closing = false;
      CloseLimit->stop();
      UpdateActions();
      return;
    }
    Clock->stop();
    CloseLimit->stop();
    event->accept();
    return;
  }
  event->ignore();
  if (Closing) return;
  const auto running = std::count_if(Runner->Rows().begin(), Runner->Rows().end(),
                                     [](const TDeviceRow& r) { return r.State == dsRUNNING; });
  if (AskBeforeStop &&
      QMessageBox::question(
          this, "Production Line",
          QString("%1 of the devices %2 still running. Stop them and close the window?")
              .arg(running)
              .arg(running == 1 ? "is" : "are"),
          QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
    return;
  Closing = true;
  CloseLimit->start(kCloseLimitMs);
  Runner->StopAll();
  UpdateActions();
  ShowSummary();
}

// ---- showing ----

std::vector<size_t> TLineWindow::SelectedRows() const {
  std::vector<size_t> rows;
  for (const QModelIndex& index : Table->selectionModel()->selectedRows())
    rows.push_back(static_cast<size_t>(index.row()));
  std::sort(rows.begin(), rows.end());
  return rows;
}

void TLineWindow::ShowAll() {
  {
    const QSignalBlocker block(Table);
    Table->setRowCount(static_cast<int>(Runner->Rows().size()));
  }
  for (size_t i = 0; i < Runner->Rows().size(); ++i) ShowRow(i);
  // The pane shows the first device until the operator picks one; nothing is selected for him.
  if (Table->currentRow() < 0 && Table->rowCount() > 0)
    Table->selectionModel()->setCurrentIndex(Table->model()->index(0, coName),
                                             QItemSelectionModel::NoUpdate);
  ShowSummary();
  ShowDetails();
  UpdateActions();
}

void TLineWindow::ShowRow(size_t index) {
  const TDeviceRow& r = Runner->Rows()[index];
  const int row = static_cast<int>(index);
  const QSignalBlocker block(Table);
  auto cell = [&](int column, const QString& text, bool editable = false) {
    QTableWidgetItem* item = Table->item(row, column);
    if (!item) Table->setItem(row, column, item = new QTableWidgetItem);
    if (item->text() != text) item->setText(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled |
                   (editable ? Qt::ItemIsEditable : Qt::NoItemFlags));
    return item;
  };
  const bool editable = !DeviceBusy(r);
  // A row just added has no link yet: nothing to flag before the operator has typed one.
  const QString problem = r.Link.empty() ? QString() : Utf8(r.Problem);
  for (QTableWidgetItem* item :
       {cell(coName, Utf8(r.Name), editable), cell(coLink, Utf8(r.Link), editable)}) {
    item->setBackground(problem.isEmpty() ? QBrush() : QBrush(kRefused));
    item->setToolTip(problem);
  }
  // A row the check refuses never starts: it is not waiting for anything but an edit.
  const bool refused = DeviceRefused(r);
  QTableWidgetItem* state = cell(coState, !refused         ? QString::fromLatin1(RowStateText(r))
                                          : r.Link.empty() ? "no link"
                                                           : "refused");
  state->setBackground(refused && !problem.isEmpty() ? kRefused : StateColour(r.State));
  state->setForeground(QColor(Qt::black));
  QFont bold = Table->font();
  bold.setBold(r.State != dsWAITING);
  state->setFont(bold);

  auto* bar = qobject_cast<QProgressBar*>(Table->cellWidget(row, coProgress));
  if (!bar) {
    bar = new QProgressBar;
    bar->setRange(0, 100);
    Table->setCellWidget(row, coProgress, bar);
  }
  bar->setValue(DeviceStarted(r) ? r.Percent : 0);
  bar->setTextVisible(DeviceStarted(r));

  cell(coOperation, Utf8(r.Operation));
  cell(coCard, Utf8(r.Card));
  cell(coElapsed, DeviceStarted(r) ? Utf8(Tenths(r.Seconds) + " s") : QString());
  cell(coLeft, r.State == dsRUNNING && r.EtaSeconds >= 0 ? Utf8(Duration(r.EtaSeconds)) : "");
  const std::string error = r.State == dsFAILED ? r.Error : RetryingText(r);
  QTableWidgetItem* shown = cell(coError, error.empty() ? problem : Utf8(error));
  shown->setToolTip(r.ErrorScript.empty() ? QString() : Utf8(r.ErrorScript));
}

void TLineWindow::ShowSummary() {
  const TRows rows = Runner->Rows();
  const std::string text = FormatSummary(rows, skLIVE);
  std::string times;
  if (Runner->Busy() || Runner->LineSeconds() > 0)
    times = "Line elapsed " + Tenths(Runner->LineSeconds()) + " s";
  if (Closing) {
    times += "; stopping the devices before the window closes";
  } else if (Runner->Busy()) {
    const double eta = LineEtaSeconds(rows, Runner->GetConfig().Jobs);
    times += eta >= 0 ? ", about " + Duration(eta) + " left" : ", time left not known yet";
  }
  // Why fewer devices run at a time than asked, when the system allows no more.
  if (!Runner->GetNotice().empty()) times += (times.empty() ? "" : "\n") + Runner->GetNotice();
  Summary->setText(Utf8(text) + (times.empty() ? "" : "\n" + Utf8(times)));
}

void TLineWindow::ShowDetails() {
  const int current = Table->currentRow();
  const TRows rows = Runner->Rows();
  if (current < 0 || current >= static_cast<int>(rows.size())) {
    DetailsRow = -1;
    StatusPane->clear();
    RecordPane->clear();
    return;
  }
  const TDeviceRow& r = rows[static_cast<size_t>(current)];
  // The record file is read again only once the run has moved on, never at each progress step.
  if (current != DetailsRow || r.State != DetailsState || r.Name != DetailsName) {
    DetailsRow = current;
    DetailsState = r.State;
    DetailsName = r.Name;
    ShowRecord(r);
  }
  QString text = Utf8(r.Name + "  " + r.Link) + "  (" + RowStateText(r) + ")\n";
  if (!r.Problem.empty()) text += Utf8(r.Problem) + "\n";
  for (const std::string& line : r.Status) text += Utf8(line) + "\n";
  if (text == StatusPane->toPlainText()) return;
  StatusPane->setPlainText(text);
  StatusPane->verticalScrollBar()->setValue(StatusPane->verticalScrollBar()->maximum());
}

void TLineWindow::ShowRecord(const TDeviceRow& r) {
  const std::string& path = Runner->GetConfig().ReportFile;
  QJsonObject record;
  std::string error;
  std::vector<std::string> lines;
  if (path.empty())
    lines = {"No report file (--report FILE, or REPORT_FILE in " + std::string(kSettingsFileName) +
             "); the history has no run of it yet."};
  else if (FindLastRecord(path, r.Name, record, error))
    lines = DescribeRecord(record);
  else
    lines = {error.empty() ? "No run record of " + r.Name + " in " + path + " yet." : error};
  auto described = [](const std::string& name, const std::vector<std::string>& lines) {
    QString text = Utf8(name + ": last run record") + "\n";
    for (const std::string& line : lines) text += Utf8(line) + "\n";
    return text;
  };
  const QString text = described(r.Name, lines);
  RecordPane->setPlainText(text);
  // The history is asked off this thread; its answer is shown only while the pane still shows
  // what it was asked for.
  const int asked = ++DetailsAsked;
  AskEarlierRuns(this, r.Name, kEarlierRuns,
                 [=, name = r.Name](const std::string& runs, const QJsonObject& newest) {
                   if (asked != DetailsAsked) return;
                   const QString last =
                       path.empty() ? described(name, DescribeRecord(newest)) : text;
                   RecordPane->setPlainText(last + "\n" + Utf8(name + ": runs on this station") +
                                            "\n" + Utf8(runs));
                 });
}

void TLineWindow::ShowPackage() {
  const std::string& report = Runner->GetConfig().ReportFile;
  const std::string dir = ProgramDir().empty() ? "none" : Excerpt(ProgramDir());
  Package->setText(Utf8("Package folder: " + dir +
                        "    Records: " + (report.empty() ? "none" : Excerpt(report))));
}

void TLineWindow::UpdateActions() {
  const TRows rows = Runner->Rows();
  const std::vector<size_t> selected = SelectedRows();
  auto any_selected = [&](auto test) {
    return std::any_of(selected.begin(), selected.end(),
                       [&](size_t i) { return i < rows.size() && test(rows[i]); });
  };
  const bool busy = Runner->Busy();
  StartAllItem->setEnabled(!Closing && std::any_of(rows.begin(), rows.end(), Startable));
  StartItem->setEnabled(!Closing && any_selected(Startable));
  StopAllItem->setEnabled(busy);
  StopItem->setEnabled(any_selected(DeviceBusy));
  RetryItem->setEnabled(!Closing && std::any_of(rows.begin(), rows.end(), [](const TDeviceRow& r) {
    return r.State == dsFAILED && r.Problem.empty();
  }));
  RemoveItem->setEnabled(any_selected([](const TDeviceRow& r) { return !DeviceBusy(r); }));
  AddItem->setEnabled(!Closing);
  OpenItem->setEnabled(!busy);
  PackageFolderItem->setEnabled(!busy);
}

// ---- serial devices ----

void TLineWindow::ListPorts() {
  std::vector<TSerialDevice> present;
  std::string error;
  if (Devices && Devices->List(present, error))
    Ports = MapComSlots(present, Runner->GetConfig().Settings);
  else
    Ports.clear();
  if (!LinkEditor) return;
  const QString typed = LinkEditor->currentText();
  LinkEditor->clear();
  FillLinks(LinkEditor);
  LinkEditor->setEditText(typed);
}

void TLineWindow::FillLinks(QComboBox* box) const {
  for (const TPortRow& port : Ports) {
    const TSerialDevice& d = port.Device;
    box->addItem(Utf8(StableName(d)));
    std::string about = d.Node;
    for (const std::string& part :
         {d.Driver, d.Manufacturer, d.Product, d.Serial, ComSlotsText(port.ComSlots)})
      if (!part.empty()) about += ", " + part;
    box->setItemData(box->count() - 1, Utf8(about), Qt::ToolTipRole);
  }
}

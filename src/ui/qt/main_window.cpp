#include "ui/qt/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QLocale>
#include <cstdio>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelection>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/files.h"
#include "platform/image_sources.h"
#include "platform/text.h"
#include "platform/volume_info.h"
#include "ui/list_writers.h"
#include "ui/qt/preview_pane.h"
#include "ui/volume_preparation.h"
#include "ui/qt/results_model.h"

namespace ambrelic::ui::qt {

// The restore and the wipe are commands of MainDialog that arrive after the
// window; the window wires them once they exist and keeps their controls
// disabled until then.
template <typename D>
concept HasRestoreCommand = requires(D& d) { d.OnRestore(); };
template <typename D>
concept HasWipeCommand = requires(D& d) { d.OnDeleteCompletely(); };

template <typename D>
void RunRestoreCommand(D& d) {
  if constexpr (HasRestoreCommand<D>) d.OnRestore();
}
template <typename D>
void RunWipeCommand(D& d) {
  if constexpr (HasWipeCommand<D>) d.OnDeleteCompletely();
}

// MainDialog whose "disable the owner" reaches the real window.
class WindowDialog final : public MainDialog {
 public:
  WindowDialog(ui::Host& host, std::vector<platform::Drive> drives, MainWindow& window)
      : MainDialog(host, std::move(drives)), window_(window) {}
  void SetEnabled(bool enabled) override {
    MainDialog::SetEnabled(enabled);
    window_.SetCommandsEnabled(enabled);
  }

 private:
  MainWindow& window_;
};

namespace {

constexpr int kDesignCharWidth = 6;
constexpr qint64 kPumpSyncMilliseconds = 40;
const char* const kCaption = "Ambrelic - Version 1.6";
const char* const kGuideEntry = "Guide d'utilisation d'Ambrelic";
const char* const kCreditLine = "Ambrelic 1.6 - récupération de fichiers supprimés FAT, NTFS et exFAT";

QLabel* MakeLabel(const QString& text, QWidget* parent, const char* name = nullptr) {
  auto* l = new QLabel(text, parent);
  if (name) l->setObjectName(QString::fromLatin1(name));
  return l;
}

}  // namespace

MainWindow::MainWindow(std::vector<platform::Drive> drives, Windows9xPlatform* windows9x, QWidget* parent)
    : QDialog(parent), units_(font()), host_(*this), staleKeys_(*this) {
  dialog_ = std::make_unique<WindowDialog>(host_, std::move(drives), *this);
  if (windows9x) dialog_->UseWindows9x(windows9x);
  setObjectName(QStringLiteral("mainDialog"));
  setWindowTitle(QString::fromUtf8(kCaption));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(true);
  setWindowIcon(ApplicationIcon());

  model_ = new ResultsModel(dialog_->List(), icons_, this);
  BuildControls();
  BuildMenu();

  // Dialog initialisation: columns, the preselected drive and its enabling.
  dialog_->Initialise();
  FillDriveCombo();
  model_->Sync();
  ApplyEnabling();
  SetCounterText(dialog_->List().CounterText());
  SyncView();

  // The designed client area (397 x 263 dialog units) below the menu bar is
  // the size the window opens at and the least it can be made; the list
  // takes whatever it grows by.
  const QSize client = units_.Size(397, 263);
  const QSize designed(client.width(), client.height() + menuBar_->sizeHint().height());
  setMinimumSize(designed);
  resize(designed);
}

MainWindow::~MainWindow() {
  // The view must not read the list while the dialog goes away.
  view_->setModel(nullptr);
}

MainDialog& MainWindow::Dialog() { return *dialog_; }

int MainWindow::FittedColumnWidth(int column) const {
  // Wide enough for the header (with room for the sort indicator) and for
  // the widest text the column can hold: a 32-bit number, a full date.
  const int width = view_->horizontalHeader()->sectionSizeHint(column);
  const int margin = 2 * (view_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view_) + 1);
  const QFontMetrics fm(view_->font());
  switch (column) {
    case 0:
      return std::max(width, ColumnPixels(110));
    case 2:
    case 4:
      return std::max(width, fm.horizontalAdvance(QStringLiteral("4294967295")) + 2 * margin);
    case 3:
      return std::max(width, fm.horizontalAdvance(QStringLiteral("00/00/0000 00:00")) + 2 * margin);
    default:
      if (model_->ConditionColumnShown() && column == model_->ConditionColumn()) {
        return std::max(width, fm.horizontalAdvance(QStringLiteral("overwritten 100%")) + 16 + 3 * margin);
      }
      return width;
  }
}

void MainWindow::FitColumn(int column) {
  QHeaderView* header = view_->horizontalHeader();
  if (column == kFolderColumn) {
    header->setSectionResizeMode(column, QHeaderView::Stretch);
    return;
  }
  header->setSectionResizeMode(column, QHeaderView::Interactive);
  view_->setColumnWidth(column, FittedColumnWidth(column));
}

int MainWindow::ColumnPixels(int designed) const {
  // The widths were designed for a font 6 pixels wide on average; a wider
  // font gets proportionally wider columns, so that a date still fits.
  return designed * std::max(units_.CharWidth(), kDesignCharWidth) / kDesignCharWidth;
}

bool MainWindow::RestoreAvailable() { return HasRestoreCommand<MainDialog>; }

bool MainWindow::DeleteCompletelyAvailable() { return HasWipeCommand<MainDialog>; }

void MainWindow::BuildControls() {
  const DialogUnits& du = units_;

  // The top row, framed: drive, name filter, the two options.
  auto* frame = new QGroupBox(this);
  frame->setObjectName(QStringLiteral("groupTop"));
  auto* grid = new QGridLayout(frame);
  grid->setContentsMargins(du.X(6), du.Y(4), du.X(6), du.Y(5));
  grid->setHorizontalSpacing(du.X(8));
  grid->setVerticalSpacing(du.Y(1));

  auto* drivesLabel = MakeLabel(QStringLiteral("Disques"), frame, "staticDrives");
  driveCombo_ = new QComboBox(frame);
  driveCombo_->setObjectName(QStringLiteral("combo1005"));
  driveCombo_->setMinimumWidth(du.X(80));
  driveCombo_->setIconSize(QSize(16, 16));
  drivesLabel->setBuddy(driveCombo_);

  auto* nameLine1 = MakeLabel(QStringLiteral("Tout ou partie de"), frame, "staticName1");
  auto* nameLine2 = MakeLabel(QStringLiteral("du nom du fichier."), frame, "staticName2");
  nameEdit_ = new QLineEdit(frame);
  nameEdit_->setObjectName(QStringLiteral("edit1007"));
  nameEdit_->setMinimumWidth(du.X(70));

  // The statics after a check box continue its sentence: they start where
  // the box's own text starts.
  QStyleOptionButton probe;
  const int indent = style()->pixelMetric(QStyle::PM_IndicatorWidth, &probe, this) +
                     style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &probe, this);
  auto continuation = [&](const QString& text, const char* name) {
    QLabel* l = MakeLabel(text, frame, name);
    l->setContentsMargins(indent, 0, 0, 0);
    return l;
  };
  includeUsed_ = new QCheckBox(QStringLiteral("Inclure/utilisé"), frame);
  includeUsed_->setObjectName(QStringLiteral("check1009"));
  usedLine1_ = continuation(QStringLiteral("par grappes"), "static1013");
  usedLine2_ = continuation(QStringLiteral("les autres fichiers."), "static1014");
  includeZero_ = new QCheckBox(QStringLiteral("Inclure même si"), frame);
  includeZero_->setObjectName(QStringLiteral("check1008"));
  auto* zeroLine1 = continuation(QStringLiteral("la taille du fichier est"), "staticZero1");
  auto* zeroLine2 = continuation(QStringLiteral("de zero."), "staticZero2");

  // Each option reads as one sentence of three lines, evenly spaced: every
  // line is as tall as the check box's, whatever the rows beside it (the
  // drive combo and the name field are taller).
  const int line = std::max(includeUsed_->sizeHint().height(), usedLine1_->sizeHint().height());
  auto sentence = [&](QCheckBox* box, QLabel* second, QLabel* third) {
    auto* lines = new QVBoxLayout;
    lines->setSpacing(0);
    lines->setContentsMargins(0, 0, 0, 0);
    for (QWidget* part : {static_cast<QWidget*>(box), static_cast<QWidget*>(second), static_cast<QWidget*>(third)}) {
      part->setFixedHeight(line);
      lines->addWidget(part);
    }
    return lines;
  };

  grid->addWidget(drivesLabel, 1, 0, Qt::AlignLeft | Qt::AlignBottom);
  grid->addWidget(driveCombo_, 2, 0);
  grid->addWidget(nameLine1, 0, 1, Qt::AlignLeft | Qt::AlignBottom);
  grid->addWidget(nameLine2, 1, 1, Qt::AlignLeft | Qt::AlignBottom);
  grid->addWidget(nameEdit_, 2, 1);
  grid->addLayout(sentence(includeUsed_, usedLine1_, usedLine2_), 0, 2, 3, 1, Qt::AlignVCenter);
  grid->addLayout(sentence(includeZero_, zeroLine1, zeroLine2), 0, 3, 3, 1, Qt::AlignVCenter);
  grid->setColumnStretch(0, 3);
  grid->setColumnStretch(1, 3);

  // The results list.
  view_ = new QTableView(this);
  view_->setObjectName(QStringLiteral("list1000"));
  view_->setModel(model_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Tab leaves the list for the next control, as in any dialog; the arrows
  // move within it.
  view_->setTabKeyNavigation(false);
  view_->setShowGrid(false);
  view_->setWordWrap(false);
  view_->setTextElideMode(Qt::ElideRight);
  view_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  view_->setIconSize(QSize(16, 16));
  view_->verticalHeader()->hide();
  // Uniform rows: a million of them are laid out without measuring each.
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setDefaultSectionSize(std::max(18, fontMetrics().height() + 4));
  view_->horizontalHeader()->setSectionsClickable(true);
  view_->horizontalHeader()->setHighlightSections(false);
  view_->horizontalHeader()->setStretchLastSection(false);
  view_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  view_->horizontalHeader()->setMinimumSectionSize(20);
  {
    // The selection stays plainly visible when the list loses the focus.
    QPalette p = view_->palette();
    p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Active, QPalette::Highlight));
    p.setColor(QPalette::Inactive, QPalette::HighlightedText, p.color(QPalette::Active, QPalette::HighlightedText));
    view_->setPalette(p);
  }
  connect(view_->horizontalHeader(), &QHeaderView::sectionClicked, this, &MainWindow::OnColumnClick);
  // "In Folder" takes what the other columns leave of the list's width, so
  // that all five show whole at the designed size and the spare width goes
  // to the paths when the window grows.
  // The sorted column's header carries the sort indicator; none while the
  // rows are in the order they were found.
  view_->horizontalHeader()->setSortIndicatorShown(true);
  view_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  connect(model_, &ResultsModel::OrderLost, this,
          [this] { view_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder); });
  connect(model_, &ResultsModel::ColumnsShaped, this, [this](int first, int last) {
    for (int c = first; c <= last && c < model_->columnCount(); ++c) FitColumn(c);
    ShareSpareWidth();
  });
  // Resets (clear, sort) keep the widths the user gave the columns.
  connect(model_, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
    savedWidths_.clear();
    for (int c = 0; c < model_->columnCount(); ++c) savedWidths_.push_back(view_->columnWidth(c));
  });
  connect(model_, &QAbstractItemModel::modelReset, this, [this] {
    for (int c = 0; c < model_->columnCount(); ++c) {
      const bool condition = model_->ConditionColumnShown() && c == model_->ConditionColumn();
      if (c < static_cast<int>(savedWidths_.size()) && c != kFolderColumn && !condition) {
        view_->horizontalHeader()->setSectionResizeMode(c, QHeaderView::Interactive);
        view_->setColumnWidth(c, savedWidths_[static_cast<std::size_t>(c)]);
      } else {
        FitColumn(c);
      }
    }
    ShareSpareWidth();
  });
  // The list's own selection flags follow the view (the restore reads them).
  connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this](const QItemSelection& selected, const QItemSelection& deselected) {
            if (syncingSelection_) return;
            ResultsList& list = dialog_->List();
            for (const QItemSelectionRange& r : deselected) {
              for (int row = r.top(); row <= r.bottom(); ++row) list.SetSelected(row, false);
            }
            for (const QItemSelectionRange& r : selected) {
              for (int row = r.top(); row <= r.bottom(); ++row) list.SetSelected(row, true);
            }
          });

  notice_ = new QLabel(view_);
  notice_->setObjectName(QStringLiteral("static1011"));
  notice_->setAlignment(Qt::AlignCenter);
  notice_->setWordWrap(true);
  notice_->setFrameShape(QFrame::StyledPanel);
  notice_->setAutoFillBackground(true);
  notice_->setMargin(du.X(6));
  notice_->hide();

  // The command row.
  searchButton_ = new QPushButton(QStringLiteral("RECHERCHER LES FICHIERS SUPPRIMES"), this);
  searchButton_->setObjectName(QStringLiteral("button1002"));
  searchButton_->setDefault(true);
  searchButton_->setMinimumHeight(du.Y(15));
  counter_ = new QLabel(this);
  counter_->setObjectName(QStringLiteral("static1010"));
  counter_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  counter_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  counter_->setMinimumWidth(du.X(45));
  counter_->setMargin(du.X(1));
  restoreButton_ = new QPushButton(QStringLiteral("Restauration"), this);
  restoreButton_->setObjectName(QStringLiteral("button1003"));
  restoreButton_->setMinimumWidth(du.X(60));
  restoreButton_->setMinimumHeight(du.Y(15));
  exitButton_ = new QPushButton(QStringLiteral("E&xit"), this);
  exitButton_->setObjectName(QStringLiteral("button1006"));
  exitButton_->setMinimumWidth(du.X(50));
  exitButton_->setMinimumHeight(du.Y(15));
  scanButton_ = new QPushButton(this);
  scanButton_->setObjectName(QStringLiteral("button1004"));
  scanButton_->hide();

  connect(searchButton_, &QPushButton::clicked, this, &MainWindow::OnSearch);
  connect(restoreButton_, &QPushButton::clicked, this, &MainWindow::OnRestore);
  connect(exitButton_, &QPushButton::clicked, this, &MainWindow::reject);
  connect(scanButton_, &QPushButton::clicked, this, &MainWindow::OnScanAllClusters);
  restoreButton_->setEnabled(HasRestoreCommand<MainDialog>);

  connect(driveCombo_, &QComboBox::currentIndexChanged, this, &MainWindow::OnDriveChanged);
  // The edit box upper-cases what is typed, in the locale's upper case (the
  // one the search compares with).
  connect(nameEdit_, &QLineEdit::textEdited, this, [this](const QString& text) {
    const QString upper = QString::fromStdString(platform::UpperCase(text.toStdString()));
    if (upper != text) {
      const int cursor = nameEdit_->cursorPosition();
      nameEdit_->setText(upper);
      nameEdit_->setCursorPosition(std::min<int>(cursor, static_cast<int>(upper.size())));
    }
  });
  connect(nameEdit_, &QLineEdit::textChanged, this,
          [this](const QString& text) { dialog_->SetNameText(text.toStdString()); });
  connect(includeUsed_, &QCheckBox::toggled, this, [this](bool on) { dialog_->SetIncludeUsedClusters(on); });
  connect(includeZero_, &QCheckBox::toggled, this, [this](bool on) { dialog_->SetIncludeZeroSize(on); });

  auto* commands = new QHBoxLayout;
  commands->setSpacing(du.X(6));
  commands->addWidget(searchButton_);
  commands->addWidget(counter_);
  commands->addStretch(1);
  commands->addWidget(restoreButton_);
  commands->addWidget(exitButton_);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(du.X(7), du.Y(4), du.X(7), du.Y(6));
  outer->setSpacing(du.Y(5));
  outer->addWidget(frame);
  // The list, and beside it the preview pane when the user opens it.
  splitter_ = new QSplitter(Qt::Horizontal, this);
  splitter_->setObjectName(QStringLiteral("listAndPreview"));
  splitter_->setChildrenCollapsible(false);
  splitter_->addWidget(view_);
  preview_ = new PreviewPane(splitter_);
  splitter_->addWidget(preview_);
  splitter_->setStretchFactor(0, 3);
  splitter_->setStretchFactor(1, 2);
  preview_->hide();
  outer->addWidget(splitter_, 1);
  outer->addLayout(commands);

  setTabOrder(driveCombo_, nameEdit_);
  setTabOrder(nameEdit_, includeUsed_);
  setTabOrder(includeUsed_, includeZero_);
  setTabOrder(includeZero_, view_);
  view_->installEventFilter(this);
  // The preview follows the selection a moment after it stops moving, so
  // that holding an arrow key reads only where it stops.
  previewTimer_ = new QTimer(this);
  previewTimer_->setSingleShot(true);
  previewTimer_->setInterval(120);
  connect(previewTimer_, &QTimer::timeout, this, &MainWindow::UpdatePreview);
  connect(view_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
    if (preview_->isVisible()) previewTimer_->start();
  });
  connect(view_->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column, int, int) {
    // A drag of the header's handle: from then on the user's width holds.
    if (column == 0 && !sharingWidth_ && (QApplication::mouseButtons() & Qt::LeftButton)) nameSizedByUser_ = true;
  });
  setTabOrder(view_, searchButton_);
  setTabOrder(searchButton_, restoreButton_);
  setTabOrder(restoreButton_, exitButton_);
}

void MainWindow::BuildMenu() {
  menuBar_ = new QMenuBar(this);
  menuBar_->setObjectName(QStringLiteral("menu132"));
  QMenu* menu = menuBar_->addMenu(QStringLiteral("&Fonctions complémentaires"));
  scanAllAction_ = menu->addAction(QStringLiteral("Scan de tous les groupes"));
  scanAllAction_->setObjectName(QStringLiteral("command32771"));
  connect(scanAllAction_, &QAction::triggered, this, &MainWindow::OnScanAllClusters);
  menu->addSeparator();
  deleteAction_ = menu->addAction(QStringLiteral("&Supprimer Complètement"));
  deleteAction_->setObjectName(QStringLiteral("command32772"));
  deleteAction_->setEnabled(HasWipeCommand<MainDialog>);
  connect(deleteAction_, &QAction::triggered, this, &MainWindow::OnDeleteCompletely);
  menu->addSeparator();
  // Until the program has a public home page, the entry opens the user
  // guide it ships with; it is named for what it opens, not by its path.
  webAction_ = menu->addAction(QString::fromUtf8(kGuideEntry));
  webAction_->setObjectName(QStringLiteral("command32774"));
  webAction_->setToolTip(GuideUrl().toString());
  webAction_->setStatusTip(GuideUrl().toString());
  connect(webAction_, &QAction::triggered, this, &MainWindow::OnOpenWebPage);
  creditAction_ = menu->addAction(QString::fromUtf8(kCreditLine));
  creditAction_->setObjectName(QStringLiteral("credit"));
  // Beyond the designed entries, after them: the deep scan (files found by
  // their content, on any drive), and images (a card imaged by ddrescue, an
  // E01, a virtual machine's disk) opened here as well as named on the
  // command line.
  menu->addSeparator();
  carveAction_ = menu->addAction(QStringLiteral("Recherche par contenu"));
  carveAction_->setObjectName(QStringLiteral("carve"));
  connect(carveAction_, &QAction::triggered, this, &MainWindow::OnCarve);
  openImageAction_ = menu->addAction(QStringLiteral("Ouvrir une image…"));
  openImageAction_->setObjectName(QStringLiteral("openImage"));
  connect(openImageAction_, &QAction::triggered, this, &MainWindow::OnOpenImage);
  BuildExtraMenus(menu);
  layout()->setMenuBar(menuBar_);
}

void MainWindow::BuildExtraMenus(QMenu* functions) {
  // Saving the list sits with the other entries beyond the designed ones,
  // after them.
  saveListAction_ = functions->addAction(QString::fromUtf8("Enregistrer la liste…"));
  saveListAction_->setObjectName(QStringLiteral("saveList"));
  connect(saveListAction_, &QAction::triggered, this, &MainWindow::OnSaveList);
  // What the list shows, in a menu of its own.
  QMenu* view = menuBar_->addMenu(QStringLiteral("&Affichage"));
  view->setObjectName(QStringLiteral("viewMenu"));
  previewAction_ = view->addAction(QString::fromUtf8("Aperçu"));
  previewAction_->setObjectName(QStringLiteral("preview"));
  previewAction_->setCheckable(true);
  previewAction_->setShortcut(QKeySequence(Qt::Key_F3));
  connect(previewAction_, &QAction::toggled, this, &MainWindow::ShowPreview);
  conditionAction_ = view->addAction(QStringLiteral("Colonne Condition"));
  conditionAction_->setObjectName(QStringLiteral("conditionColumn"));
  conditionAction_->setCheckable(true);
  connect(conditionAction_, &QAction::toggled, this, [this](bool on) { model_->SetConditionColumn(on); });
}

void MainWindow::ShowPreview(bool shown) {
  if (previewAction_->isChecked() != shown) previewAction_->setChecked(shown);
  if (preview_->isVisible() == shown) return;
  if (shown) {
    // The pane takes two fifths of the room; the window grows by that much
    // where the screen allows, so that the list keeps its width.
    const int list = view_->width();
    preview_->show();
    splitter_->setSizes({list, list * 2 / 3});
    UpdatePreview();
  } else {
    previewTimer_->stop();
    preview_->hide();
  }
}

void MainWindow::UpdatePreview() {
  previewTimer_->stop();
  if (!preview_->isVisible() || busy_) return;
  const QModelIndex current = view_->currentIndex();
  busy_ = true;
  host_.SetWaitCursor(true);
  preview_->ShowRow(*dialog_, current.isValid() ? current.row() : -1);
  host_.SetWaitCursor(false);
  busy_ = false;
}

void MainWindow::ShareSpareWidth() {
  if (nameSizedByUser_ || model_->columnCount() <= kFolderColumn) return;
  // The room the list has beyond what it has at the designed window size
  // (the preview pane closed): the Name column gets its designed share of
  // it (110 of 110 + 210), "In Folder" the rest. At the designed size
  // every column keeps its designed width.
  if (!preview_->isVisible()) designedListWidth_ = view_->width() - (width() - minimumWidth());
  if (designedListWidth_ <= 0) return;
  const int spare = std::max(0, view_->width() - designedListWidth_);
  const int name = FittedColumnWidth(0) + spare * 110 / (110 + 210);
  if (view_->columnWidth(0) == name) return;
  sharingWidth_ = true;
  view_->setColumnWidth(0, name);
  sharingWidth_ = false;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view_ && event->type() == QEvent::Resize) {
    QTimer::singleShot(0, this, &MainWindow::ShareSpareWidth);
  }
  return QDialog::eventFilter(watched, event);
}

void MainWindow::OnSaveList() {
  if (busy_) return;
  busy_ = true;
  SyncView();
  const std::optional<std::string> answer = host_.AskSaveAs(
      "Enregistrer la liste", "CSV (*.csv);;JSON (*.json);;Bodyfile (*.body)", "liste.csv");
  busy_ = false;
  if (!answer || answer->empty()) return;
  std::string path = *answer;
  // The format is the name's: .json, .body (or .bodyfile, .txt), else CSV;
  // a name without an extension gets ".csv".
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  std::string extension = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                              ? std::string()
                              : platform::UpperCase(path.substr(dot));
  if (extension.empty()) {
    path += ".csv";
    extension = ".CSV";
  }
  if (platform::PathExists(path)) {
    const Answer replace = host_.ShowMessage(
        {path + " already exists.\n\nDo you want to replace it?", Buttons::YesNo, Icon::None, 1});
    if (replace != Answer::Yes) return;
  }
  // Written beside the target first, so that a failure leaves no half list
  // in its place.
  const std::string partial = path + ".part";
  const ResultsList& list = dialog_->List();
  bool ok;
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (extension == ".JSON") {
      WriteJson(list, out);
    } else if (extension == ".BODY" || extension == ".BODYFILE" || extension == ".TXT") {
      WriteBodyfile(list, out);
    } else {
      WriteCsv(list, out, model_->ConditionColumnShown());
    }
    out.flush();
    ok = out.good();
    out.close();
    ok = ok && !out.fail();
  }
  const int error = errno;
  if (ok && std::rename(partial.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    std::remove(partial.c_str());
    host_.ShowMessage({host_.FileMessageText(path, std::strerror(error ? error : errno)), Buttons::Ok, Icon::None, 0});
  }
}

void MainWindow::FillDriveCombo() {
  const QSignalBlocker quiet(driveCombo_);
  driveCombo_->clear();
  for (const platform::Drive& d : dialog_->Drives()) {
    driveCombo_->addItem(DriveIcon(d), QString::fromStdString(d.displayName));
    driveCombo_->setItemData(driveCombo_->count() - 1, DriveToolTip(d), Qt::ToolTipRole);
  }
  driveCombo_->setCurrentIndex(dialog_->SelectedDrive());
}

const char* const MainWindow::kNoReadableDrive =
    "No drive can be read as this user: run Ambrelic as root (for example pkexec ambrelic) or open an image "
    "with \u00ABOuvrir une image\u2026\u00BB.";

QString MainWindow::DriveToolTip(const platform::Drive& d) {
  const platform::SourceKind kind = platform::KindOfSource(d.sourcePath);
  QString source = QString::fromStdString(d.sourcePath);
  if (kind != platform::SourceKind::Raw) source += QStringLiteral(" (%1)").arg(QString::fromStdString(platform::SourceKindName(kind)));
  std::uint64_t bytes = d.length;
  if (bytes == 0) {
    const platform::OpenResult opened = platform::OpenFileDevice(d.sourcePath, d.offset, 0, false);
    if (opened.device) bytes = opened.device->Size();
  }
  return QStringLiteral("Source : %1\nSystème de fichiers : %2\nTaille : %3")
      .arg(source, QString::fromUtf8(disk::FsKindName(IdentifyDriveKind(d))), QLocale().formattedDataSize(static_cast<qint64>(bytes)));
}

void MainWindow::SetUnreadableSources(const std::vector<std::pair<std::string, int>>& refused) {
  if (refused.empty() || !dialog_->Drives().empty()) return;
  noDriveNotice_ = true;
  notice_->setText(QString::fromUtf8(kNoReadableDrive));
  PlaceNotice();
  notice_->show();
  notice_->raise();
}

void MainWindow::OnOpenImage() {
  if (busy_) return;
  QString path;
  if (imagePicker_) {
    path = imagePicker_();
  } else {
    path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Ouvrir une image"), QString(),
        QStringLiteral("Images disque (*.img *.IMG *.raw *.dd *.bin *.001 *.E01 *.e01 *.Ex01 *.vhd *.VHD *.vhdx "
                       "*.VHDX *.vmdk *.VMDK *.qcow2 *.qcow);;Tous les fichiers (*)"));
  }
  if (!path.isEmpty()) OpenImage(path);
}

bool MainWindow::OpenImage(const QString& path) {
  const platform::DriveSource source{path.toStdString(), false, false, {}};
  platform::DriveTable table = platform::BuildDriveTableAfter(dialog_->Drives(), {source});
  for (const std::string& note : table.notes) std::fprintf(stderr, "ambrelic: %s\n", note.c_str());
  if (!table.unreadable.empty()) {
    dialog_->ShowFileMessage(source.path, platform::ErrorText(table.unreadable.front().second));
    return false;
  }
  if (table.drives.empty()) return false;
  NameNtfsDrivesByLabel(table.drives);
  const int first = static_cast<int>(dialog_->Drives().size());
  dialog_->AddDrives(table.drives);
  if (noDriveNotice_) {
    noDriveNotice_ = false;
    notice_->hide();
  }
  FillDriveCombo();
  driveCombo_->setCurrentIndex(first);
  OnDriveChanged(first);
  return true;
}

QUrl MainWindow::GuideUrl() {
  const QString dir = QCoreApplication::applicationDirPath();
  const QStringList candidates = {dir + QStringLiteral("/ambrelic-guide.html"),
                                  dir + QStringLiteral("/../share/doc/ambrelic/guide.html")};
  for (const QString& c : candidates) {
    if (QFileInfo::exists(c)) return QUrl::fromLocalFile(QDir::cleanPath(c));
  }
  return QUrl::fromLocalFile(QDir::cleanPath(candidates.back()));
}

void MainWindow::ApplyEnabling() {
  const bool used = dialog_->IncludeUsedEnabled();
  includeUsed_->setEnabled(used);
  usedLine1_->setEnabled(used);
  usedLine2_->setEnabled(used);
  scanAllAction_->setEnabled(dialog_->ScanAllEnabled());
  scanButton_->setEnabled(dialog_->ScanAllEnabled());
}

void MainWindow::PushControls() {
  dialog_->SelectDrive(driveCombo_->currentIndex());
  dialog_->SetNameText(nameEdit_->text().toStdString());
  dialog_->SetIncludeUsedClusters(includeUsed_->isChecked());
  dialog_->SetIncludeZeroSize(includeZero_->isChecked());
}

void MainWindow::SyncViewFromPump() {
  if (sinceSync_.isValid() && sinceSync_.elapsed() < kPumpSyncMilliseconds) return;
  SyncView();
}

void MainWindow::SyncView() {
  sinceSync_.start();
  model_->Sync();
  if (counterDirty_) {
    counter_->setText(QString::fromStdString(pendingCounter_));
    counterDirty_ = false;
  }
}

void MainWindow::RunCommand(const std::function<void()>& command) {
  // One command at a time: a second one could only start from a nested
  // event loop (a pump or a message box) while the first is still running.
  if (busy_) return;
  busy_ = true;
  // The window is disabled while a progress window is open, which takes the
  // keyboard focus from its controls; it goes back where it was, unless the
  // command itself sent it somewhere (a refused name, a missing drive).
  QPointer<QWidget> focused = focusWidget();
  focusRequest_.reset();
  PushControls();
  command();
  SyncView();
  busy_ = false;
  SetCommandsEnabled(dialog_->IsEnabled());
  ApplyEnabling();
  // The progress window that was active is gone: the main window is the
  // program's active window again.
  if (!QApplication::activeWindow() && isVisible()) activateWindow();
  if (focusRequest_) {
    FocusControl(*focusRequest_);
  } else if (focused && focused->isEnabled() && focused->isVisible()) {
    focused->setFocus(Qt::OtherFocusReason);
  }
  focusRequest_.reset();
  // A fatal preparation error (Windows 9x: no partition for a fixed drive)
  // ends the dialog, and so the program.
  if (dialog_->Ending()) QDialog::reject();
}

void MainWindow::OnSearch() {
  RunCommand([this] { dialog_->OnSearch(); });
}

void MainWindow::OnRestore() {
  if constexpr (HasRestoreCommand<MainDialog>) {
    RunCommand([this] { RunRestoreCommand(static_cast<MainDialog&>(*dialog_)); });
  }
}

void MainWindow::OnScanAllClusters() {
  if (!dialog_->ScanAllEnabled()) return;
  RunCommand([this] { dialog_->OnScanAllClusters(); });
}

void MainWindow::OnCarve() {
  RunCommand([this] { dialog_->OnCarve(); });
}

void MainWindow::OnDeleteCompletely() {
  if constexpr (HasWipeCommand<MainDialog>) {
    RunCommand([this] { RunWipeCommand(static_cast<MainDialog&>(*dialog_)); });
  }
}

void MainWindow::OnOpenWebPage() {
  const QUrl url = GuideUrl();
  // Whether a browser could be started is not reported.
  if (urlOpener_) {
    urlOpener_(url);
  } else {
    QDesktopServices::openUrl(url);
  }
}

void MainWindow::OnDriveChanged(int position) {
  if (busy_) return;
  dialog_->SelectDrive(position);
  dialog_->OnDriveChanged();
  ApplyEnabling();
}

void MainWindow::OnColumnClick(int column) {
  if (busy_) return;
  // The Condition column is the window's own, not the list's: it does not
  // sort.
  if (model_->ConditionColumnShown() && column == model_->ConditionColumn()) return;
  busy_ = true;
  SyncView();
  model_->BeginReorder();
  dialog_->OnColumnClick(column);
  model_->EndReorder();
  RestoreSelectionFromList();
  // The list inverts its direction after each sort: descending next means
  // this one was ascending.
  const ResultsList& list = dialog_->List();
  view_->horizontalHeader()->setSortIndicator(
      list.LastSortedColumn(), list.SortDescendingNext() ? Qt::AscendingOrder : Qt::DescendingOrder);
  busy_ = false;
}

void MainWindow::RestoreSelectionFromList() {
  const ResultsList& list = dialog_->List();
  QItemSelection selection;
  const int lastColumn = model_->columnCount() - 1;
  if (lastColumn < 0) return;
  int row = list.FirstSelected();
  while (row >= 0) {
    int end = row;
    while (end + 1 < list.RowCount() && list.IsSelected(end + 1)) ++end;
    selection.select(model_->index(row, 0), model_->index(end, lastColumn));
    row = list.NextSelected(end);
  }
  syncingSelection_ = true;
  view_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
  syncingSelection_ = false;
}

void MainWindow::FocusControl(FocusTarget target) {
  // Asked during a command, the focus move is made again once the window
  // is enabled (a disabled window cannot hold it).
  if (busy_) focusRequest_ = target;
  switch (target) {
    case FocusTarget::DriveCombo:
      driveCombo_->setFocus();
      break;
    case FocusTarget::NameField:
      nameEdit_->setFocus();
      break;
  }
}

void MainWindow::PlaceNotice() {
  const QRect area = view_->rect();
  const int width = std::min(area.width() - units_.X(20), units_.X(260));
  notice_->setFixedWidth(std::max(width, 50));
  notice_->adjustSize();
  notice_->move(area.center() - QPoint(notice_->width() / 2, notice_->height() / 2));
}

void MainWindow::ShowClearingNotice(bool visible, const std::string& text) {
  if (visible) {
    model_->BeginClear();
    SyncView();
    notice_->setText(QString::fromStdString(text));
    PlaceNotice();
    notice_->show();
    notice_->raise();
    // Shown at once: the deletion that follows gives no chance to paint.
    repaint();
  } else {
    model_->EndClear();
    notice_->hide();
    update();
  }
}

void MainWindow::SetCounterText(const std::string& text) {
  // Applied at the next pump: a row's counter update must stay cheap.
  pendingCounter_ = text;
  counterDirty_ = true;
}

void MainWindow::SetCommandsEnabled(bool enabled) {
  staleKeys_.WindowEnabled(enabled);
  setEnabled(enabled);
}

void MainWindow::reject() {
  // Esc, "E&xit" or the close box end the program, but not in the middle
  // of a command whose engine is still on the stack.
  if (busy_) return;
  QDialog::reject();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (busy_) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
  // A press on the background moves the window, like one on its caption.
  if (event->button() == Qt::LeftButton) {
    if (windowHandle() && windowHandle()->startSystemMove()) return;
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    event->accept();
    return;
  }
  QDialog::mousePressEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_ && (event->buttons() & Qt::LeftButton)) {
    move(event->globalPosition().toPoint() - dragOffset_);
    event->accept();
    return;
  }
  QDialog::mouseMoveEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
  dragging_ = false;
  QDialog::mouseReleaseEvent(event);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (notice_->isVisible()) PlaceNotice();
}

}  // namespace ambrelic::ui::qt

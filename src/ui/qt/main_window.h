// The main window: the designed dialog "Ambrelic - Version 1.6" with the
// drive combo, the name filter and the two options in a frame, the results
// list, the command buttons, the counter and the menu
// "&Fonctions complémentaires". The commands themselves are MainDialog's;
// this window shows its state, feeds it what the user sets, and hands it a
// QtHost for everything it says or asks.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "ui/main_dialog.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/file_icons.h"
#include "ui/qt/qt_host.h"
#include "ui/qt/stale_keys.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QSplitter;
class QTableView;
class QTimer;

namespace ambrelic::ui {
class Windows9xPlatform;
}

namespace ambrelic::ui::qt {

class PreviewPane;
class ResultsModel;
class WindowDialog;

class MainWindow : public QDialog {
  Q_OBJECT

 public:
  // windows9x: the Windows 9x path's platform (BIOS disks and partition
  // walk) when the drives come from it; it must outlive the window.
  explicit MainWindow(std::vector<platform::Drive> drives, Windows9xPlatform* windows9x = nullptr,
                      QWidget* parent = nullptr);
  ~MainWindow() override;

  QtHost& Host() { return host_; }
  MainDialog& Dialog();
  ResultsModel& Model() { return *model_; }
  const DialogUnits& Units() const { return units_; }

  // Controls, by their designed roles (tests, screenshots).
  QComboBox* DriveCombo() const { return driveCombo_; }
  QLineEdit* NameEdit() const { return nameEdit_; }
  QCheckBox* IncludeUsedCheck() const { return includeUsed_; }
  QCheckBox* IncludeZeroCheck() const { return includeZero_; }
  QLabel* IncludeUsedLine1() const { return usedLine1_; }
  QLabel* IncludeUsedLine2() const { return usedLine2_; }
  QTableView* ResultsView() const { return view_; }
  QPushButton* SearchButton() const { return searchButton_; }
  QPushButton* RestoreButton() const { return restoreButton_; }
  QPushButton* ExitButton() const { return exitButton_; }
  QPushButton* HiddenScanButton() const { return scanButton_; }
  QLabel* Counter() const { return counter_; }
  QLabel* ClearingNotice() const { return notice_; }
  QMenuBar* Menu() const { return menuBar_; }
  QAction* ScanAllAction() const { return scanAllAction_; }
  QAction* CarveAction() const { return carveAction_; }
  QAction* DeleteCompletelyAction() const { return deleteAction_; }
  QAction* WebPageAction() const { return webAction_; }
  QAction* CreditAction() const { return creditAction_; }
  // Beyond the designed dialog, out of its way: the preview pane (closed
  // by default), the Condition column (off by default) and saving the list.
  QAction* PreviewAction() const { return previewAction_; }
  QAction* ConditionColumnAction() const { return conditionAction_; }
  QAction* SaveListAction() const { return saveListAction_; }
  PreviewPane* Preview() const { return preview_; }
  // Shows the selected row in the preview pane now (it otherwise follows
  // the selection a moment after it moves).
  void UpdatePreview();
  bool CommandRunning() const { return busy_; }
  // Whether MainDialog has the restore and the wipe commands yet (their
  // controls stay disabled until it does).
  static bool RestoreAvailable();
  // A designed column width (pixels at the designed font) for this font.
  int ColumnPixels(int designed) const;
  // The width a column gets: its header and its widest value show whole
  // ("In Folder" stretches over what the others leave).
  int FittedColumnWidth(int column) const;
  static constexpr int kFolderColumn = 1;
  static bool DeleteCompletelyAvailable();

  // The address the web-page entry opens: the user guide shipped with the
  // program.
  static QUrl GuideUrl();
  // Tests replace the browser.
  void SetUrlOpener(std::function<void(const QUrl&)> opener) { urlOpener_ = std::move(opener); }

  // "Ouvrir une image…": the entry, the file dialog (tests replace it; an
  // empty answer is Cancel) and what it does with the path chosen.
  QAction* OpenImageAction() const { return openImageAction_; }
  void SetImagePicker(std::function<QString()> picker) { imagePicker_ = std::move(picker); }
  // Adds the image's drives to the list and selects the first; false (the
  // user told why) when none could be read.
  bool OpenImage(const QString& path);
  // The machine's devices this user could not open (start-up): with no
  // drive listed, the window says why and what to do.
  void SetUnreadableSources(const std::vector<std::pair<std::string, int>>& refused);
  // The sentence the window shows then.
  static const char* const kNoReadableDrive;
  // The drive list's tooltip for a drive: source, file system and size.
  static QString DriveToolTip(const platform::Drive& drive);

  // Host side: announce the list's new rows and columns, apply the counter.
  void SyncView();
  // The same from the event pump, at most about 25 times a second: the
  // engines pump at every step, and a repaint of the list per step would
  // cost more than the search itself.
  void SyncViewFromPump();
  void FocusControl(FocusTarget target);
  void ShowClearingNotice(bool visible, const std::string& text);
  void SetCounterText(const std::string& text);
  // The owner side of a progress window: disabled while one is open.
  void SetCommandsEnabled(bool enabled);

 public slots:
  void OnSearch();
  void OnRestore();
  void OnScanAllClusters();
  void OnCarve();
  void OnDeleteCompletely();
  void OnOpenWebPage();
  void OnOpenImage();
  void OnDriveChanged(int position);
  void OnColumnClick(int column);
  void OnSaveList();
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildExtraMenus(QMenu* functions);
  void ShowPreview(bool shown);
  // The Name column's share of what the list is wider than its columns'
  // own widths ("In Folder" takes the rest), unless the user sized it.
  void ShareSpareWidth();
  void BuildControls();
  void BuildMenu();
  void FillDriveCombo();
  void ApplyEnabling();
  void PushControls();
  void RunCommand(const std::function<void()>& command);
  void PlaceNotice();
  void FitColumn(int column);
  void RestoreSelectionFromList();

  DialogUnits units_;
  FileIcons icons_;
  QtHost host_;
  StaleKeyFilter staleKeys_;
  std::unique_ptr<WindowDialog> dialog_;
  ResultsModel* model_ = nullptr;

  QMenuBar* menuBar_ = nullptr;
  QAction* scanAllAction_ = nullptr;
  QAction* carveAction_ = nullptr;
  QAction* deleteAction_ = nullptr;
  QAction* webAction_ = nullptr;
  QAction* creditAction_ = nullptr;
  QAction* openImageAction_ = nullptr;
  std::function<QString()> imagePicker_;
  bool noDriveNotice_ = false;
  QAction* previewAction_ = nullptr;
  QAction* conditionAction_ = nullptr;
  QAction* saveListAction_ = nullptr;
  QSplitter* splitter_ = nullptr;
  PreviewPane* preview_ = nullptr;
  QTimer* previewTimer_ = nullptr;
  bool nameSizedByUser_ = false;
  bool sharingWidth_ = false;
  int designedListWidth_ = 0;
  QComboBox* driveCombo_ = nullptr;
  QLineEdit* nameEdit_ = nullptr;
  QCheckBox* includeUsed_ = nullptr;
  QLabel* usedLine1_ = nullptr;
  QLabel* usedLine2_ = nullptr;
  QCheckBox* includeZero_ = nullptr;
  QTableView* view_ = nullptr;
  QPushButton* searchButton_ = nullptr;
  QPushButton* restoreButton_ = nullptr;
  QPushButton* exitButton_ = nullptr;
  QPushButton* scanButton_ = nullptr;
  QLabel* counter_ = nullptr;
  QLabel* notice_ = nullptr;

  QElapsedTimer sinceSync_;
  std::string pendingCounter_;
  bool counterDirty_ = false;
  bool busy_ = false;
  std::optional<FocusTarget> focusRequest_;  // a command's own focus move
  bool syncingSelection_ = false;
  std::vector<int> savedWidths_;
  bool dragging_ = false;
  QPoint dragOffset_;
  std::function<void(const QUrl&)> urlOpener_;
};

}  // namespace ambrelic::ui::qt

// SPDX-License-Identifier: MIT
#pragma once

#include "lists/workspace.h"
#include "platform/spreadsheet_automation.h"

#include <QMainWindow>
#include <functional>

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QToolButton;

namespace tessaro::ui {

class QtHost;
class ReportView;

// The main window (form1): six lists, the buttons around them, the copy controls, the
// progress bar and the menu bar. It owns no state of its own: everything lives in the
// Workspace, and every button, list event and menu entry runs a command over it.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Makes the server factory of one command or copy job; dropping it when the command
    // ends ends whatever servers it started.
    using ServerFactoryMaker = std::function<SpreadsheetAutomationFactory()>;

    // Runs start-up over `ws` (whose appDir must be set) before the window is first shown.
    MainWindow(Workspace& ws, ServerFactoryMaker makeServers, QWidget* parent = nullptr);
    // The same, with one factory serving every command.
    MainWindow(Workspace& ws, SpreadsheetAutomationFactory servers, QWidget* parent = nullptr);
    ~MainWindow() override;

    QtHost& host() { return *host_; }
    Workspace& workspace() { return ws_; }
    bool jobRunning() const { return jobRunning_; }

    // The controls, by their design names, for tests and the screenshot tool.
    QToolButton* Command1 = nullptr;  // Add Excel (source)
    QToolButton* Command5 = nullptr;  // Add Folder (source)
    QToolButton* Command2 = nullptr;  // Remove File (source)
    QToolButton* Command6 = nullptr;  // Add Folder (destination)
    QToolButton* Command8 = nullptr;  // Add Excel (destination)
    QToolButton* Command7 = nullptr;  // Remove File (destination)
    QToolButton* Command9 = nullptr;  // Exit
    QToolButton* Command3 = nullptr;  // source entry up
    QToolButton* Command4 = nullptr;  // source entry down
    QToolButton* Command14 = nullptr; // destination entry up
    QToolButton* Command15 = nullptr; // destination entry down
    QToolButton* Command10 = nullptr; // add the selected sheet
    QToolButton* Command11 = nullptr; // remove the selected copy row
    QToolButton* Command12 = nullptr; // Copy
    QToolButton* Command13 = nullptr; // Add All
    QToolButton* Command16 = nullptr; // Remove All
    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    ReportView* ListView1 = nullptr; // SourceEntryList
    ReportView* ListView2 = nullptr; // SourceBookList
    ReportView* ListView3 = nullptr; // SourceSheetList
    ReportView* ListView4 = nullptr; // CopySheetList
    ReportView* ListView5 = nullptr; // TargetEntryList
    ReportView* ListView6 = nullptr; // TargetBookList
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr; // status line
    QComboBox* Combo1 = nullptr;
    QLineEdit* Text1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;

    // Menu entries by their design names.
    QAction* Addexcel = nullptr;
    QAction* AddFolder = nullptr;
    QAction* Addexcel1 = nullptr;
    QAction* AddFolder1 = nullptr;
    QAction* RemoveItem = nullptr;
    QAction* RemoveAll = nullptr;
    QAction* RemoveItem1 = nullptr;
    QAction* RemoveAll1 = nullptr;
    QAction* UndoLast = nullptr; // Undo Last Copy
    QAction* Copy = nullptr;
    QAction* Settings = nullptr;
    QAction* Help1 = nullptr;
    QAction* HomePage = nullptr;
    QAction* About = nullptr;

    // Replaces the modal Settings and About dialogs in tests; the default runs them.
    std::function<void()> showSettings;
    std::function<void()> showAbout;
    // Asked when the window is closed during a job: true cancels the job and closes.
    std::function<bool()> confirmCancelOnClose;

    // Stops the running job after the destination it is writing (the Cancel button).
    void cancelJob();

    // Adds dropped files and folders to a side as Add Excel and Add Folder would; files
    // that the file chooser would not offer (not *.xl* or *.ods) are left out.
    void dropOnSource(const QStringList& paths);
    void dropOnTarget(const QStringList& paths);

    // What the Help entry opens: help.chm in AppDir when it is there, else the user guide
    // shipped beside the executable.
    QString helpTarget() const;
    // Where the user guide is looked for; the executable's folder unless a test moves it.
    std::filesystem::path guideDir;

    // Runs a command that may take long (a copy job) on a worker thread while the window
    // keeps painting and takes no input; returns when the command has finished.
    void runBlocking(const std::function<void()>& command);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildControls();
    void nameControls();
    void openHelp();
    void showRestoredEntries();
    void buildMenus();
    void setTabOrder();
    void bindCommands();
    // Runs a command with the window's Host; a failure that escapes it ends it with a
    // message box.
    void run(const std::function<void()>& command);
    void copy();
    bool eventFilter(QObject* watched, QEvent* event) override;

    Workspace& ws_;
    ServerFactoryMaker makeServers_;
    QtHost* host_ = nullptr;
    bool jobRunning_ = false;
    bool closeAfterJob_ = false;
    bool restoredShown_ = false;
};

} // namespace tessaro::ui

// SPDX-License-Identifier: MIT
#include "ui/main_window.h"

#include "copy/copy_job.h"
#include "copy/undo_store.h"
#include "lists/entry_commands.h"
#include "lists/path_kind.h"
#include "lists/sheet_selection.h"
#include "state/app_dir.h"
#include "state/saved_files.h"
#include "ui/about_box.h"
#include "ui/icons.h"
#include "ui/settings_dialog.h"
#include "ui/qt_host.h"
#include "ui/report_view.h"
#include "ui/twips.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFileInfo>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <exception>
#include <system_error>

namespace tessaro::ui {

namespace {

// The captioned picture buttons of the top row and the Copy button use "Arial" 10.2 pt;
// fontconfig stands Liberation Sans in for it where Arial is absent.
QFont captionFont()
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(10.2);
    return font;
}

QToolButton* pictureButton(QWidget* parent, const QString& caption, Picture picture, QRect geometry, int iconSize)
{
    auto* button = new QToolButton(parent);
    button->setGeometry(geometry);
    button->setIcon(pictureIcon(picture));
    button->setIconSize(QSize(iconSize, iconSize));
    button->setFocusPolicy(Qt::StrongFocus);
    if (caption.isEmpty()) {
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    } else {
        button->setText(caption);
        button->setFont(captionFont());
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    }
    return button;
}

// Keeps the user's hands off the window while a job runs on a worker thread; painting,
// progress and the job's own boxes (separate windows) go on. The one way in is to cancel:
// the Copy button (which then reads "Cancel") and the Escape key.
class InputBlocker : public QObject {
public:
    InputBlocker(QWidget* window, QWidget* cancelButton, std::function<void()> cancel)
        : window_(window), cancelButton_(cancelButton), cancel_(std::move(cancel))
    {
        qApp->installEventFilter(this);
    }
    ~InputBlocker() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!watched->isWidgetType() || static_cast<QWidget*>(watched)->window() != window_)
            return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
            return watched != cancelButton_;
        case QEvent::KeyPress:
            if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape)
                cancel_();
            return true;
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::Drop:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
            return true;
        default:
            return false;
        }
    }

private:
    QWidget* window_;
    QWidget* cancelButton_;
    std::function<void()> cancel_;
};

} // namespace

MainWindow::MainWindow(Workspace& ws, SpreadsheetAutomationFactory servers, QWidget* parent)
    : MainWindow(ws, ServerFactoryMaker([servers = std::move(servers)] { return servers; }), parent)
{
}

MainWindow::MainWindow(Workspace& ws, ServerFactoryMaker makeServers, QWidget* parent)
    : QMainWindow(parent), ws_(ws), makeServers_(std::move(makeServers))
{
    setObjectName(QStringLiteral("form1"));
    setWindowTitle(QStringLiteral("Tessaro"));
    setWindowIcon(pictureIcon(Picture::AppIcon));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);

    guideDir = helpPage(executableDir()).parent_path();
    buildControls();
    buildMenus();
    setTabOrder();

    // Start-up: counters, restored entry lists, then the copy-position choices.
    startUp(ws_);
    Combo1->addItem(QStringLiteral("Copy After"));
    Combo1->addItem(QStringLiteral("Copy Before"));
    Combo1->addItem(QStringLiteral("Replace Same Name"));
    Combo1->setCurrentIndex(0);
    Text1->setText(QString::number(ws_.copyCount));

    bindCommands();

    // The client area is 12120 x 8136 twips; the menu bar comes on top of it.
    const QSize client(twips(12120), twips(8136));
    centralWidget()->setFixedSize(client);
    setFixedSize(client.width(), client.height() + menuBar()->sizeHint().height());
    Command1->setFocus();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    // Top row of command buttons.
    Command1 = pictureButton(client, "Add Excel", Picture::AddWorkbook, twipsRect(120, 0, 1210, 975), 40);
    Command5 = pictureButton(client, "Add Folder", Picture::AddFolder, twipsRect(1440, 0, 1210, 975), 40);
    Command2 = pictureButton(client, "Remove File", Picture::Remove, twipsRect(2760, 0, 1330, 975), 32);
    Command6 = pictureButton(client, "Add Folder", Picture::AddFolder, twipsRect(6240, 0, 1210, 975), 40);
    Command8 = pictureButton(client, "Add Excel", Picture::AddWorkbook, twipsRect(7560, 0, 1090, 975), 40);
    Command7 = pictureButton(client, "Remove File", Picture::Remove, twipsRect(8760, 0, 1330, 975), 32);
    Command9 = pictureButton(client, "Exit", Picture::Exit, twipsRect(10560, 0, 970, 975), 32);

    // Source frame.
    Frame1 = new QGroupBox(QStringLiteral("Source Excel Files"), client);
    Frame1->setGeometry(twipsRect(120, 1080, 5295, 6495));
    ListView1 = new ReportView(ws_.sourceEntryList,
                               {{QStringLiteral("Please Select the Excel File or Folder to Copy"), 4690}},
                               /*checkBoxes=*/false, /*smallIcons=*/true, Frame1);
    ListView1->setGeometry(twipsRect(120, 240, 5055, 2655));
    ListView2 = new ReportView(ws_.sourceBookList, {{QStringLiteral("WorkBooks"), 2020}}, true, false, Frame1);
    ListView2->setGeometry(twipsRect(120, 3000, 2415, 3375));
    ListView3 = new ReportView(ws_.sourceSheetList, {{QStringLiteral("WorkSheets"), 2120}}, true, false, Frame1);
    ListView3->setGeometry(twipsRect(2640, 3000, 2535, 3015));

    // Destination frame.
    Frame2 = new QGroupBox(QStringLiteral("Destination Excel Files"), client);
    Frame2->setGeometry(twipsRect(6240, 1080, 5775, 6495));
    ListView5 = new ReportView(ws_.targetEntryList,
                               {{QStringLiteral("Please Select the Destination Excel File or Folder"), 5160}}, false,
                               true, Frame2);
    ListView5->setGeometry(twipsRect(120, 240, 5535, 2175));
    Label2 = new QLabel(QStringLiteral("Copy Option:"), Frame2);
    Label2->setGeometry(twipsRect(120, 2520, 975, 255));
    Combo1 = new QComboBox(Frame2);
    Combo1->setEditable(false);
    Combo1->setGeometry(twipsRect(1200, 2520, 2040, 315));
    Label3 = new QLabel(QStringLiteral("Copy Number:"), Frame2);
    Label3->setGeometry(twipsRect(3330, 2520, 1095, 255));
    Text1 = new QLineEdit(QStringLiteral("1"), Frame2);
    Text1->setGeometry(twipsRect(4470, 2520, 1185, 270));
    ListView4 = new ReportView(ws_.copySheetList,
                               {{QString(), 300}, {QString(), 0}, {QStringLiteral("Sheets be Copied"), 1510}}, true,
                               false, Frame2);
    ListView4->setGeometry(twipsRect(120, 2880, 2175, 3015));
    Command12 = pictureButton(Frame2, "Copy", Picture::Copy, twipsRect(2280, 3960, 795, 1095), 44);
    ListView6 = new ReportView(ws_.targetBookList, {{QStringLiteral("WorkBooks"), 2150}}, true, false, Frame2);
    ListView6->setGeometry(twipsRect(3120, 2880, 2535, 3375));

    // Picture buttons between and over the frames; created after the frames so they are
    // drawn above them and stay clickable.
    Command3 = pictureButton(client, QString(), Picture::Up, twipsRect(5400, 1680, 375, 615), 20);
    Command4 = pictureButton(client, QString(), Picture::Down, twipsRect(5400, 2640, 375, 615), 20);
    Command14 = pictureButton(client, QString(), Picture::Up, twipsRect(5850, 1680, 375, 615), 20);
    Command15 = pictureButton(client, QString(), Picture::Down, twipsRect(5850, 2640, 375, 615), 20);
    Command10 = pictureButton(client, QString(), Picture::AddSheet, twipsRect(5520, 4680, 615, 375), 20);
    Command11 = pictureButton(client, QString(), Picture::RemoveSheet, twipsRect(5520, 5280, 615, 375), 20);
    Command3->setToolTip(QStringLiteral("Move the selected source entry up"));
    Command4->setToolTip(QStringLiteral("Move the selected source entry down"));
    Command14->setToolTip(QStringLiteral("Move the selected destination entry up"));
    Command15->setToolTip(QStringLiteral("Move the selected destination entry down"));
    Command10->setToolTip(QStringLiteral("Add the selected sheet to the copy list"));
    Command11->setToolTip(QStringLiteral("Remove the selected sheet from the copy list"));

    // Bottom area.
    Command13 = new QToolButton(client);
    Command13->setText(QStringLiteral("Add All"));
    Command13->setGeometry(twipsRect(3600, 7080, 1695, 375));
    Command13->setFocusPolicy(Qt::StrongFocus);
    Command16 = new QToolButton(client);
    Command16->setText(QStringLiteral("Remove All"));
    Command16->setGeometry(twipsRect(6360, 7080, 1695, 375));
    Command16->setFocusPolicy(Qt::StrongFocus);
    Label4 = new QLabel(client);
    Label4->setGeometry(twipsRect(120, 7560, 4935, 255));
    ProgressBar1 = new QProgressBar(client);
    ProgressBar1->setGeometry(twipsRect(120, 7800, 11895, 255));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    for (auto* w : {static_cast<QWidget*>(Command3), static_cast<QWidget*>(Command4), static_cast<QWidget*>(Command14),
                    static_cast<QWidget*>(Command15), static_cast<QWidget*>(Command10),
                    static_cast<QWidget*>(Command11), static_cast<QWidget*>(Command13),
                    static_cast<QWidget*>(Command16)})
        w->raise();

    host_ = new QtHost(this, ProgressBar1, Label4);
    nameControls();
}

void MainWindow::nameControls()
{
    // Captions repeat across the two sides and several controls show only a picture, so a
    // screen reader gets each control's side and job from these.
    const struct {
        QWidget* control;
        const char* name;
        const char* description;
    } names[] = {
        {Command1, "Add source workbook file", "Choose one workbook to copy sheets from"},
        {Command5, "Add source folder", "Choose a folder whose workbooks you copy sheets from"},
        {Command2, "Remove source entry", "Remove the highlighted entry from the source list"},
        {Command6, "Add destination folder", "Choose a folder whose workbooks receive the copies"},
        {Command8, "Add destination workbook file", "Choose one workbook that receives the copies"},
        {Command7, "Remove destination entry", "Remove the highlighted entry from the destination list"},
        {Command9, "Exit", "Save the lists as the settings say and close Tessaro"},
        {Command3, "Move source entry up", "Move the highlighted source entry one place up"},
        {Command4, "Move source entry down", "Move the highlighted source entry one place down"},
        {Command14, "Move destination entry up", "Move the highlighted destination entry one place up"},
        {Command15, "Move destination entry down", "Move the highlighted destination entry one place down"},
        {Command10, "Add sheet to copy list", "Add the highlighted source worksheet to the sheets to copy"},
        {Command11, "Remove sheet from copy list", "Remove the highlighted row from the sheets to copy"},
        {Command13, "Add all sheets to copy list", "Add every worksheet of the source workbook to the sheets to copy"},
        {Command16, "Remove all sheets from copy list", "Empty the list of sheets to copy"},
        {Command12, "Copy", "Copy the ticked sheets into every ticked destination workbook"},
        {ListView1, "Source workbook files and folders", "Workbooks and folders to copy sheets from"},
        {ListView2, "Source workbooks", "Workbooks of the highlighted source entry"},
        {ListView3, "Source worksheets", "Worksheets of the highlighted source workbook; Enter adds one to the copy list"},
        {ListView4, "Sheets to copy", "The ticked rows are copied; Delete removes the highlighted row"},
        {ListView5, "Destination workbook files and folders", "Workbooks and folders that receive the copies"},
        {ListView6, "Destination workbooks", "The ticked workbooks of the highlighted destination entry receive the copies"},
        {Combo1, "Copy position",
         "Whether the copies go after the last sheet, before the first, or in the place of the sheet of the same "
         "name"},
        {Text1, "Number of copies", "How many copies of each sheet are made, 0 to 999"},
        {ProgressBar1, "Copy progress", "Copies made so far in the running job"},
        {Label4, "Status", "The source workbook of the highlighted copy row"},
    };
    for (const auto& n : names) {
        n.control->setAccessibleName(QString::fromUtf8(n.name));
        n.control->setAccessibleDescription(QString::fromUtf8(n.description));
    }
    Label2->setBuddy(Combo1);
    Label3->setBuddy(Text1);
}

void MainWindow::buildMenus()
{
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    Addexcel = file->addAction(QStringLiteral("Add Source Excel File"));
    AddFolder = file->addAction(QStringLiteral("Add All Source Excel in Folder"));
    Addexcel1 = file->addAction(QStringLiteral("Add Destination Excel File"));
    AddFolder1 = file->addAction(QStringLiteral("Add All Destination Excel in Folder"));
    QMenu* edit = bar->addMenu(QStringLiteral("&Edit"));
    RemoveItem = edit->addAction(QStringLiteral("Remove left List Item"));
    RemoveAll = edit->addAction(QStringLiteral("Remove All left list Items"));
    RemoveItem1 = edit->addAction(QStringLiteral("Remove right List Item"));
    RemoveAll1 = edit->addAction(QStringLiteral("Remove All right List Items"));
    edit->addSeparator();
    UndoLast = edit->addAction(QStringLiteral("Undo Last Copy"));
    QMenu* actions = bar->addMenu(QStringLiteral("&Actions"));
    Copy = actions->addAction(QStringLiteral("Copy"));
    Settings = bar->addAction(QStringLiteral("&Settings"));
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    Help1 = help->addAction(QStringLiteral("Help"));
    HomePage = help->addAction(QStringLiteral("HomePage"));
    About = help->addAction(QStringLiteral("About"));
}

void MainWindow::setTabOrder()
{
    const QWidget* order[] = {Command1,  Command5,  Command2,  Command6,  Command8,  Command7,  Command9,  ListView1,
                              Command3,  Command4,  ListView2, ListView3, Command13, Command10, Command11, ListView5,
                              Command14, Command15, ListView4, Command16, Combo1,    Text1,     ListView6, Command12};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));
}

void MainWindow::bindCommands()
{
    Workspace& ws = ws_;
    Host& host = *host_;
    const auto on = [this](auto* sender, auto signal, std::function<void()> command) {
        connect(sender, signal, this, [this, command] { run(command); });
    };
    using Button = QToolButton;

    // Source side.
    const auto addSourceExcel = [this, &ws, &host] { AddSourceExcel(ws, host, makeServers_()); };
    const auto addSourceFolder = [this, &ws, &host] { AddSourceFolder(ws, host, makeServers_()); };
    const auto removeSource = [this, &ws, &host] { RemoveSourceEntry(ws, host, makeServers_()); };
    on(Command1, &Button::clicked, addSourceExcel);
    on(Command5, &Button::clicked, addSourceFolder);
    on(Command2, &Button::clicked, removeSource);
    on(Command3, &Button::clicked, [&ws] { MoveEntryUp(ws.sourceEntryList); });
    on(Command4, &Button::clicked, [&ws] { MoveEntryDown(ws.sourceEntryList); });
    on(ListView1, &ReportView::rowClicked, [this, &ws, &host] { SourceEntryClick(ws, host, makeServers_()); });
    on(ListView2, &ReportView::rowClicked, [this, &ws, &host] { SourceBookClick(ws, host, makeServers_()); });
    on(ListView3, &ReportView::rowDoubleClicked, [&ws, &host] { AddSelectedSheet(ws, host); });
    on(Command10, &Button::clicked, [&ws, &host] { AddSelectedSheet(ws, host); });
    on(Command13, &Button::clicked, [&ws, &host] { AddAllSheets(ws, host); });

    // Copy list.
    on(Command11, &Button::clicked, [&ws] { RemoveSelectedCopyRow(ws); });
    on(ListView4, &ReportView::rowDoubleClicked, [&ws] { RemoveSelectedCopyRow(ws); });
    connect(ListView4, &ReportView::rowClicked, this,
            [this, &ws, &host](int position) { run([&] { CopyRowClick(ws, host, position); }); });
    on(Command16, &Button::clicked, [&ws] { RemoveAllCopyRows(ws); });

    // Destination side.
    const auto addTargetExcel = [&ws, &host] { AddTargetExcel(ws, host); };
    const auto addTargetFolder = [&ws, &host] { AddTargetFolder(ws, host); };
    const auto removeTarget = [&ws, &host] { RemoveTargetEntry(ws, host); };
    on(Command6, &Button::clicked, addTargetFolder);
    on(Command8, &Button::clicked, addTargetExcel);
    on(Command7, &Button::clicked, removeTarget);
    on(Command14, &Button::clicked, [&ws] { MoveEntryUp(ws.targetEntryList); });
    on(Command15, &Button::clicked, [&ws] { MoveEntryDown(ws.targetEntryList); });
    on(ListView5, &ReportView::rowClicked, [&ws, &host] { TargetEntryClick(ws, host); });

    // The keyboard: Enter adds a sheet, Delete removes what the matching button removes.
    on(ListView3, &ReportView::enterPressed, [&ws, &host] { AddSelectedSheet(ws, host); });
    on(ListView1, &ReportView::deletePressed, removeSource);
    on(ListView5, &ReportView::deletePressed, removeTarget);
    on(ListView4, &ReportView::deletePressed, [&ws] { RemoveSelectedCopyRow(ws); });
    on(ListView2, &ReportView::deletePressed, [&ws] {
        ws.sourceBookList.remove(ws.sourceBookList.selectedPosition());
        ws.sourceSheetList.clear();
    });
    on(ListView6, &ReportView::deletePressed,
       [&ws] { ws.targetBookList.remove(ws.targetBookList.selectedPosition()); });

    // Copy controls.
    connect(Combo1, &QComboBox::currentIndexChanged, this, [&ws](int index) { ws.copyPosition = index; });
    // Only what the job can use can be typed or pasted: a whole number from 0 to 999.
    Text1->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), Text1));
    Text1->installEventFilter(this);
    connect(Command12, &Button::clicked, this, &MainWindow::copy);
    connect(Command9, &Button::clicked, this, &QWidget::close);

    // Menus: each entry runs its namesake's command.
    on(Addexcel, &QAction::triggered, addSourceExcel);
    on(AddFolder, &QAction::triggered, addSourceFolder);
    on(Addexcel1, &QAction::triggered, addTargetExcel);
    on(AddFolder1, &QAction::triggered, addTargetFolder);
    on(RemoveItem, &QAction::triggered, removeSource);
    on(RemoveAll, &QAction::triggered, [&ws] { RemoveAllLeft(ws); });
    on(RemoveItem1, &QAction::triggered, removeTarget);
    on(RemoveAll1, &QAction::triggered, [&ws] { RemoveAllRight(ws); });
    connect(Copy, &QAction::triggered, this, &MainWindow::copy);
    // Restoring waits for destinations other jobs are writing: off the window's thread.
    connect(UndoLast, &QAction::triggered, this, [this] {
        if (!jobRunning_)
            runBlocking([this] { UndoLastCopy(ws_.appDir, *host_); });
    });
    showSettings = [this] {
        SettingsDialog dialog(ws_.appDir, this);
        dialog.exec();
    };
    showAbout = [this] {
        AboutBox box(*host_, this);
        box.exec();
    };
    confirmCancelOnClose = [this] {
        return QMessageBox::question(this, QApplication::applicationDisplayName(),
                                     QStringLiteral("A copy job is running. Cancel it and close Tessaro?\n\n"
                                                    "The workbook being written is finished first.")) ==
               QMessageBox::Yes;
    };
    connect(Settings, &QAction::triggered, this, [this] { showSettings(); });
    connect(About, &QAction::triggered, this, [this] { showAbout(); });
    on(Help1, &QAction::triggered, [this] { openHelp(); });
    on(HomePage, &QAction::triggered, [this] { host_->openWithDesktop(homePageUrl().toStdString()); });

    // Files and folders dropped from a file manager.
    ListView1->acceptPathDrops();
    ListView5->acceptPathDrops();
    connect(ListView1, &ReportView::pathsDropped, this, &MainWindow::dropOnSource);
    connect(ListView5, &ReportView::pathsDropped, this, &MainWindow::dropOnTarget);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The copy-number box takes its text over when the focus moves to another control of
    // the window; a message box or another window taking the focus does not count.
    if (watched == Text1 && event->type() == QEvent::FocusOut) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            CopyNumberLostFocus(ws_, Text1->text().toStdString());
            // An emptied box shows again the count the job will use.
            Text1->setText(QString::number(ws_.copyCount));
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::copy()
{
    if (jobRunning_) {
        cancelJob();
        return;
    }
    // The job's servers live on the worker and end with the job.
    host_->clearCancel();
    Command12->setText(QStringLiteral("Cancel"));
    Command12->setAccessibleName(QStringLiteral("Cancel copy"));
    runBlocking([this] {
        CopyJobOptions options;
        options.links = ReadLinksChoice(linksFile(ws_.appDir));
        CopyJob(ws_, *host_, makeServers_(), options);
    });
    Command12->setText(QStringLiteral("Copy"));
    Command12->setAccessibleName(QStringLiteral("Copy"));
    if (closeAfterJob_)
        close();
}

void MainWindow::cancelJob()
{
    if (!jobRunning_)
        return;
    host_->requestCancel();
    Command12->setEnabled(false); // asked once; the job stops after the destination it is writing
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // Listed once the window is up, so a box about an unreadable workbook has a window to
    // stand over.
    if (!restoredShown_) {
        restoredShown_ = true;
        QTimer::singleShot(0, this, &MainWindow::showRestoredEntries);
    }
}

void MainWindow::showRestoredEntries()
{
    // A restored list shows its highlighted entry's workbooks, as a click on it would.
    if (ws_.sourceEntryList.selectedPosition() > 0)
        run([this] { SourceEntryClick(ws_, *host_, makeServers_()); });
    if (ws_.targetEntryList.selectedPosition() > 0)
        run([this] { TargetEntryClick(ws_, *host_); });
}

namespace {
bool offeredByFileChooser(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 && (name.mid(dot).startsWith(QStringLiteral(".xl"), Qt::CaseInsensitive) ||
                       name.mid(dot).compare(QStringLiteral(".ods"), Qt::CaseInsensitive) == 0);
}
} // namespace

void MainWindow::dropOnSource(const QStringList& paths)
{
    for (const QString& path : paths) {
        const std::string p = path.toStdString();
        const bool folder = GetPathKind(p) == PathKind::Folder;
        if (folder || offeredByFileChooser(path))
            run([&] { AddSourceEntry(ws_, *host_, makeServers_(), p, folder); });
    }
}

void MainWindow::dropOnTarget(const QStringList& paths)
{
    for (const QString& path : paths) {
        const std::string p = path.toStdString();
        const bool folder = GetPathKind(p) == PathKind::Folder;
        if (folder || offeredByFileChooser(path))
            run([&] { AddTargetEntry(ws_, *host_, p, folder); });
    }
}

QString MainWindow::helpTarget() const
{
    return QString::fromStdString((guideDir / "help.html").string());
}

void MainWindow::openHelp()
{
    const std::string help = helpTarget().toStdString();
    if (GetPathKind(help) != PathKind::File)
        host_->showMessage("The help file " + help + " was not found, so there is no help to show.",
                           MessageIcon::Critical);
    else if (!host_->openWithDesktop(help))
        host_->showMessage("No program is set up to show " + help + "; open it in a web browser.",
                           MessageIcon::Critical);
}

// A command tells of the failures it expects itself; whatever escapes it is shown too, since
// a person at the window never sees a terminal.
void MainWindow::run(const std::function<void()>& command)
{
    try {
        command();
    } catch (const AutomationError& e) {
        host_->showMessage(e.description(), MessageIcon::Critical);
    } catch (const std::system_error& e) {
        // Names the file and what the system said about it.
        host_->showMessage(e.what(), MessageIcon::Critical);
    } catch (const std::exception& e) {
        host_->showMessage(std::string(errorMessage(ErrorCode::InternalFault)) + ": " + e.what(), MessageIcon::Critical);
    } catch (...) {
        host_->showMessage(std::string(errorMessage(ErrorCode::InternalFault)) + ".", MessageIcon::Critical);
    }
}

void MainWindow::runBlocking(const std::function<void()>& command)
{
    jobRunning_ = true;
    UndoLast->setEnabled(false);
    InputBlocker blocker(this, Command12, [this] { cancelJob(); });
    QApplication::setOverrideCursor(Qt::BusyCursor);
    QEventLoop loop;
    QThread* worker = QThread::create([&] { run(command); });
    connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();
    delete worker;
    QApplication::restoreOverrideCursor();
    jobRunning_ = false;
    UndoLast->setEnabled(true);
    Command12->setEnabled(true);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // A running job is never cut off: closing asks whether to cancel it, and the window
    // closes once the job has stopped and reported.
    if (jobRunning_) {
        event->ignore();
        if (!closeAfterJob_ && confirmCancelOnClose()) {
            closeAfterJob_ = true;
            cancelJob();
        }
        return;
    }
    for (const auto& failure : shutDown(ws_))
        host_->showMessage("The list was not saved: " + failure, MessageIcon::Critical);
    event->accept();
}

} // namespace tessaro::ui

// SPDX-License-Identifier: MIT
#include "ui/main_window.h"

#include "copy/copy_job.h"
#include "lists/entry_commands.h"
#include "lists/path_kind.h"
#include "lists/sheet_selection.h"
#include "state/app_dir.h"
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
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QThread>
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
// progress and the job's own message boxes (separate windows) go on.
class InputBlocker : public QObject {
public:
    explicit InputBlocker(QWidget* window) : window_(window) { qApp->installEventFilter(this); }
    ~InputBlocker() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::Drop:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
            if (watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == window_)
                return true;
            break;
        default:
            break;
        }
        return false;
    }

private:
    QWidget* window_;
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

    buildControls();
    buildMenus();
    setTabOrder();

    // Start-up: counters, restored entry lists, then the copy-position choices.
    startUp(ws_);
    Combo1->addItem(QStringLiteral("Copy After"));
    Combo1->addItem(QStringLiteral("Copy Before"));
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
    Combo1->setGeometry(twipsRect(1200, 2520, 1330, 315));
    Label3 = new QLabel(QStringLiteral("Copy Number:"), Frame2);
    Label3->setGeometry(twipsRect(3120, 2520, 1095, 255));
    Text1 = new QLineEdit(QStringLiteral("1"), Frame2);
    Text1->setGeometry(twipsRect(4320, 2520, 1335, 270));
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
}

void MainWindow::buildMenus()
{
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("File"));
    Addexcel = file->addAction(QStringLiteral("Add Source Excel File"));
    AddFolder = file->addAction(QStringLiteral("Add All Source Excel in Folder"));
    Addexcel1 = file->addAction(QStringLiteral("Add Destination Excel File"));
    AddFolder1 = file->addAction(QStringLiteral("Add All Destination Excel in Folder"));
    QMenu* edit = bar->addMenu(QStringLiteral("Edit"));
    RemoveItem = edit->addAction(QStringLiteral("Remove left List Item"));
    RemoveAll = edit->addAction(QStringLiteral("Remove All left list Items"));
    RemoveItem1 = edit->addAction(QStringLiteral("Remove right List Item"));
    RemoveAll1 = edit->addAction(QStringLiteral("Remove All right List Items"));
    QMenu* actions = bar->addMenu(QStringLiteral("Actions"));
    Copy = actions->addAction(QStringLiteral("Copy"));
    Settings = bar->addAction(QStringLiteral("Settings"));
    QMenu* help = bar->addMenu(QStringLiteral("Help"));
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

    // Copy controls.
    connect(Combo1, &QComboBox::currentIndexChanged, this, [&ws](int index) { ws.copyPosition = index; });
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
    showSettings = [this] {
        SettingsDialog dialog(ws_.appDir, this);
        dialog.exec();
    };
    showAbout = [this] {
        AboutBox box(*host_, this);
        box.exec();
    };
    connect(Settings, &QAction::triggered, this, [this] { showSettings(); });
    connect(About, &QAction::triggered, this, [this] { showAbout(); });
    on(Help1, &QAction::triggered, [this] { host_->openWithDesktop(helpTarget().toStdString()); });
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
            if (const auto text = CopyNumberLostFocus(ws_, Text1->text().toStdString()))
                Text1->setText(QString::fromStdString(*text));
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::copy()
{
    // The job's servers live on the worker and end with the job.
    runBlocking([this] { CopyJob(ws_, *host_, makeServers_()); });
}

namespace {
bool offeredByFileChooser(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 && name.mid(dot).startsWith(QStringLiteral(".xl"), Qt::CaseInsensitive);
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
    return QString::fromStdString(helpPage(executableDir()).string());
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
    InputBlocker blocker(this);
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
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Like every other action, closing waits for a running job to end.
    if (jobRunning_) {
        event->ignore();
        return;
    }
    for (const auto& failure : shutDown(ws_))
        host_->showMessage("The list was not saved: " + failure, MessageIcon::Critical);
    event->accept();
}

} // namespace tessaro::ui

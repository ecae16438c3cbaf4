// SPDX-License-Identifier: MIT
// The window as a user drives it: every button, list event and menu entry reaches its
// command, choosers answered from a script and message boxes recorded, over a fake server.
#include "state/app_dir.h"
#include "state/saved_files.h"
#include "support/fake_automation.h"
#include "support/temp_dir.h"
#include "ui/about_box.h"
#include "ui/main_window.h"
#include "ui/qt_host.h"
#include "ui/report_view.h"

#include <QAccessible>
#include <QApplication>
#include <QHeaderView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <deque>
#include <functional>
#include <stdexcept>
#include <system_error>

using namespace tessaro;
using test::FakeWorld;
using test::readFakeBook;
using test::TempDir;
using test::writeFakeBook;
using Names = std::vector<std::string>;

namespace {

QStringList texts(const ListModel& list)
{
    QStringList out;
    for (int i = 1; i <= list.count(); ++i)
        out << QString::fromStdString(list.row(i).text);
    return out;
}

// A window over a temporary AppDir, a fake server, scripted choosers and recorded messages.
struct Rig {
    TempDir app;
    TempDir data;
    FakeWorld world;
    Workspace ws;
    std::unique_ptr<ui::MainWindow> w;
    std::deque<QString> answers; // a null QString cancels
    QStringList chooserTitles;
    QStringList messages;
    QStringList opened;
    bool desktopOpens = true;
    QStringList reports; // "critical: summary", then "  line" for each detail
    int closeAsks = 0;
    bool closeAnswer = false;

    Rig()
    {
        ws.appDir = app.path();
        w = std::make_unique<ui::MainWindow>(ws, world.factory());
        w->host().setChooserRunner([this](ui::QtHost::Chooser kind, const QString& title) -> std::optional<QString> {
            chooserTitles << (kind == ui::QtHost::Chooser::File ? "file: " : "folder: ") + title;
            if (answers.empty())
                return std::nullopt;
            const QString a = answers.front();
            answers.pop_front();
            if (a.isNull())
                return std::nullopt;
            return a;
        });
        w->host().setMessageRunner([this](const QString& text, MessageIcon icon) {
            const char* name = icon == MessageIcon::Critical ? "critical" : icon == MessageIcon::Information ? "info" : "none";
            messages << QString(name) + ": " + text;
        });
        w->host().setReportRunner([this](const QString& summary, const QStringList& details, MessageIcon icon) {
            reports << QString(icon == MessageIcon::Critical ? "critical: " : "info: ") + summary;
            for (const QString& line : details)
                reports << "  " + line;
        });
        w->confirmCancelOnClose = [this] {
            ++closeAsks;
            return closeAnswer;
        };
        w->host().setDesktopOpener([this](const QString& target) {
            opened << target;
            return desktopOpens;
        });
        w->show();
        QApplication::setActiveWindow(w.get());
    }

    QString book(const std::string& name, const Names& sheets)
    {
        writeFakeBook(data / name, sheets);
        return QString::fromStdString((data / name).string());
    }
    void click(QToolButton* b) { QTest::mouseClick(b, Qt::LeftButton); }
    void clickRow(ui::ReportView* v, int position)
    {
        const QRect r = v->visualRect(v->model()->index(position - 1, v->isColumnHidden(0) ? 2 : 0));
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, r.center() + QPoint(20, 0));
    }
    void doubleClickRow(ui::ReportView* v, int position)
    {
        const QRect r = v->visualRect(v->model()->index(position - 1, v->model()->columnCount() - 1));
        // A real double-click starts with a press and release of its own.
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, r.center());
        QTest::mouseDClick(v->viewport(), Qt::LeftButton, {}, r.center());
    }
};

} // namespace

class WindowCommandsTest : public QObject {
    Q_OBJECT
private slots:
    void sourceButtonsAndListsBuildTheCopyList();
    void destinationButtonsAndMoves();
    void fileMenuEntriesRunTheirNamesakes();
    void editMenuEntriesRemove();
    void copyButtonRunsTheJobWithProgressAndMessages();
    void copyMenuDoesNotTakeOverTheBoxBeingEdited();
    void copyNumberBoxRuleOnLeavingIt();
    void comboChoosesThePositionAndTakesNoText();
    void tabOrderFollowsTheDesign();
    void entryListsHaveNoCheckBoxesTheOthersDo();
    void droppingFilesAndFoldersAddsEntries();
    void helpAndHomePageOpenThroughTheDesktop();
    void settingsAndAboutOpenFromTheMenu();
    void listsCannotChangeWhileAJobRuns();
    void cancelStopsTheJobAndTheCloseBoxAsksFirst();
    void oneReportAfterFailures();
    void keyboardDrivesTheLists();
    void everyControlHasAUniqueAccessibleName();
    void restoredListsShowTheHighlightedEntrysWorkbooks();
    void progressBeyondIntRangeIsScaled();
    void failuresOfACommandOrOfClosingAreShownInABox();
};

void WindowCommandsTest::sourceButtonsAndListsBuildTheCopyList()
{
    Rig rig;
    auto& w = *rig.w;
    const QString a = rig.book("a.xlsx", {"One", "Two"});
    rig.book("b.xlsx", {"Beta"});

    rig.answers = {a};
    rig.click(w.Command1); // Add Excel
    QCOMPARE(rig.chooserTitles, QStringList{"file: Select Excel file"});
    QCOMPARE(texts(rig.ws.sourceEntryList), QStringList{a});
    QCOMPARE(texts(rig.ws.sourceSheetList), (QStringList{"One", "Two"}));

    rig.answers = {QString::fromStdString(rig.data.path().string())};
    rig.click(w.Command5); // Add Folder
    QCOMPARE(rig.chooserTitles.last(), QString("folder: Add all source excel in folder"));
    QCOMPARE(texts(rig.ws.sourceBookList), (QStringList{"a.xlsx", "b.xlsx"}));

    rig.clickRow(w.ListView2, 2); // the second workbook: its sheets
    QCOMPARE(texts(rig.ws.sourceSheetList), QStringList{"Beta"});
    rig.doubleClickRow(w.ListView3, 1); // double-click adds the sheet
    QCOMPARE(rig.ws.copySheetList.count(), 1);
    rig.click(w.Command10); // the arrow adds it again
    rig.click(w.Command13); // Add All
    QCOMPARE(rig.ws.copySheetList.count(), 3);

    rig.clickRow(w.ListView1, 1); // the file entry: its workbook and sheets
    QCOMPARE(texts(rig.ws.sourceBookList), QStringList{"a.xlsx"});
    rig.click(w.Command13);
    QCOMPARE(rig.ws.copySheetList.count(), 5);
    QCOMPARE(QString::fromStdString(rig.ws.copySheetList.row(5).subItem(2)), QString("Two"));

    rig.clickRow(w.ListView4, 1);
    QCOMPARE(w.Label4->text(), QString::fromStdString((rig.data / "b.xlsx").string()));
    rig.clickRow(w.ListView4, 5);
    QCOMPARE(w.Label4->text(), a);

    rig.click(w.Command11); // remove the selected copy row
    QCOMPARE(rig.ws.copySheetList.count(), 4);
    rig.doubleClickRow(w.ListView4, 1);
    QCOMPARE(rig.ws.copySheetList.count(), 3);
    rig.click(w.Command16); // Remove All
    QCOMPARE(rig.ws.copySheetList.count(), 0);
    QCOMPARE(rig.ws.copyRowCounter, 0);

    rig.click(w.Command2); // Remove File: the selected (first) entry
    QCOMPARE(rig.ws.sourceEntryList.count(), 1);
    QVERIFY(rig.messages.isEmpty());
}

void WindowCommandsTest::destinationButtonsAndMoves()
{
    Rig rig;
    auto& w = *rig.w;
    const QString a = rig.book("a.xlsx", {"A"});
    const QString folder = QString::fromStdString(rig.data.path().string());
    rig.answers = {folder, a, QString()};
    rig.click(w.Command6); // Add Folder
    rig.click(w.Command8); // Add Excel
    rig.click(w.Command8); // cancelled
    QCOMPARE(rig.chooserTitles,
             (QStringList{"folder: Add all Destination excel in folder", "file: Select Excel file", "file: Select Excel file"}));
    QCOMPARE(texts(rig.ws.targetEntryList), (QStringList{folder, a}));
    QCOMPARE(rig.ws.targetEntryList.row(1).smallIcon, int(FolderIcon));

    rig.click(w.Command14); // up
    QCOMPARE(texts(rig.ws.targetEntryList), (QStringList{a, folder}));
    rig.click(w.Command15); // down
    QCOMPARE(texts(rig.ws.targetEntryList), (QStringList{folder, a}));
    QCOMPARE(rig.ws.targetEntryList.row(1).smallIcon, int(FolderIcon));

    rig.clickRow(w.ListView5, 1);
    QCOMPARE(texts(rig.ws.targetBookList), QStringList{"a.xlsx"});
    rig.click(w.Command7); // Remove File on the right
    QCOMPARE(texts(rig.ws.targetEntryList), QStringList{a});

    // Source moves.
    rig.ws.sourceEntryList.append("/x");
    rig.ws.sourceEntryList.append("/y");
    rig.click(w.Command4);
    QCOMPARE(texts(rig.ws.sourceEntryList), (QStringList{"/y", "/x"}));
    rig.click(w.Command3);
    QCOMPARE(texts(rig.ws.sourceEntryList), (QStringList{"/x", "/y"}));
}

void WindowCommandsTest::fileMenuEntriesRunTheirNamesakes()
{
    Rig rig;
    auto& w = *rig.w;
    w.Addexcel->trigger();
    w.AddFolder->trigger();
    w.Addexcel1->trigger();
    w.AddFolder1->trigger();
    QCOMPARE(rig.chooserTitles, (QStringList{"file: Select Excel file", "folder: Add all source excel in folder",
                                             "file: Select Excel file", "folder: Add all Destination excel in folder"}));
    QCOMPARE(w.Addexcel1->text(), QString("Add Destination Excel File"));
    QCOMPARE(w.AddFolder1->text(), QString("Add All Destination Excel in Folder"));
    QStringList menus;
    for (QAction* a : w.menuBar()->actions())
        menus << a->text();
    QCOMPARE(menus, (QStringList{"&File", "&Edit", "&Actions", "&Settings", "&Help"}));
}

void WindowCommandsTest::editMenuEntriesRemove()
{
    Rig rig;
    auto& w = *rig.w;
    const QString a = rig.book("a.xlsx", {"A"});
    rig.answers = {a, a};
    w.Addexcel->trigger();
    w.Addexcel1->trigger();
    w.Command13->click();
    QCOMPARE(rig.ws.copySheetList.count(), 1);
    w.RemoveItem->trigger();
    QVERIFY(rig.ws.sourceEntryList.empty());
    QCOMPARE(rig.ws.copySheetList.count(), 1); // copy rows outlive their entry
    w.RemoveAll->trigger();
    QVERIFY(rig.ws.copySheetList.empty());
    w.RemoveItem1->trigger();
    QVERIFY(rig.ws.targetEntryList.empty());
    rig.ws.targetEntryList.append("/t");
    rig.ws.targetBookList.append("t.xlsx");
    w.RemoveAll1->trigger();
    QVERIFY(rig.ws.targetEntryList.empty() && rig.ws.targetBookList.empty());
}

void WindowCommandsTest::copyButtonRunsTheJobWithProgressAndMessages()
{
    Rig rig;
    auto& w = *rig.w;
    const QString s = rig.book("s.xlsx", {"Data"});
    TempDir out;
    writeFakeBook(out / "d1.xlsx", {"X"});
    writeFakeBook(out / "d2.xlsx", {"Y"});
    rig.answers = {s, QString::fromStdString(out.path().string())};
    rig.click(w.Command1);
    rig.click(w.Command6);
    rig.click(w.Command10);

    // Record the bar as the job moves it.
    QList<int> values;
    connect(w.ProgressBar1, &QProgressBar::valueChanged, [&](int v) { values << v; });
    QTest::mouseClick(w.Text1, Qt::LeftButton);
    w.Text1->selectAll();
    QTest::keyClicks(w.Text1, "2");
    rig.click(w.Command12); // the focus moves to Copy: the box's 2 is taken over first

    QCOMPARE(rig.ws.copyCount, 2);
    QCOMPARE(w.ProgressBar1->maximum(), 4);
    QCOMPARE(values, (QList<int>{1, 2, 3, 4, 0}));
    QCOMPARE(rig.messages, QStringList{"info: Copy Complete!"});
    QCOMPARE(readFakeBook(out / "d1.xlsx"), (Names{"X", "Data", "Data (2)"}));
    QCOMPARE(readFakeBook(out / "d2.xlsx"), (Names{"Y", "Data", "Data (2)"}));
    QVERIFY(!w.jobRunning());

    // Nothing ticked: the job's own check.
    rig.messages.clear();
    rig.ws.copySheetList.setChecked(1, false);
    w.Copy->trigger();
    QCOMPARE(rig.messages, QStringList{"info: Please select some excel files to copy!"});
}

void WindowCommandsTest::copyMenuDoesNotTakeOverTheBoxBeingEdited()
{
    Rig rig;
    auto& w = *rig.w;
    const QString s = rig.book("s.xlsx", {"Data"});
    TempDir out;
    writeFakeBook(out / "d.xlsx", {"X"});
    rig.answers = {s, QString::fromStdString(out.path().string())};
    rig.click(w.Command1);
    rig.click(w.Command6);
    rig.click(w.Command10);
    w.Text1->setFocus();
    w.Text1->selectAll();
    QTest::keyClicks(w.Text1, "3");
    w.Copy->trigger(); // the menu does not move the focus
    QCOMPARE(rig.ws.copyCount, 1);
    QCOMPARE(readFakeBook(out / "d.xlsx"), (Names{"X", "Data"}));
}

void WindowCommandsTest::copyNumberBoxRuleOnLeavingIt()
{
    Rig rig;
    auto& w = *rig.w;
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const auto typeAndLeave = [&](const char* text) {
        w.Text1->setFocus(Qt::MouseFocusReason);
        w.Text1->selectAll();
        QTest::keyClick(w.Text1, Qt::Key_Delete);
        QTest::keyClicks(w.Text1, text);
        QTest::keyClick(w.Text1, Qt::Key_Tab);
        QVERIFY(!w.Text1->hasFocus());
    };
    typeAndLeave("12");
    QCOMPARE(rig.ws.copyCount, 12);
    // Only digits, at most three of them: what cannot be used is refused as it is typed.
    typeAndLeave("abc");
    QCOMPARE(rig.ws.copyCount, 12);
    QCOMPARE(w.Text1->text(), QString("12")); // an emptied box shows the count in use again
    typeAndLeave("99999999999");
    QCOMPARE(rig.ws.copyCount, 999);
    QCOMPARE(w.Text1->text(), QString("999"));
    w.Text1->clear();
    w.Text1->insert("99999999999"); // pasted whole: refused whole
    QCOMPARE(w.Text1->text(), QString());
    typeAndLeave("-4");
    QCOMPARE(rig.ws.copyCount, 4);
    QCOMPARE(w.Text1->text(), QString("4"));
}

void WindowCommandsTest::comboChoosesThePositionAndTakesNoText()
{
    Rig rig;
    auto& w = *rig.w;
    QVERIFY(!w.Combo1->isEditable());
    w.Combo1->setFocus();
    QTest::keyClicks(w.Combo1, "Copy Sideways");
    QCOMPARE(w.Combo1->count(), 3);
    QVERIFY(w.Combo1->currentText() == "Copy After" || w.Combo1->currentText() == "Copy Before");
    w.Combo1->setCurrentIndex(1);
    QCOMPARE(rig.ws.copyPosition, kCopyBefore);
    w.Combo1->setCurrentIndex(2);
    QCOMPARE(rig.ws.copyPosition, kCopyReplace);
    w.Combo1->setCurrentIndex(0);
    QCOMPARE(rig.ws.copyPosition, kCopyAfter);
}

void WindowCommandsTest::tabOrderFollowsTheDesign()
{
    Rig rig;
    auto& w = *rig.w;
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Command1));
    const QWidget* expected[] = {w.Command5,  w.Command2,  w.Command6,  w.Command8,  w.Command7,  w.Command9,
                                 w.ListView1, w.Command3,  w.Command4,  w.ListView2, w.ListView3, w.Command13,
                                 w.Command10, w.Command11, w.ListView5, w.Command14, w.Command15, w.ListView4,
                                 w.Command16, w.Combo1,    w.Text1,     w.ListView6, w.Command12, w.Command1};
    for (const QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void WindowCommandsTest::entryListsHaveNoCheckBoxesTheOthersDo()
{
    Rig rig;
    auto& w = *rig.w;
    for (ListModel* list : {&rig.ws.sourceEntryList, &rig.ws.sourceBookList, &rig.ws.sourceSheetList,
                            &rig.ws.copySheetList, &rig.ws.targetEntryList, &rig.ws.targetBookList})
        list->append("row");
    const auto checkable = [](ui::ReportView* v) {
        return bool(v->model()->flags(v->model()->index(0, 0)) & Qt::ItemIsUserCheckable);
    };
    QVERIFY(!checkable(w.ListView1));
    QVERIFY(!checkable(w.ListView5));
    for (auto* v : {w.ListView2, w.ListView3, w.ListView4, w.ListView6})
        QVERIFY(checkable(v));
    // No list can be edited in place.
    for (auto* v : {w.ListView1, w.ListView2, w.ListView3, w.ListView4, w.ListView5, w.ListView6})
        QCOMPARE(v->editTriggers(), QAbstractItemView::NoEditTriggers);
}

void WindowCommandsTest::droppingFilesAndFoldersAddsEntries()
{
    Rig rig;
    auto& w = *rig.w;
    const QString a = rig.book("a.xlsx", {"A1", "A2"});
    test::writeFile(rig.data / "notes.txt", "x");
    const QString folder = QString::fromStdString(rig.data.path().string());
    const auto drop = [](ui::ReportView* view, const QStringList& paths) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const auto& p : paths)
            urls << QUrl::fromLocalFile(p);
        mime.setUrls(urls);
        const QPoint at = view->viewport()->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent dropEvent(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &dropEvent);
    };
    drop(w.ListView1, {a, folder, QString::fromStdString((rig.data / "notes.txt").string())});
    QCOMPARE(texts(rig.ws.sourceEntryList), (QStringList{a, folder}));
    QCOMPARE(rig.ws.sourceEntryList.row(1).smallIcon, int(WorkbookFileIcon));
    QCOMPARE(rig.ws.sourceEntryList.row(2).smallIcon, int(FolderIcon));
    QCOMPARE(texts(rig.ws.sourceBookList), QStringList{"a.xlsx"});
    QCOMPARE(texts(rig.ws.sourceSheetList), (QStringList{"A1", "A2"}));
    drop(w.ListView5, {folder});
    QCOMPARE(texts(rig.ws.targetEntryList), QStringList{folder});
    QCOMPARE(texts(rig.ws.targetBookList), QStringList{"a.xlsx"});
    QVERIFY(!w.ListView2->acceptDrops());
}

void WindowCommandsTest::helpAndHomePageOpenThroughTheDesktop()
{
    Rig rig;
    auto& w = *rig.w;
    // Without help.html the user is told which file is missing.
    w.guideDir = rig.data.path();
    const QString html = w.helpTarget();
    QVERIFY(html.endsWith("/help.html"));
    w.Help1->trigger();
    QVERIFY(rig.opened.isEmpty());
    QCOMPARE(rig.messages, QStringList{"critical: The help file " + html + " was not found, so there is no help to show."});
    test::writeFile(rig.data.path() / "help.html", "x");
    w.Help1->trigger();
    QCOMPARE(rig.opened.last(), html);
    QCOMPARE(rig.messages.size(), 1);
    rig.desktopOpens = false;
    w.Help1->trigger();
    QVERIFY(rig.messages.last().startsWith("critical: No program is set up to show " + html));
    w.HomePage->trigger();
    QCOMPARE(rig.opened.last(), QString("http://www.orvandel.example"));
}

void WindowCommandsTest::settingsAndAboutOpenFromTheMenu()
{
    Rig rig;
    auto& w = *rig.w;
    int settings = 0, about = 0;
    w.showSettings = [&] { ++settings; };
    w.showAbout = [&] { ++about; };
    w.Settings->trigger();
    w.About->trigger();
    w.About->trigger();
    QCOMPARE(settings, 1);
    QCOMPARE(about, 2);
}

void WindowCommandsTest::listsCannotChangeWhileAJobRuns()
{
    Rig rig;
    auto& w = *rig.w;
    const QString s = rig.book("s.xlsx", {"Data"});
    TempDir out;
    writeFakeBook(out / "d.xlsx", {"X"});
    rig.answers = {s, QString::fromStdString(out.path().string())};
    rig.click(w.Command1);
    rig.click(w.Command6);
    rig.click(w.Command10);

    // In the middle of the copy, a user clicks "Remove All" and the close box: the window
    // still paints, but neither reaches its command until the job has ended.
    bool wasRunning = false;
    rig.world.onCopy = [&] {
        QMetaObject::invokeMethod(
            &w,
            [&] {
                wasRunning = w.jobRunning();
                QTest::mouseClick(w.Command16, Qt::LeftButton);
                QVERIFY(!w.close()); // asked, and the user keeps the job
            },
            Qt::BlockingQueuedConnection);
    };
    rig.click(w.Command12);
    QVERIFY(wasRunning);
    QCOMPARE(rig.ws.copySheetList.count(), 1);
    QVERIFY(w.isVisible());
    QCOMPARE(readFakeBook(out / "d.xlsx"), (Names{"X", "Data"}));
    QCOMPARE(rig.closeAsks, 1);
    rig.world.onCopy = nullptr;
    rig.click(w.Command16); // and after the job it works again
    QCOMPARE(rig.ws.copySheetList.count(), 0);
}

void WindowCommandsTest::progressBeyondIntRangeIsScaled()
{
    Rig rig;
    auto& host = rig.w->host();
    host.setProgressMaximum(6'000'000'000LL);
    QVERIFY(rig.w->ProgressBar1->maximum() > 0);
    host.setProgressValue(3'000'000'000LL);
    const double shown = double(rig.w->ProgressBar1->value()) / rig.w->ProgressBar1->maximum();
    QVERIFY(qAbs(shown - 0.5) < 0.01);
    host.setProgressMaximum(6);
    host.setProgressValue(6);
    QCOMPARE(rig.w->ProgressBar1->maximum(), 6);
    QCOMPARE(rig.w->ProgressBar1->value(), 6);
}

void WindowCommandsTest::failuresOfACommandOrOfClosingAreShownInABox()
{
    // What escapes a command: a system failure names its file; anything else is Tessaro's
    // own fault and says so.
    const std::system_error denied(std::make_error_code(std::errc::permission_denied), "/srv/app/office: no folder");
    const std::logic_error bug("list row 4 of 3");
    const std::vector<std::pair<std::function<void()>, QString>> cases = {
        {[&] { throw denied; }, "critical: " + QString(denied.what())},
        {[&] { throw bug; },
         "critical: " + QString::fromStdString(std::string(errorMessage(ErrorCode::InternalFault))) + ": list row 4 of 3"},
    };
    for (const auto& [raise, shown] : cases) {
        TempDir app;
        Workspace ws;
        ws.appDir = app.path();
        ui::MainWindow w(ws, ui::MainWindow::ServerFactoryMaker([&]() -> SpreadsheetAutomationFactory {
                             raise();
                             return {};
                         }));
        QStringList messages;
        w.host().setMessageRunner([&](const QString& text, MessageIcon icon) {
            messages << (icon == MessageIcon::Critical ? "critical: " : "other: ") + text;
        });
        w.host().setChooserRunner([](ui::QtHost::Chooser, const QString&) { return std::optional<QString>(); });
        QTest::mouseClick(w.Command1, Qt::LeftButton); // Add Excel asks for a server factory first
        QCOMPARE(messages, QStringList{shown});
    }

    // A list that cannot be saved on closing is shown too, naming its file.
    Rig rig;
    test::writeFile(settingsFile(rig.app.path()), "1\r\n0\r\n");
    const auto list = sourceListFile(rig.app.path());
    std::filesystem::remove(list);
    std::filesystem::create_directories(list / "in the way");
    QVERIFY(rig.w->close());
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY2(rig.messages[0].startsWith("critical: The list was not saved: " + QString::fromStdString(list.string())),
             qPrintable(rig.messages[0]));
}

void WindowCommandsTest::cancelStopsTheJobAndTheCloseBoxAsksFirst()
{
    Rig rig;
    auto& w = *rig.w;
    const QString s = rig.book("s.xlsx", {"Data"});
    TempDir out;
    for (const char* name : {"d1.xlsx", "d2.xlsx", "d3.xlsx"})
        writeFakeBook(out / name, {"X"});
    rig.answers = {s, QString::fromStdString(out.path().string())};
    rig.click(w.Command1);
    rig.click(w.Command6);
    rig.click(w.Command10);

    // During the first copy the Copy button reads "Cancel" and a click on it stops the job
    // after that destination.
    QString caption;
    rig.world.onCopy = [&] {
        QMetaObject::invokeMethod(
            &w,
            [&] {
                caption = w.Command12->text();
                QTest::mouseClick(w.Command12, Qt::LeftButton);
            },
            Qt::BlockingQueuedConnection);
    };
    rig.click(w.Command12);
    QCOMPARE(caption, QString("Cancel"));
    QCOMPARE(w.Command12->text(), QString("Copy"));
    QCOMPARE(readFakeBook(out / "d1.xlsx"), (Names{"X", "Data"}));
    QCOMPARE(readFakeBook(out / "d2.xlsx"), Names{"X"});
    QCOMPARE(readFakeBook(out / "d3.xlsx"), Names{"X"});
    QCOMPARE(rig.reports.value(0), QString("info: Copied 1 of 3 sheets; the rest (2) was cancelled."));
    QVERIFY(rig.messages.isEmpty());

    // Escape cancels too; closing during a job asks, and a yes closes once the job stopped.
    rig.reports.clear();
    rig.closeAnswer = true;
    rig.world.onCopy = [&] {
        QMetaObject::invokeMethod(
            &w,
            [&] {
                QTest::keyClick(w.Command12, Qt::Key_Escape);
                QVERIFY(!w.close());
            },
            Qt::BlockingQueuedConnection);
    };
    rig.click(w.Command12);
    QCOMPARE(rig.closeAsks, 1);
    QCOMPARE(readFakeBook(out / "d1.xlsx"), (Names{"X", "Data", "Data (2)"}));
    QCOMPARE(readFakeBook(out / "d2.xlsx"), Names{"X"});
    QCOMPARE(rig.reports.size(), 2);
    QVERIFY(!w.isVisible());
}

void WindowCommandsTest::oneReportAfterFailures()
{
    Rig rig;
    auto& w = *rig.w;
    const QString s = rig.book("s.xlsx", {"One", "Two"});
    TempDir out;
    writeFakeBook(out / "d1.xlsx", {"X"});
    writeFakeBook(out / "d2.xlsx", {"Y"});
    rig.world.failSave.insert((out / "d1.xlsx").string());
    rig.answers = {s, QString::fromStdString(out.path().string())};
    rig.click(w.Command1);
    rig.click(w.Command6);
    rig.click(w.Command13);

    rig.click(w.Command12);

    QVERIFY(rig.messages.isEmpty()); // no box during the job
    const QString why = QString::fromStdString((out / "d1.xlsx").string()) + ": cannot be saved (injected)";
    QCOMPARE(rig.reports, (QStringList{"critical: Copied 2 of 4 sheets; 2 failed.",
                                       "  Copy One to d1.xlsx failure: " + why, "  Copy Two to d1.xlsx failure: " + why}));
    QCOMPARE(readFakeBook(out / "d2.xlsx"), (Names{"Y", "One", "Two"}));
}

void WindowCommandsTest::keyboardDrivesTheLists()
{
    Rig rig;
    auto& w = *rig.w;
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const QString a = rig.book("a.xlsx", {"A1", "A2"});
    TempDir folder;
    writeFakeBook(folder / "b.xlsx", {"B1"});
    writeFakeBook(folder / "c.xlsx", {"C1", "C2"});
    const QString f = QString::fromStdString(folder.path().string());
    rig.answers = {a, f, a, f};
    rig.click(w.Command1);
    rig.click(w.Command5);
    rig.click(w.Command8);
    rig.click(w.Command6);
    const auto key = [](ui::ReportView* view, Qt::Key k) {
        view->setFocus(Qt::TabFocusReason);
        QTest::keyClick(view, k);
    };

    key(w.ListView1, Qt::Key_Up);
    QCOMPARE(texts(rig.ws.sourceBookList), QStringList{"a.xlsx"});
    QCOMPARE(texts(rig.ws.sourceSheetList), (QStringList{"A1", "A2"}));
    key(w.ListView1, Qt::Key_Down);
    QCOMPARE(texts(rig.ws.sourceBookList), (QStringList{"b.xlsx", "c.xlsx"}));
    key(w.ListView2, Qt::Key_Down);
    QCOMPARE(texts(rig.ws.sourceSheetList), (QStringList{"C1", "C2"}));
    key(w.ListView3, Qt::Key_Down);
    key(w.ListView3, Qt::Key_Return);
    QCOMPARE(rig.ws.copySheetList.count(), 1);
    QCOMPARE(rig.ws.copySheetList.row(1).subItem(2), std::string("C2"));
    key(w.ListView5, Qt::Key_Up);
    QCOMPARE(texts(rig.ws.targetBookList), QStringList{"a.xlsx"});
    key(w.ListView5, Qt::Key_Down);
    QCOMPARE(texts(rig.ws.targetBookList), (QStringList{"b.xlsx", "c.xlsx"}));

    // Delete removes what the matching button removes.
    key(w.ListView4, Qt::Key_Delete);
    QCOMPARE(rig.ws.copySheetList.count(), 0);
    key(w.ListView6, Qt::Key_Delete);
    QCOMPARE(texts(rig.ws.targetBookList), QStringList{"c.xlsx"});
    key(w.ListView5, Qt::Key_Delete);
    QCOMPARE(texts(rig.ws.targetEntryList), QStringList{a});
    key(w.ListView1, Qt::Key_Delete);
    QCOMPARE(texts(rig.ws.sourceEntryList), QStringList{a});
    QVERIFY(rig.messages.isEmpty());
}

void WindowCommandsTest::everyControlHasAUniqueAccessibleName()
{
    Rig rig;
    QSet<QString> names;
    int controls = 0;
    for (QWidget* widget : rig.w->findChildren<QWidget*>()) {
        const bool control = (qobject_cast<QAbstractButton*>(widget) && widget->parentWidget() != nullptr &&
                              !qobject_cast<QAbstractScrollArea*>(widget->parentWidget()->parentWidget())) ||
                             qobject_cast<ui::ReportView*>(widget) || qobject_cast<QComboBox*>(widget) ||
                             qobject_cast<QLineEdit*>(widget) || qobject_cast<QProgressBar*>(widget);
        if (!control || !widget->isVisibleTo(rig.w.get()) || qobject_cast<QHeaderView*>(widget))
            continue;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(accessible);
        const QString name = accessible->text(QAccessible::Name);
        QVERIFY2(!name.isEmpty(), qPrintable(widget->objectName() + " " + widget->metaObject()->className()));
        QVERIFY2(!names.contains(name), qPrintable("twice: " + name));
        QVERIFY2(!accessible->text(QAccessible::Description).isEmpty(), qPrintable(name));
        names.insert(name);
        ++controls;
    }
    QCOMPARE(controls, 25); // 16 buttons, 6 lists, the choice, the box and the bar
    QVERIFY(names.contains("Number of copies"));
}

void WindowCommandsTest::restoredListsShowTheHighlightedEntrysWorkbooks()
{
    TempDir app, data;
    writeFakeBook(data / "a.xlsx", {"A1"});
    writeFakeBook(data / "b.xlsx", {"B1"});
    test::writeFile(sourceListFile(app.path()), data.path().string() + "\r\n");
    test::writeFile(targetListFile(app.path()), data.path().string() + "\r\n" + (data / "gone").string() + "\r\n");
    FakeWorld world;
    Workspace ws;
    ws.appDir = app.path();
    ui::MainWindow w(ws, world.factory());
    w.show();
    QTRY_COMPARE(texts(ws.sourceBookList), (QStringList{"a.xlsx", "b.xlsx"}));
    QCOMPARE(texts(ws.sourceSheetList), QStringList{"A1"});
    QCOMPARE(texts(ws.targetBookList), (QStringList{"a.xlsx", "b.xlsx"}));

    // A missing entry lists nothing and keeps its image until the path is there again.
    w.ListView5->setFocus();
    QTest::keyClick(w.ListView5, Qt::Key_Down);
    QCOMPARE(texts(ws.targetBookList), QStringList{});
    QCOMPARE(ws.targetEntryList.row(2).smallIcon, int(MissingPathIcon));
    std::filesystem::create_directory(data / "gone");
    writeFakeBook(data / "gone" / "c.xlsx", {"C1"});
    QTest::keyClick(w.ListView5, Qt::Key_Up);
    QTest::keyClick(w.ListView5, Qt::Key_Down);
    QCOMPARE(texts(ws.targetBookList), QStringList{"c.xlsx"});
    QCOMPARE(ws.targetEntryList.row(2).smallIcon, int(FolderIcon));
}

QTEST_MAIN(WindowCommandsTest)
#include "window_commands_test.moc"

// SPDX-License-Identifier: MIT
#include "state/saved_files.h"
#include "support/temp_dir.h"
#include "ui/main_window.h"
#include "ui/qt_host.h"
#include "ui/report_view.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

using namespace tessaro;
using tessaro::test::readFile;
using tessaro::test::TempDir;
using tessaro::test::writeFile;

namespace {
SpreadsheetAutomationFactory noServers()
{
    return [] { return std::unique_ptr<SpreadsheetAutomation>(); };
}

QStringList headers(ui::ReportView* view)
{
    QStringList out;
    for (int c = 0; c < view->model()->columnCount(); ++c)
        out << view->model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    return out;
}
} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void showsSixListsWithHeadersAndRestoredEntries();
    void closingSavesExactlyTheListsWhoseSettingIsOn_data();
    void closingSavesExactlyTheListsWhoseSettingIsOn();
    void windowHasFixedClientSize();
    void tickingARowChecksItInTheModel();
};

void MainWindowTest::showsSixListsWithHeadersAndRestoredEntries()
{
    TempDir app;
    TempDir data;
    writeFile(data / "a.xlsx", "x");
    const std::string file = (data / "a.xlsx").string();
    writeFile(sourceListFile(app.path()), file + "\r\n" + data.path().string() + "\r\n/nowhere/x.xlsx\r\n");
    writeFile(targetListFile(app.path()), data.path().string() + "\r\n");
    Workspace ws;
    ws.appDir = app.path();
    ui::MainWindow w(ws, noServers());
    QStringList messages;
    w.host().setMessageRunner([&](const QString& text, tessaro::MessageIcon) { messages << text; });
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QCOMPARE(w.windowTitle(), QString("Tessaro"));
    QCOMPARE(headers(w.ListView1), QStringList{"Please Select the Excel File or Folder to Copy"});
    QCOMPARE(headers(w.ListView2), QStringList{"WorkBooks"});
    QCOMPARE(headers(w.ListView3), QStringList{"WorkSheets"});
    QCOMPARE(headers(w.ListView4), (QStringList{"", "", "Sheets be Copied"}));
    QCOMPARE(headers(w.ListView5), QStringList{"Please Select the Destination Excel File or Folder"});
    QCOMPARE(headers(w.ListView6), QStringList{"WorkBooks"});
    QVERIFY(w.ListView4->isColumnHidden(1)); // the CopyRowNumber column has width 0
    QCOMPARE(w.ListView1->header()->sectionSize(0), 4690 / 15 + 1); // 312.7 px, rounded

    QCOMPARE(w.ListView1->model()->rowCount(), 3);
    QCOMPARE(w.ListView1->model()->index(0, 0).data().toString(), QString::fromStdString(file));
    QVERIFY(!w.ListView1->model()->index(0, 0).data(Qt::DecorationRole).isNull());
    QVERIFY(w.ListView1->model()->index(0, 0).data(Qt::CheckStateRole).isNull()); // no check boxes
    QCOMPARE(ws.sourceEntryList.row(1).smallIcon, int(WorkbookFileIcon));
    QCOMPARE(ws.sourceEntryList.row(2).smallIcon, int(FolderIcon));
    QCOMPARE(ws.sourceEntryList.row(3).smallIcon, int(MissingPathIcon));
    QCOMPARE(w.ListView5->model()->rowCount(), 1);
    // The highlighted entries' workbooks are listed, as after a click (no engine here, so
    // the sheets cannot be read and the user is told).
    QTRY_COMPARE(w.ListView2->model()->rowCount(), 1);
    QCOMPARE(w.ListView6->model()->rowCount(), 1);
    QTRY_VERIFY(messages.contains("Open excel file failed!"));

    QCOMPARE(w.Combo1->count(), 3);
    QCOMPARE(w.Combo1->itemText(0), QString("Copy After"));
    QCOMPARE(w.Combo1->itemText(1), QString("Copy Before"));
    QCOMPARE(w.Combo1->itemText(2), QString("Replace Same Name"));
    QCOMPARE(w.Combo1->currentIndex(), 0);
    QCOMPARE(w.Text1->text(), QString("1"));
    QCOMPARE(ws.copyCount, 1);
    QCOMPARE(w.Label4->text(), QString());
}

void MainWindowTest::closingSavesExactlyTheListsWhoseSettingIsOn_data()
{
    QTest::addColumn<bool>("viaExitButton");
    QTest::newRow("close box") << false;
    QTest::newRow("Exit button") << true;
}

void MainWindowTest::closingSavesExactlyTheListsWhoseSettingIsOn()
{
    QFETCH(bool, viaExitButton);
    TempDir app;
    writeFile(sourceListFile(app.path()), "/left/old\r\n");
    writeFile(targetListFile(app.path()), "/right/old\r\n");
    writeFile(settingsFile(app.path()), "1\r\n0\r\n");
    Workspace ws;
    ws.appDir = app.path();
    {
        ui::MainWindow w(ws, noServers());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        ws.sourceEntryList.append("/left/new");
        ws.targetEntryList.append("/right/new");
        if (viaExitButton)
            QTest::mouseClick(w.Command9, Qt::LeftButton);
        else
            QVERIFY(w.close());
        QVERIFY(!w.isVisible());
    }
    QCOMPARE(readFile(sourceListFile(app.path())), std::string("/left/old\r\n/left/new\r\n"));
    QCOMPARE(readFile(targetListFile(app.path())), std::string("/right/old\r\n"));
}

void MainWindowTest::windowHasFixedClientSize()
{
    TempDir app;
    Workspace ws;
    ws.appDir = app.path();
    ui::MainWindow w(ws, noServers());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.centralWidget()->size(), QSize(808, 542));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
}

void MainWindowTest::tickingARowChecksItInTheModel()
{
    TempDir app;
    Workspace ws;
    ws.appDir = app.path();
    ui::MainWindow w(ws, noServers());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const int row = ws.targetBookList.append("book.xlsx");
    ws.targetBookList.setChecked(row, true);
    QTest::mouseClick(w.ListView6->viewport(), Qt::LeftButton, {}, w.ListView6->checkBoxRect(1).center());
    QVERIFY(!ws.targetBookList.row(1).checked);
    QTest::mouseClick(w.ListView6->viewport(), Qt::LeftButton, {}, w.ListView6->checkBoxRect(1).center());
    QVERIFY(ws.targetBookList.row(1).checked);
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"

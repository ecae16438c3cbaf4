// SPDX-License-Identifier: MIT
// The Setting dialog, the About box and the common dialogs.
#include "state/build_info.h"
#include "state/saved_files.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"
#include "ui/about_box.h"
#include "ui/common_dialogs.h"
#include "ui/main_window.h"
#include "ui/qt_host.h"
#include "ui/settings_dialog.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTimer>

using namespace tessaro;
using test::readFile;
using test::TempDir;
using test::writeFile;

namespace {

// Answers every dialog of CCommonDialogs from fields, and records what it was asked.
struct ScriptedRunner : ui::DialogRunner {
    std::optional<QString> file, folder;
    OpenRequest lastOpen;
    QString lastFolderTitle, lastFolderStart;
    QWidget* lastOwner = nullptr;
    std::optional<QString> openFile(QWidget* owner, const OpenRequest& r) override
    {
        lastOwner = owner;
        lastOpen = r;
        return file;
    }
    std::optional<QString> openFolder(QWidget*, const QString& title, const QString& startFolder) override
    {
        lastFolderTitle = title;
        lastFolderStart = startFolder;
        return folder;
    }
};

struct Dialogs {
    ScriptedRunner* runner;
    ui::CCommonDialogs d;
    Dialogs() : runner(new ScriptedRunner), d(std::unique_ptr<ui::DialogRunner>(runner)) {}
};

// Clicks a button of the modal dialog that will open next.
void answerNextModal(const std::function<void(QWidget*)>& answer)
{
    QTimer::singleShot(0, [answer] {
        QWidget* modal = QApplication::activeModalWidget();
        QVERIFY(modal);
        answer(modal);
    });
}

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void settingsOpenFromTheFileAndOkWritesTwoLines();
    void settingsCancelAndCloseBoxLeaveTheFileByteForByte();
    void settingsGreyedStateAndClicks();
    void settingsRunModalFromTheMenu();
    void aboutShowsItsTextsAndLinksOpenWhileItStays();
    void aboutIsCreatedAfreshEachTime();
    void showOpenFields();
    void showOpenCancelledChangesNothing();
    void showFolderFields();
    void gettersCutAtTheFirstNul();
    void showBeforeInitIsRefused();
    void realFileDialogListsWorkbooks();
};

void DialogsTest::settingsOpenFromTheFileAndOkWritesTwoLines()
{
    TempDir app;
    const auto file = settingsFile(app.path());
    writeFile(file, "");
    {
        ui::SettingsDialog s(app.path());
        QCOMPARE(s.windowTitle(), QString("Setting"));
        QCOMPARE(s.Check1->state(), 0);
        QCOMPARE(s.Check2->state(), 0);
        QTest::mouseClick(s.OKButton, Qt::LeftButton);
        QCOMPARE(s.result(), int(QDialog::Accepted));
    }
    QCOMPARE(readFile(file), std::string("0\r\n0\r\n"));

    writeFile(file, "01\r\n");
    {
        ui::SettingsDialog s(app.path());
        QCOMPARE(s.Check1->state(), 1); // "01" reads as 1
        QCOMPARE(s.Check2->state(), 0); // one line: the second box stays unchecked
        QTest::mouseClick(s.Check2, Qt::LeftButton);
        QTest::mouseClick(s.OKButton, Qt::LeftButton);
    }
    QCOMPARE(readFile(file), std::string("1\r\n1\r\n"));

    writeFile(file, "0\r\n1\r\nextra\r\nmore\r\n");
    {
        ui::SettingsDialog s(app.path());
        QTest::mouseClick(s.Check1, Qt::LeftButton);
        QTest::mouseClick(s.OKButton, Qt::LeftButton);
    }
    QCOMPARE(readFile(file), std::string("1\r\n1\r\n")); // exactly two lines

    // What references to other sheets read: its own file, beside the two lines.
    writeFile(linksFile(app.path()), "values\r\n");
    {
        ui::SettingsDialog s(app.path());
        QCOMPARE(s.LinksLabel->text(), QString("References to other sheets:"));
        QCOMPARE(s.LinksCombo->currentText(), QString("Keep values only"));
        s.LinksCombo->setCurrentIndex(1);
        QCOMPARE(s.LinksCombo->currentText(), QString("Read the destination's sheet of the same name"));
        QTest::mouseClick(s.OKButton, Qt::LeftButton);
    }
    QCOMPARE(readFile(linksFile(app.path())), std::string("destination\r\n"));
    QCOMPARE(readFile(file), std::string("1\r\n1\r\n"));

    std::filesystem::remove(file);
    {
        ui::SettingsDialog s(app.path()); // a missing file: both off
        QCOMPARE(s.Check1->state(), 0);
        QTest::mouseClick(s.OKButton, Qt::LeftButton);
    }
    QCOMPARE(readFile(file), std::string("0\r\n0\r\n"));
}

void DialogsTest::settingsCancelAndCloseBoxLeaveTheFileByteForByte()
{
    TempDir app;
    const auto file = settingsFile(app.path());
    const std::string original = "0\r\n 1\r\nthird";
    writeFile(file, original);
    {
        ui::SettingsDialog s(app.path());
        QCOMPARE(s.Check2->state(), 1);
        QTest::mouseClick(s.Check1, Qt::LeftButton);
        QTest::mouseClick(s.CancelButton, Qt::LeftButton);
        QCOMPARE(s.result(), int(QDialog::Rejected));
    }
    QCOMPARE(readFile(file), original);
    {
        ui::SettingsDialog s(app.path());
        s.show();
        QTest::mouseClick(s.Check1, Qt::LeftButton);
        QVERIFY(s.close()); // the close box
    }
    QCOMPARE(readFile(file), original);
}

void DialogsTest::settingsGreyedStateAndClicks()
{
    TempDir app;
    writeFile(settingsFile(app.path()), "2\r\n9\r\n");
    ui::SettingsDialog s(app.path());
    QCOMPARE(s.Check1->checkState(), Qt::PartiallyChecked);
    QCOMPARE(s.Check2->state(), 0); // not a state the box has
    QTest::mouseClick(s.Check1, Qt::LeftButton);
    QCOMPARE(s.Check1->state(), 1);
    QTest::mouseClick(s.Check1, Qt::LeftButton);
    QCOMPARE(s.Check1->state(), 0);
    QTest::mouseClick(s.Check1, Qt::LeftButton);
    QCOMPARE(s.Check1->state(), 1); // never back to greyed
}

void DialogsTest::settingsRunModalFromTheMenu()
{
    TempDir app;
    Workspace ws;
    ws.appDir = app.path();
    ui::MainWindow w(ws, SpreadsheetAutomationFactory());
    w.show();
    answerNextModal([](QWidget* modal) {
        auto* s = qobject_cast<ui::SettingsDialog*>(modal);
        QVERIFY(s);
        QTest::mouseClick(s->Check1, Qt::LeftButton);
        QTest::mouseClick(s->OKButton, Qt::LeftButton);
    });
    w.Settings->trigger();
    QCOMPARE(readFile(settingsFile(app.path())), std::string("1\r\n0\r\n"));

    // The setting is read at shut-down: the left list is now saved when the window closes.
    ws.sourceEntryList.append("/kept");
    w.close();
    QCOMPARE(readFile(sourceListFile(app.path())), std::string("/kept\r\n"));
}

void DialogsTest::aboutShowsItsTextsAndLinksOpenWhileItStays()
{
    test::FakeHost host;
    ui::AboutBox box(host);
    box.show();
    QCOMPARE(box.windowTitle(), QString("About us"));
    QCOMPARE(box.Label1->text(), QString("Tessaro"));
    QCOMPARE(box.Label4->text(), QString("Version:") + QString::fromLatin1(kVersion));
    QCOMPARE(box.Label3->text(), QString("Technical Support:"));
    QCOMPARE(box.Label7->text(), QString(" Website:"));
    QCOMPARE(box.Label2->text(), QString("support@orvandel.example"));
    QCOMPARE(box.Label8->text(), QString("www.orvandel.example"));
    QVERIFY(box.Label6->text().contains("Orvandel"));
    QVERIFY(box.Label6->text().contains("2026"));
    QVERIFY(!box.Label5->text().isEmpty());
    QVERIFY(box.Frame1->title().isEmpty());
    QCOMPARE(box.Label2->font().pointSizeF(), 9.6);

    QTest::mouseClick(box.Label2, Qt::LeftButton);
    QTest::mouseClick(box.Label8, Qt::LeftButton);
    QCOMPARE(host.calls, (std::vector<std::string>{"open(mailto:support@orvandel.example)",
                                                    "open(http://www.orvandel.example)"}));
    QVERIFY(box.isVisible());
    QTest::mouseClick(box.OKButton, Qt::LeftButton);
    QVERIFY(!box.isVisible());
}

void DialogsTest::aboutIsCreatedAfreshEachTime()
{
    TempDir app;
    Workspace ws;
    ws.appDir = app.path();
    ui::MainWindow w(ws, SpreadsheetAutomationFactory());
    w.show();
    QList<bool> sawMark;
    for (int i = 0; i < 2; ++i) {
        answerNextModal([&](QWidget* modal) {
            auto* box = qobject_cast<ui::AboutBox*>(modal);
            QVERIFY(box);
            sawMark << box->property("marked").toBool();
            box->setProperty("marked", true);
            QTest::mouseClick(box->OKButton, Qt::LeftButton);
        });
        w.About->trigger();
    }
    QCOMPARE(sawMark, (QList<bool>{false, false}));
}

void DialogsTest::showOpenFields()
{
    Dialogs x;
    QWidget owner;
    x.d.Init(&owner);
    x.d.setTitle("Select Excel file");
    x.runner->file = "/data/q3/Report.xlsx";
    QVERIFY(x.d.ShowOpen());
    QCOMPARE(x.runner->lastOpen.title, QString("Select Excel file"));
    QCOMPARE(x.runner->lastOpen.filterDescription, QString("Excel Files(*.xls;*.xlsx;*.xlsm;*.xlsb;*.ods)"));
    QCOMPARE(x.runner->lastOpen.pattern, QString("*.xl* *.ods"));
    QCOMPARE(x.runner->lastOwner, &owner);
    QCOMPARE(x.d.FileName(), QString("/data/q3/Report.xlsx"));
    QCOMPARE(x.d.FileTitle(), QString("Report.xlsx"));
    QCOMPARE(x.d.Path(), QString("/data/q3")); // no trailing separator
    x.runner->file = "/top.xlsx";
    QVERIFY(x.d.ShowOpen());
    QCOMPARE(x.runner->lastOpen.initialFolder, QString("/data/q3")); // opens where the last one chose
    QCOMPARE(x.d.Path(), QString()); // a file in the root folder
}

void DialogsTest::showOpenCancelledChangesNothing()
{
    Dialogs x;
    x.d.Init(nullptr);
    QVERIFY(!x.d.ShowOpen());
    QVERIFY(x.d.FileName().isEmpty() && x.d.FileTitle().isEmpty() && x.d.Path().isEmpty());
    x.d.setFileName(QString(300, u'x'));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, x.d.ShowOpen());
}

void DialogsTest::showFolderFields()
{
    Dialogs x;
    x.d.Init(nullptr);
    x.d.setFileName("/old/file.xlsx");
    x.d.setFileTitle("file.xlsx");
    x.d.setTitle("Add all source excel in folder");
    x.d.setPath("/data");
    x.runner->folder = "/data/in";
    QVERIFY(x.d.ShowFolder());
    QCOMPARE(x.runner->lastFolderTitle, QString("Add all source excel in folder"));
    QCOMPARE(x.runner->lastFolderStart, QString("/data"));
    QCOMPARE(x.d.Path(), QString("/data/in"));
    QVERIFY(x.d.FileName().isEmpty());
    QVERIFY(x.d.FileTitle().isEmpty());
    x.runner->folder.reset();
    QVERIFY(!x.d.ShowFolder());
    QCOMPARE(x.d.Path(), QString("/data/in"));
}

void DialogsTest::gettersCutAtTheFirstNul()
{
    ui::CCommonDialogs d(std::make_unique<ScriptedRunner>());
    const QString withNul = QString("abc") + QChar(u'\0') + "def";
    d.setFileName(withNul);
    d.setFileTitle(withNul);
    d.setPath(withNul);
    d.setTitle(withNul);
    d.setDefExt(withNul);
    QCOMPARE(d.FileName(), QString("abc"));
    QCOMPARE(d.FileTitle(), QString("abc"));
    QCOMPARE(d.Path(), QString("abc"));
    QCOMPARE(d.Title(), QString("abc"));
    QCOMPARE(d.DefExt(), withNul); // comes back unchanged
}

void DialogsTest::showBeforeInitIsRefused()
{
    ui::CCommonDialogs d(std::make_unique<ScriptedRunner>());
    QVERIFY_THROWS_EXCEPTION(std::logic_error, d.ShowOpen());
    QVERIFY_THROWS_EXCEPTION(std::logic_error, d.ShowFolder());
}

void DialogsTest::realFileDialogListsWorkbooks()
{
    // The real chooser, as the program opens it: it must list workbooks (any letter case
    // of .xl* and .ods) and nothing else.
    TempDir dir;
    for (const char* name : {"a.xlsx", "B.XLSM", "c.xls", "d.xlsb", "f.ODS", "notes.txt", "e.csv"})
        writeFile(dir / name, "x");
    QStringList listed;
    QString description;
    answerNextModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        QVERIFY(dialog);
        description = dialog->selectedNameFilter();
        dialog->setDirectory(QString::fromStdString(dir.path().string()));
        auto* view = dialog->findChild<QListView*>("listView");
        QVERIFY(view);
        QTRY_VERIFY(view->model()->rowCount(view->rootIndex()) > 0);
        for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
            listed << view->model()->index(r, 0, view->rootIndex()).data().toString();
        dialog->reject();
    });
    ui::CCommonDialogs d;
    d.Init(nullptr);
    d.setTitle("Select Excel file");
    QVERIFY(!d.ShowOpen());
    listed.sort(Qt::CaseInsensitive);
    QCOMPARE(listed, (QStringList{"a.xlsx", "B.XLSM", "c.xls", "d.xlsb", "f.ODS"}));
    QVERIFY(description.startsWith("Excel Files(*.xls;*.xlsx;*.xlsm;*.xlsb;*.ods)"));
}

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"

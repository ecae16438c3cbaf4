// SPDX-License-Identifier: MIT
// A whole copy done through the window, with the native engine, changes the destination
// workbooks exactly as tessaro-cli does.
#include "engine/xlsx/native_engine.h"
#include "support/temp_dir.h"
#include "ui/main_window.h"
#include "ui/qt_host.h"
#include "ui/report_view.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <QToolButton>
#include <deque>

using namespace tessaro;

namespace {

QByteArray runTool(const QStringList& args, const QString& cwd = {})
{
    QProcess p;
    if (!cwd.isEmpty())
        p.setWorkingDirectory(cwd);
    p.start(args.first(), args.mid(1));
    if (!p.waitForFinished(120000) || p.exitCode() != 0)
        qWarning() << args << p.readAllStandardError();
    return p.readAllStandardOutput();
}

QString tool() { return QStringLiteral(TESSARO_TEST_SOURCE_DIR "/workbook_tool.py"); }

QByteArray dump(const QString& folder)
{
    return runTool({"/usr/bin/python3", tool(), "dump", folder + "/d1.xlsx", folder + "/d2.xlsx"});
}

} // namespace

class WindowCopyTest : public QObject {
    Q_OBJECT
private slots:
    void windowCopyEqualsCliCopy();
};

void WindowCopyTest::windowCopyEqualsCliCopy()
{
    test::TempDir viaWindow, viaCli, app;
    for (const auto* dir : {&viaWindow, &viaCli})
        runTool({"/usr/bin/python3", tool(), "make", QString::fromStdString(dir->path().string())});
    const QString w = QString::fromStdString(viaWindow.path().string());
    const QString c = QString::fromStdString(viaCli.path().string());
    const QByteArray before = dump(w + "/out");
    QVERIFY(!before.isEmpty());

    // The window: the source workbook, both its sheets, the destination folder, two copies
    // before the first sheets.
    Workspace ws;
    ws.appDir = app.path();
    ui::MainWindow window(ws, xlsx::nativeAutomationFactory());
    QStringList messages;
    window.host().setMessageRunner([&](const QString& text, MessageIcon) { messages << text; });
    std::deque<QString> answers{w + "/source.xlsx", w + "/out"};
    window.host().setChooserRunner([&](ui::QtHost::Chooser, const QString&) -> std::optional<QString> {
        const QString a = answers.front();
        answers.pop_front();
        return a;
    });
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::mouseClick(window.Command1, Qt::LeftButton);
    QCOMPARE(ws.sourceSheetList.count(), 2);
    QTest::mouseClick(window.Command13, Qt::LeftButton); // Add All
    QTest::mouseClick(window.Command6, Qt::LeftButton);  // destination folder
    QCOMPARE(ws.targetBookList.count(), 2);
    window.Combo1->setCurrentIndex(1); // Copy Before
    window.Text1->setFocus();
    window.Text1->selectAll();
    QTest::keyClicks(window.Text1, "2");
    QTest::mouseClick(window.Command12, Qt::LeftButton);
    QCOMPARE(messages, QStringList{"Copy Complete!"});

    // tessaro-cli on an identical set of files.
    QProcess cli;
    cli.setProcessEnvironment([&] {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("TESSARO_APP_DIR", QString::fromStdString(app.path().string()));
        return env;
    }());
    cli.start(QStringLiteral(TESSARO_CLI_PATH), {"copy", "--sheet", c + "/source.xlsx:Data", "--sheet",
                                                 c + "/source.xlsx:Notes", "--dest", c + "/out", "--before",
                                                 "--count", "2"});
    QVERIFY(cli.waitForFinished(120000));
    QCOMPARE(cli.exitCode(), 0);

    const QByteArray windowResult = dump(w + "/out");
    QVERIFY(windowResult != before);
    QCOMPARE(windowResult, dump(c + "/out"));
    QVERIFY(windowResult.contains(R"x("sheets": ["Data", "Data (2)", "Notes", "Notes (2)", "One"])x"));

    // Edit > Undo Last Copy takes back the last job of this program's folder, the run just
    // made, and leaves the window's (the one before it) as it is.
    QStringList summaries;
    window.host().setReportRunner([&](const QString& summary, const QStringList&, MessageIcon) { summaries << summary; });
    window.UndoLast->trigger();
    QCOMPARE(summaries, QStringList{"Restored 2 of 2 destinations of the last copy job."});
    QCOMPARE(dump(c + "/out"), before);
    QCOMPARE(dump(w + "/out"), windowResult);
    window.UndoLast->trigger();
    QCOMPARE(messages.last(), QStringLiteral("Nothing to undo."));
}

QTEST_MAIN(WindowCopyTest)
#include "window_copy_test.moc"

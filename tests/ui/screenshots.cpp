// SPDX-License-Identifier: MIT
// Renders the windows to PNG files, for the documentation and for looking at the layout:
//   ui_screenshots OUTDIR [SOURCE_FOLDER DEST_FOLDER [FAILING_FOLDER]]
// With the two folders the main window is filled as a person would fill it: the source
// folder and one of its workbooks, its sheets added to the copy list, and the destination
// folder with its workbooks. With the third, one sheet is then really copied into the
// workbooks of that folder, some of which cannot take it, and the report at the end is
// rendered. Run it under a virtual display (scripts/screenshots.sh).
#include "lists/entry_commands.h"
#include "lists/sheet_selection.h"
#include "lists/workspace.h"
#include "engine/xlsx/native_engine.h"
#include "support/temp_dir.h"
#include "ui/about_box.h"
#include "ui/look.h"
#include "ui/main_window.h"
#include "ui/qt_host.h"
#include "ui/report_box.h"
#include "copy/copy_job.h"
#include "ui/settings_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <cstdio>

using namespace tessaro;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ui::applyApplicationLook(app);
    if (argc != 2 && argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: ui_screenshots OUTDIR [SOURCE_FOLDER DEST_FOLDER [FAILING_FOLDER]]\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    test::TempDir appDir;
    Workspace ws;
    ws.appDir = appDir.path();
    const auto servers = xlsx::nativeAutomationFactory();
    ui::MainWindow window(ws, servers);
    window.host().setMessageRunner([](const QString& text, MessageIcon) {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    });

    if (argc >= 4) {
        Host& host = window.host();
        AddSourceEntry(ws, host, servers, argv[2], /*asFolder=*/true);
        if (ws.sourceBookList.count() > 1) {
            ws.sourceBookList.select(2);
            LoadSourceSheets(ws, host, servers);
        }
        AddAllSheets(ws, host);
        ws.sourceSheetList.select(1);
        AddTargetEntry(ws, host, argv[3], /*asFolder=*/true);
        if (ws.targetBookList.count() > 2)
            ws.targetBookList.setChecked(3, false);
        ws.copySheetList.select(1);
        CopyRowClick(ws, host, 1);
        window.Combo1->setCurrentIndex(1);
        window.Text1->setText(QStringLiteral("2"));
        window.ProgressBar1->setMaximum(10);
        window.ProgressBar1->setValue(4);
    }
    window.show();

    QTimer::singleShot(1200, [&] {
        window.grab().save(out.filePath(QStringLiteral("tessaro-window.png")));
        ui::SettingsDialog settings(ws.appDir, &window);
        settings.show();
        QApplication::processEvents();
        settings.grab().save(out.filePath(QStringLiteral("settings.png")));
        ui::AboutBox about(window.host(), &window);
        about.show();
        QApplication::processEvents();
        about.grab().save(out.filePath(QStringLiteral("about.png")));
        about.hide();
        if (argc == 5) {
            // One sheet, once, into every workbook of the failing folder.
            AddTargetEntry(ws, window.host(), argv[4], /*asFolder=*/true);
            for (int r = 2; r <= ws.copySheetList.count(); ++r)
                ws.copySheetList.setChecked(r, false);
            ws.copyCount = 1;
            ws.copyPosition = kCopyAfter;
            window.host().setReportRunner([&](const QString& summary, const QStringList& details, MessageIcon) {
                ui::ReportBox box(summary, details, ui::ReportBox::Icon::Critical, &window);
                box.show();
                QApplication::processEvents();
                box.grab().save(out.filePath(QStringLiteral("report-two-failures.png")));
            });
            CopyJob(ws, window.host(), servers);
        }
        QApplication::quit();
    });
    return app.exec();
}

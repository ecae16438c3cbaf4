// SPDX-License-Identifier: MIT
// The window: Tessaro's main program.
#include "lists/workspace.h"
#include "engine/router/workbook_automation.h"
#include "state/app_dir.h"
#include "state/build_info.h"
#include "ui/look.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    // Answered before Qt starts, so that it works without a display.
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
        std::printf("tessaro %s\n", tessaro::kVersion);
        return 0;
    }
    QApplication app(argc, argv);
    tessaro::ui::applyApplicationLook(app);

    tessaro::Workspace ws;
    ws.appDir = tessaro::resolveAppDir();
    const auto appDir = ws.appDir;
    tessaro::ui::MainWindow window(ws, tessaro::ui::MainWindow::ServerFactoryMaker([appDir] {
                                       return tessaro::makeWorkbookAutomationFactory(appDir);
                                   }));
    window.show();

    // `--screenshot FILE` saves a picture of the window once it has painted, then quits:
    // for the documentation and for checking the layout under a virtual display.
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0) {
            const QString file = QString::fromLocal8Bit(argv[i + 1]);
            QTimer::singleShot(1500, &window, [&window, file] {
                window.grab().save(file);
                window.close();
            });
        }
    }
    return app.exec();
}

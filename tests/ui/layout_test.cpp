// SPDX-License-Identifier: MIT
// The windows at 96 dpi with the application's own look: every control where the design
// puts it, and no caption clipped.
#include "support/fake_host.h"
#include "support/temp_dir.h"
#include "ui/about_box.h"
#include "ui/look.h"
#include "ui/main_window.h"
#include "ui/report_view.h"
#include "ui/settings_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace tessaro;

namespace {

// Every captioned control must be large enough for its caption (and picture).
void verifyNothingClipped(QWidget* root)
{
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (label->text().isEmpty() || label->wordWrap())
            continue;
        const QSize need = label->fontMetrics().size(Qt::TextSingleLine, label->text());
        QVERIFY2(need.width() <= label->width() && need.height() <= label->height() + 2,
                 qPrintable(QString("label \"%1\" needs %2x%3, has %4x%5")
                                .arg(label->text())
                                .arg(need.width())
                                .arg(need.height())
                                .arg(label->width())
                                .arg(label->height())));
    }
    for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
        if (button->text().isEmpty())
            continue;
        QSize need = button->sizeHint();
        if (auto* tool = qobject_cast<QToolButton*>(button)) {
            // A picture button's hint pads generously; what must fit is the caption's width
            // and the picture above the caption.
            const QSize text = tool->fontMetrics().size(Qt::TextSingleLine, tool->text());
            const bool under = tool->toolButtonStyle() == Qt::ToolButtonTextUnderIcon;
            need = QSize(text.width() + 6, (under ? tool->iconSize().height() + 2 : 0) + text.height() + 4);
        }
        QVERIFY2(need.width() <= button->width() && need.height() <= button->height() + 2,
                 qPrintable(QString("button \"%1\" needs %2x%3, has %4x%5")
                                .arg(button->text())
                                .arg(need.width())
                                .arg(need.height())
                                .arg(button->width())
                                .arg(button->height())));
    }
}

} // namespace

class LayoutTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { ui::applyApplicationLook(*qApp); }
    void mainWindowControlsAtTheirPlaces();
    void mainWindowNothingClipped();
    void dialogsNothingClipped();
};

void LayoutTest::mainWindowControlsAtTheirPlaces()
{
    test::TempDir app;
    Workspace ws;
    ws.appDir = app.path();
    ui::MainWindow w(ws, SpreadsheetAutomationFactory());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // A sample of the design's places, in pixels at 15 twips each.
    QCOMPARE(w.Command1->geometry(), QRect(8, 0, 81, 65));
    QCOMPARE(w.Command9->geometry(), QRect(704, 0, 65, 65));
    QCOMPARE(w.Frame1->geometry(), QRect(8, 72, 353, 433));
    QCOMPARE(w.ListView1->geometry(), QRect(8, 16, 337, 177));
    QCOMPARE(w.Frame2->geometry(), QRect(416, 72, 385, 433));
    QCOMPARE(w.ListView6->geometry(), QRect(208, 192, 169, 225));
    QCOMPARE(w.Command12->geometry(), QRect(152, 264, 53, 73));
    QCOMPARE(w.ProgressBar1->geometry(), QRect(8, 520, 793, 17));
    QCOMPARE(w.Label4->geometry(), QRect(8, 504, 329, 17));
    QCOMPARE(w.Command3->parentWidget(), w.centralWidget()); // over the frames, not in them
    QCOMPARE(w.Command13->parentWidget(), w.centralWidget());
    QCOMPARE(w.Combo1->parentWidget(), static_cast<QWidget*>(w.Frame2));
    QCOMPARE(w.Command1->font().family(), QString("Arial"));
    QCOMPARE(w.Command1->font().pointSizeF(), 10.2);
    QCOMPARE(w.Label3->font().pointSize(), 8);
    QCOMPARE(w.Label3->fontInfo().family(), QString("Liberation Sans"));
}

void LayoutTest::mainWindowNothingClipped()
{
    test::TempDir app;
    Workspace ws;
    ws.appDir = app.path();
    ui::MainWindow w(ws, SpreadsheetAutomationFactory());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    verifyNothingClipped(&w);
}

void LayoutTest::dialogsNothingClipped()
{
    test::TempDir app;
    ui::SettingsDialog settings(app.path());
    settings.show();
    verifyNothingClipped(&settings);
    test::FakeHost host;
    ui::AboutBox about(host);
    about.show();
    verifyNothingClipped(&about);
}

QTEST_MAIN(LayoutTest)
#include "layout_test.moc"

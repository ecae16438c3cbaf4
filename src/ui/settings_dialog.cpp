// SPDX-License-Identifier: MIT
#include "ui/settings_dialog.h"

#include "state/saved_files.h"
#include "ui/icons.h"
#include "ui/twips.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <system_error>

namespace tessaro::ui {

void SettingCheckBox::setState(int state)
{
    if (state == 2) {
        setTristate(true);
        setCheckState(Qt::PartiallyChecked);
    } else {
        setTristate(false);
        setCheckState(state == 1 ? Qt::Checked : Qt::Unchecked);
    }
}

int SettingCheckBox::state() const
{
    switch (checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    case Qt::Unchecked:
        break;
    }
    return 0;
}

void SettingCheckBox::nextCheckState()
{
    const bool check = checkState() != Qt::Checked;
    setTristate(false);
    setCheckState(check ? Qt::Checked : Qt::Unchecked);
}

SettingsDialog::SettingsDialog(std::filesystem::path appDir, QWidget* parent)
    : QDialog(parent), appDir_(std::move(appDir))
{
    setObjectName(QStringLiteral("Setting"));
    setWindowTitle(QStringLiteral("Setting"));
    setWindowIcon(pictureIcon(Picture::AppIcon));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::CustomizeWindowHint);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFixedSize(twips(4008), twips(2508));
    move(twips(2760), twips(3600));

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setGeometry(twipsRect(480, 1980, 1215, 375));
    CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    CancelButton->setGeometry(twipsRect(2280, 1980, 1215, 375));
    Check1 = new SettingCheckBox(QStringLiteral("Automatically save the current list on the left"), this);
    Check1->setGeometry(twipsRect(120, 240, 3730, 370));
    Check2 = new SettingCheckBox(QStringLiteral("Automatically save the current list on the right"), this);
    Check2->setGeometry(twipsRect(120, 720, 3730, 370));
    LinksLabel = new QLabel(QStringLiteral("References to other sheets:"), this);
    LinksLabel->setGeometry(twipsRect(120, 1140, 3730, 300));
    LinksCombo = new QComboBox(this);
    LinksCombo->addItems({QStringLiteral("Link to the source workbook"),
                          QStringLiteral("Read the destination's sheet of the same name"),
                          QStringLiteral("Keep values only")});
    LinksCombo->setGeometry(twipsRect(120, 1440, 3730, 375));
    LinksLabel->setBuddy(LinksCombo);
    QWidget::setTabOrder(OKButton, CancelButton);
    QWidget::setTabOrder(CancelButton, Check1);
    QWidget::setTabOrder(Check1, Check2);
    QWidget::setTabOrder(Check2, LinksCombo);
    OKButton->setDefault(true);

    // Opening: both boxes start unchecked and take the state of their line when it is there.
    const SaveSettings settings = ReadSaveSettings(settingsFile(appDir_));
    Check1->setState(checkStateOfSettingsLine(settings.line1));
    Check2->setState(checkStateOfSettingsLine(settings.line2));
    LinksCombo->setCurrentIndex(static_cast<int>(ReadLinksChoice(linksFile(appDir_))));

    connect(OKButton, &QPushButton::clicked, this, &SettingsDialog::writeAndClose);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void SettingsDialog::writeAndClose()
{
    try {
        WriteSaveSettings(settingsFile(appDir_), static_cast<std::int16_t>(Check1->state()),
                          static_cast<std::int16_t>(Check2->state()));
        WriteLinksChoice(linksFile(appDir_), static_cast<SheetLinks>(LinksCombo->currentIndex()));
    } catch (const std::system_error& e) {
        // The user must not believe the choice was kept when it was not.
        QMessageBox::critical(this, QApplication::applicationDisplayName(),
                              QStringLiteral("The settings were not saved.\n%1").arg(QString::fromLocal8Bit(e.what())));
        return;
    }
    accept();
}

} // namespace tessaro::ui

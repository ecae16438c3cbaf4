// SPDX-License-Identifier: MIT
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <filesystem>

class QComboBox;
class QLabel;
class QPushButton;

namespace tessaro::ui {

// A check box whose click checks an unchecked (or greyed) box and unchecks a checked one;
// the greyed state is only ever set by the program.
class SettingCheckBox : public QCheckBox {
    Q_OBJECT
public:
    using QCheckBox::QCheckBox;
    // 0 unchecked, 1 checked, 2 greyed.
    void setState(int state);
    int state() const;

protected:
    void nextCheckState() override;
};

// The Setting dialog: whether shut-down writes each entry list back, and what copies'
// references to other sheets read. It reads its files every time it opens and writes them
// only on OK.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit SettingsDialog(std::filesystem::path appDir, QWidget* parent = nullptr);

    SettingCheckBox* Check1 = nullptr;
    SettingCheckBox* Check2 = nullptr;
    QLabel* LinksLabel = nullptr;
    // Items in the order of SheetLinks: External, Destination, Values.
    QComboBox* LinksCombo = nullptr;
    QPushButton* OKButton = nullptr;
    QPushButton* CancelButton = nullptr;

private:
    void writeAndClose();

    std::filesystem::path appDir_;
};

} // namespace tessaro::ui

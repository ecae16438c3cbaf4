// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QLabel>

class QGroupBox;
class QPushButton;

namespace tessaro {
class Host;
}

namespace tessaro::ui {

inline constexpr const char* kSupportAddress = "support@orvandel.example";
inline constexpr const char* kHomePage = "www.orvandel.example";

// The address the "HomePage" entry and the web link open.
QString homePageUrl();

// A label that behaves as a link: drawn in the highlight colour, with its own pointer,
// and emits clicked().
class LinkLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// The About box (Dialog1): product, version, support and web links, the maker's notice.
class AboutBox : public QDialog {
    Q_OBJECT
public:
    AboutBox(Host& host, QWidget* parent = nullptr);

    QPushButton* OKButton = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* Label3 = nullptr;
    LinkLabel* Label2 = nullptr;
    QLabel* Label7 = nullptr;
    LinkLabel* Label8 = nullptr;
    QLabel* Label6 = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace tessaro::ui

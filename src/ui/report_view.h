// SPDX-License-Identifier: MIT
#pragma once

#include "lists/list_model.h"

#include <QAbstractTableModel>
#include <QString>
#include <QTreeView>
#include <vector>

namespace tessaro::ui {

struct ColumnSpec {
    QString header;
    int widthTwips;
};

// Shows a ListModel to Qt: column 0 is the row text, column k its sub-item k. The model is
// the truth; ticking a row's box in the view sets the row's checked flag in the model.
class ListTableModel : public QAbstractTableModel, private ListObserver {
    Q_OBJECT
public:
    ListTableModel(ListModel& list, std::vector<ColumnSpec> columns, bool checkBoxes, bool smallIcons,
                   QObject* parent = nullptr);
    ~ListTableModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    ListModel& list() { return list_; }
    const std::vector<ColumnSpec>& columns() const { return columns_; }

signals:
    void selectionFollowed(int position);
    void scrollFollowed(int position);

private:
    void rowsAboutToBeInserted(int first, int last) override;
    void rowsInserted(int first, int last) override;
    void rowsAboutToBeRemoved(int first, int last) override;
    void rowsRemoved(int first, int last) override;
    void rowChanged(int position) override;
    void selectionChanged(int position) override;
    void scrollRequested(int position) override;

    ListModel& list_;
    std::vector<ColumnSpec> columns_;
    bool checkBoxes_;
    bool smallIcons_;
};

// A list in report view: rows under column headers, single selection kept in step with
// the model, no in-place editing. Emits the row's 1-based position on clicks; moving the
// highlight with the keyboard counts as a click on the new row, so the keyboard alone can
// drive every list. Enter and Delete on a highlighted row are signalled for the window to
// bind. A frame in the highlight colour shows which list has the focus.
class ReportView : public QTreeView {
    Q_OBJECT
public:
    ReportView(ListModel& list, std::vector<ColumnSpec> columns, bool checkBoxes, bool smallIcons,
               QWidget* parent = nullptr);

    // The visible rectangle of a row's check box, for tests that tick it as a user would.
    QRect checkBoxRect(int position) const;

    // Lets files and folders be dropped from a file manager; they arrive as pathsDropped.
    void acceptPathDrops();

signals:
    void rowClicked(int position);
    void rowDoubleClicked(int position);
    void enterPressed(int position);
    void deletePressed(int position);
    void pathsDropped(const QStringList& localPaths);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void followModelSelection(int position);

    ListTableModel* model_;
    bool syncing_ = false;
};

} // namespace tessaro::ui

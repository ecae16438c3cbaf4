// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

namespace tessaro {

// Small images of the two entry lists.
enum SmallIcon : int {
    NoIcon = 0,
    WorkbookFileIcon = 1,
    FolderIcon = 2,
    MissingPathIcon = 3,
};

// One row of any of the six lists.
struct ListRow {
    std::string text;                  // the first column
    std::vector<std::string> subItems; // sub-item n is subItems[n - 1]
    bool checked = false;
    int smallIcon = NoIcon;

    // Sub-item n (from 1); empty text when the row has none.
    const std::string& subItem(int n) const;
};

// Told of every change, so that a view can follow the model. Positions count from 1.
class ListObserver {
public:
    virtual ~ListObserver() = default;
    virtual void rowsAboutToBeInserted(int /*first*/, int /*last*/) {}
    virtual void rowsInserted(int first, int last) = 0;
    virtual void rowsAboutToBeRemoved(int /*first*/, int /*last*/) {}
    virtual void rowsRemoved(int first, int last) = 0;
    virtual void rowChanged(int position) = 0;
    virtual void selectionChanged(int position) = 0; // 0: none
    virtual void scrollRequested(int position) = 0;
};

// An ordered list of rows, addressed by 1-based position or as the selected row. No keys,
// no sorting, duplicates allowed. While the list has rows one of them is selected: the
// first row when an empty list gains rows, and the row that takes the place of a removed
// selected row.
class ListModel {
public:
    int count() const { return static_cast<int>(rows_.size()); }
    bool empty() const { return rows_.empty(); }

    // The row at a position; throws std::out_of_range outside 1..count.
    const ListRow& row(int position) const;

    // 0 when the list is empty.
    int selectedPosition() const { return selected_; }
    // The selected row's text, or empty text when there is none.
    std::string selectedText() const;
    void select(int position);

    // Appends a row and returns its position.
    int append(std::string text);
    // Inserts a row so that it stands at `position` (1..count+1).
    void insert(int position, std::string text);
    void remove(int position);
    void clear();

    void setText(int position, std::string text);
    void setChecked(int position, bool checked);
    void setSubItem(int position, int n, std::string text);
    void setSmallIcon(int position, int icon);

    // Asks the view to bring a row into sight.
    void scrollTo(int position);

    void setObserver(ListObserver* observer) { observer_ = observer; }

private:
    ListRow& at(int position);
    void setSelected(int position);

    std::vector<ListRow> rows_;
    int selected_ = 0;
    ListObserver* observer_ = nullptr;
};

} // namespace tessaro

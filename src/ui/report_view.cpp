// SPDX-License-Identifier: MIT
#include "ui/report_view.h"

#include "ui/icons.h"
#include "ui/twips.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QUrl>
#include <QItemSelectionModel>
#include <QStyle>
#include <QStyleOptionViewItem>

namespace tessaro::ui {

ListTableModel::ListTableModel(ListModel& list, std::vector<ColumnSpec> columns, bool checkBoxes, bool smallIcons,
                               QObject* parent)
    : QAbstractTableModel(parent), list_(list), columns_(std::move(columns)), checkBoxes_(checkBoxes),
      smallIcons_(smallIcons)
{
    list_.setObserver(this);
}

ListTableModel::~ListTableModel() { list_.setObserver(nullptr); }

int ListTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : list_.count(); }

int ListTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant ListTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= list_.count())
        return {};
    const ListRow& row = list_.row(index.row() + 1);
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole: {
        const std::string& text = column == 0 ? row.text : row.subItem(column);
        if (role == Qt::ToolTipRole && text.empty())
            return {};
        return QString::fromStdString(text);
    }
    case Qt::CheckStateRole:
        if (checkBoxes_ && column == 0)
            return row.checked ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::DecorationRole:
        if (smallIcons_ && column == 0) {
            switch (row.smallIcon) {
            case WorkbookFileIcon:
                return pictureIcon(Picture::WorkbookFile);
            case FolderIcon:
                return pictureIcon(Picture::Folder);
            case MissingPathIcon:
                return pictureIcon(Picture::MissingPath);
            default:
                break;
            }
        }
        return {};
    default:
        return {};
    }
}

bool ListTableModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || role != Qt::CheckStateRole || !checkBoxes_ || index.column() != 0)
        return false;
    list_.setChecked(index.row() + 1, value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags ListTableModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (checkBoxes_ && index.column() == 0)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant ListTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= static_cast<int>(columns_.size()))
        return {};
    if (role == Qt::DisplayRole)
        return columns_[static_cast<std::size_t>(section)].header;
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

void ListTableModel::rowsAboutToBeInserted(int first, int last) { beginInsertRows({}, first - 1, last - 1); }
void ListTableModel::rowsInserted(int, int) { endInsertRows(); }
void ListTableModel::rowsAboutToBeRemoved(int first, int last) { beginRemoveRows({}, first - 1, last - 1); }
void ListTableModel::rowsRemoved(int, int) { endRemoveRows(); }

void ListTableModel::rowChanged(int position)
{
    emit dataChanged(index(position - 1, 0), index(position - 1, columnCount() - 1));
}

void ListTableModel::selectionChanged(int position) { emit selectionFollowed(position); }
void ListTableModel::scrollRequested(int position) { emit scrollFollowed(position); }

ReportView::ReportView(ListModel& list, std::vector<ColumnSpec> columns, bool checkBoxes, bool smallIcons,
                       QWidget* parent)
    : QTreeView(parent), model_(new ListTableModel(list, std::move(columns), checkBoxes, smallIcons, this))
{
    setModel(model_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setTextElideMode(Qt::ElideRight);
    setIconSize(QSize(16, 16));
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header()->setMinimumSectionSize(0);
    const auto& specs = model_->columns();
    for (int c = 0; c < static_cast<int>(specs.size()); ++c) {
        const int width = twips(specs[static_cast<std::size_t>(c)].widthTwips);
        header()->resizeSection(c, width);
        if (width == 0)
            setColumnHidden(c, true);
    }

    connect(model_, &ListTableModel::selectionFollowed, this, &ReportView::followModelSelection);
    connect(model_, &ListTableModel::scrollFollowed, this, [this](int position) {
        scrollTo(model_->index(position - 1, 0));
    });
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) {
                if (syncing_ || !current.isValid())
                    return;
                syncing_ = true;
                model_->list().select(current.row() + 1);
                syncing_ = false;
            });
    connect(this, &QAbstractItemView::clicked, this, [this](const QModelIndex& index) {
        if (index.isValid())
            emit rowClicked(index.row() + 1);
    });
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid())
            emit rowDoubleClicked(index.row() + 1);
    });
    followModelSelection(list.selectedPosition());
    setStyleSheet(QStringLiteral("ReportView { border: 1px solid palette(mid); }"
                                 "ReportView:focus { border: 2px solid palette(highlight); }"));
}

void ReportView::keyPressEvent(QKeyEvent* event)
{
    const QModelIndex current = currentIndex();
    const bool onRow = current.isValid() && selectionModel()->isSelected(current);
    if (onRow && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        event->accept();
        emit enterPressed(current.row() + 1);
        return;
    }
    if (onRow && event->key() == Qt::Key_Delete) {
        event->accept();
        emit deletePressed(current.row() + 1);
        return;
    }
    QTreeView::keyPressEvent(event);
    const QModelIndex now = currentIndex();
    if (now.isValid() && (now.row() != current.row() || !onRow))
        emit rowClicked(now.row() + 1);
}

void ReportView::followModelSelection(int position)
{
    if (syncing_)
        return;
    syncing_ = true;
    if (position <= 0) {
        selectionModel()->clear();
    } else {
        const QModelIndex index = model_->index(position - 1, 0);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    syncing_ = false;
}

QRect ReportView::checkBoxRect(int position) const
{
    const QModelIndex index = model_->index(position - 1, 0);
    QStyleOptionViewItem option;
    option.initFrom(this);
    option.rect = visualRect(index);
    option.features |= QStyleOptionViewItem::HasCheckIndicator;
    const QRect r = style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
    return r.translated(0, 0);
}

namespace {
QStringList localPaths(const QMimeData* mime)
{
    QStringList paths;
    if (!mime || !mime->hasUrls())
        return paths;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            paths << url.toLocalFile();
    return paths;
}
} // namespace

void ReportView::acceptPathDrops()
{
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DropOnly);
}

void ReportView::dragEnterEvent(QDragEnterEvent* event)
{
    if (acceptDrops() && !localPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void ReportView::dragMoveEvent(QDragMoveEvent* event)
{
    if (acceptDrops() && !localPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void ReportView::dropEvent(QDropEvent* event)
{
    const QStringList paths = localPaths(event->mimeData());
    if (!acceptDrops() || paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit pathsDropped(paths);
}

} // namespace tessaro::ui

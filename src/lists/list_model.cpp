// SPDX-License-Identifier: MIT
#include "lists/list_model.h"

#include <stdexcept>
#include <string>

namespace tessaro {

const std::string& ListRow::subItem(int n) const
{
    static const std::string none;
    if (n < 1 || n > static_cast<int>(subItems.size()))
        return none;
    return subItems[static_cast<std::size_t>(n - 1)];
}

const ListRow& ListModel::row(int position) const
{
    if (position < 1 || position > count())
        throw std::out_of_range("list row " + std::to_string(position) + " of " + std::to_string(count()));
    return rows_[static_cast<std::size_t>(position - 1)];
}

ListRow& ListModel::at(int position)
{
    return const_cast<ListRow&>(static_cast<const ListModel&>(*this).row(position));
}

std::string ListModel::selectedText() const
{
    return selected_ > 0 ? row(selected_).text : std::string();
}

void ListModel::setSelected(int position)
{
    if (position == selected_)
        return;
    selected_ = position;
    if (observer_)
        observer_->selectionChanged(position);
}

void ListModel::select(int position)
{
    row(position); // range check
    setSelected(position);
}

int ListModel::append(std::string text)
{
    insert(count() + 1, std::move(text));
    return count();
}

void ListModel::insert(int position, std::string text)
{
    if (position < 1 || position > count() + 1)
        throw std::out_of_range("insert at " + std::to_string(position) + " of " + std::to_string(count()));
    ListRow row;
    row.text = std::move(text);
    if (observer_)
        observer_->rowsAboutToBeInserted(position, position);
    rows_.insert(rows_.begin() + (position - 1), std::move(row));
    if (observer_)
        observer_->rowsInserted(position, position);
    if (selected_ == 0)
        setSelected(1);
    else if (position <= selected_)
        setSelected(selected_ + 1);
}

void ListModel::remove(int position)
{
    row(position); // range check
    if (observer_)
        observer_->rowsAboutToBeRemoved(position, position);
    rows_.erase(rows_.begin() + (position - 1));
    if (observer_)
        observer_->rowsRemoved(position, position);
    if (rows_.empty())
        setSelected(0);
    else if (position < selected_)
        setSelected(selected_ - 1);
    else if (position == selected_ && selected_ > count())
        setSelected(count());
    else if (position == selected_ && observer_)
        observer_->selectionChanged(selected_); // another row now stands there
}

void ListModel::clear()
{
    if (rows_.empty())
        return;
    const int n = count();
    if (observer_)
        observer_->rowsAboutToBeRemoved(1, n);
    rows_.clear();
    if (observer_)
        observer_->rowsRemoved(1, n);
    setSelected(0);
}

void ListModel::setText(int position, std::string text)
{
    at(position).text = std::move(text);
    if (observer_)
        observer_->rowChanged(position);
}

void ListModel::setChecked(int position, bool checked)
{
    auto& r = at(position);
    if (r.checked == checked)
        return;
    r.checked = checked;
    if (observer_)
        observer_->rowChanged(position);
}

void ListModel::setSubItem(int position, int n, std::string text)
{
    if (n < 1)
        throw std::out_of_range("sub-item " + std::to_string(n));
    auto& r = at(position);
    if (static_cast<int>(r.subItems.size()) < n)
        r.subItems.resize(static_cast<std::size_t>(n));
    r.subItems[static_cast<std::size_t>(n - 1)] = std::move(text);
    if (observer_)
        observer_->rowChanged(position);
}

void ListModel::setSmallIcon(int position, int icon)
{
    at(position).smallIcon = icon;
    if (observer_)
        observer_->rowChanged(position);
}

void ListModel::scrollTo(int position)
{
    row(position);
    if (observer_)
        observer_->scrollRequested(position);
}

} // namespace tessaro

// SPDX-License-Identifier: MIT
#include "lists/list_model.h"

#include <gtest/gtest.h>

namespace tessaro {
namespace {

struct Recorder : ListObserver {
    std::vector<std::string> events;
    void rowsInserted(int a, int b) override { events.push_back("ins " + std::to_string(a) + "-" + std::to_string(b)); }
    void rowsRemoved(int a, int b) override { events.push_back("rem " + std::to_string(a) + "-" + std::to_string(b)); }
    void rowChanged(int p) override { events.push_back("chg " + std::to_string(p)); }
    void selectionChanged(int p) override { events.push_back("sel " + std::to_string(p)); }
    void scrollRequested(int p) override { events.push_back("scroll " + std::to_string(p)); }
};

ListModel listOf(std::initializer_list<const char*> texts)
{
    ListModel m;
    for (const char* t : texts)
        m.append(t);
    return m;
}

TEST(ListModel, FirstRowIsSelectedWhenEmptyListGainsRows)
{
    ListModel m;
    EXPECT_EQ(m.selectedPosition(), 0);
    EXPECT_EQ(m.selectedText(), "") << "no selection reads as empty text";
    m.append("a");
    EXPECT_EQ(m.selectedPosition(), 1);
    m.append("b");
    EXPECT_EQ(m.selectedText(), "a") << "appending keeps the selection";
}

TEST(ListModel, SelectionFollowsItsRowAcrossInsertsAndRemovals)
{
    auto m = listOf({"a", "b", "c"});
    m.select(2);
    m.insert(1, "z");
    EXPECT_EQ(m.selectedText(), "b");
    m.remove(1);
    EXPECT_EQ(m.selectedText(), "b");
    m.remove(2); // the selected row: its successor takes its place
    EXPECT_EQ(m.selectedText(), "c");
    m.remove(2); // the selected last row: the new last row
    EXPECT_EQ(m.selectedText(), "a");
    m.remove(1);
    EXPECT_EQ(m.selectedPosition(), 0);
    EXPECT_TRUE(m.empty());
}

TEST(ListModel, DuplicatesAndOrderAreKept)
{
    auto m = listOf({"x", "x", "a"});
    ASSERT_EQ(m.count(), 3);
    EXPECT_EQ(m.row(1).text, "x");
    EXPECT_EQ(m.row(2).text, "x");
    EXPECT_EQ(m.row(3).text, "a");
    m.insert(4, "end");
    EXPECT_EQ(m.row(4).text, "end");
}

TEST(ListModel, RowFieldsAndSubItems)
{
    ListModel m;
    m.append("");
    m.setChecked(1, true);
    m.setSubItem(1, 2, "Sheet1");
    m.setSubItem(1, 1, "7");
    m.setSmallIcon(1, FolderIcon);
    EXPECT_TRUE(m.row(1).checked);
    EXPECT_EQ(m.row(1).subItem(1), "7");
    EXPECT_EQ(m.row(1).subItem(2), "Sheet1");
    EXPECT_EQ(m.row(1).subItem(3), "");
    EXPECT_EQ(m.row(1).smallIcon, FolderIcon);
}

TEST(ListModel, OutOfRangeIsRefused)
{
    auto m = listOf({"a"});
    EXPECT_THROW(m.row(0), std::out_of_range);
    EXPECT_THROW(m.row(2), std::out_of_range);
    EXPECT_THROW(m.remove(2), std::out_of_range);
    EXPECT_THROW(m.insert(3, "x"), std::out_of_range);
    EXPECT_THROW(m.select(5), std::out_of_range);
}

TEST(ListModel, ObserverSeesEveryChange)
{
    ListModel m;
    Recorder r;
    m.setObserver(&r);
    m.append("a");
    m.append("b");
    m.setChecked(2, true);
    m.select(2);
    m.scrollTo(2);
    m.remove(1);
    m.clear();
    EXPECT_EQ(r.events, (std::vector<std::string>{"ins 1-1", "sel 1", "ins 2-2", "chg 2", "sel 2", "scroll 2",
                                                  "rem 1-1", "sel 1", "rem 1-1", "sel 0"}));
}

} // namespace
} // namespace tessaro

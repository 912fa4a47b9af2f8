#include "store/string_list.h"

#include <gtest/gtest.h>

namespace brevin {
namespace {

class StringListTest : public ::testing::Test {
protected:
    void TearDown() override { FreeList(head); }

    listas* head = nullptr;
};

TEST_F(StringListTest, NodesStandInCreationOrderLinkedBothWays) {
    listas* a = AppendText(head, "a");
    listas* b = AppendText(head, "b");
    listas* c = new listas(&head); // made bare, then given its text, as owners do
    c->m_text.push_back('c');
    EXPECT_EQ(head, a);
    EXPECT_EQ(a->Prev(), nullptr);
    EXPECT_EQ(a->Next(), b);
    EXPECT_EQ(b->Prev(), a);
    EXPECT_EQ(b->Next(), c);
    EXPECT_EQ(c->Prev(), b);
    EXPECT_EQ(c->Next(), nullptr);
    EXPECT_EQ(CountList(head), 3U);
    EXPECT_EQ(listas(&head).m_text, "") << "a new node starts empty";
    EXPECT_EQ(CountList(head), 3U) << "and leaves the list when destroyed";
}

TEST_F(StringListTest, FreeingAListLeavesTheHeadNull) {
    AppendText(head, "a");
    AppendText(head, "b");
    AppendText(head, "c");
    FreeList(head);
    EXPECT_EQ(head, nullptr);
    FreeList(head); // an empty list frees to nothing
    EXPECT_EQ(CountList(head), 0U);
}

TEST_F(StringListTest, DestroyingMiddleFirstAndOnlyNodesRelinks) {
    listas* a = AppendText(head, "a");
    listas* b = AppendText(head, "b");
    listas* c = AppendText(head, "c");

    delete b;
    EXPECT_EQ(a->Next(), c);
    EXPECT_EQ(c->Prev(), a);

    delete a;
    EXPECT_EQ(head, c);
    EXPECT_EQ(c->Prev(), nullptr);

    delete c;
    EXPECT_EQ(head, nullptr);

    // Lists are independent: a node only ever touches its own head.
    listas* other = nullptr;
    AppendText(other, "x");
    AppendText(head, "y");
    EXPECT_EQ(other->Next(), nullptr);
    EXPECT_EQ(head->m_text, "y");
    FreeList(other);
}

TEST_F(StringListTest, DestroyingTheLastNodeKeepsTheRest) {
    listas* a = AppendText(head, "a");
    listas* b = AppendText(head, "b");
    delete b;
    EXPECT_EQ(head, a);
    EXPECT_EQ(a->Next(), nullptr);
    AppendText(head, "c");
    EXPECT_EQ(a->Next()->m_text, "c");
}

} // namespace
} // namespace brevin

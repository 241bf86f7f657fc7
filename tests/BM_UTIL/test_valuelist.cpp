#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "COMMON/BM_UTIL/valuelist.h"

namespace {

std::vector<ListValue> Forward(const ValueList& list) {
    std::vector<ListValue> values;
    for (ValueListNode* pos = list.HeadNode(); pos;) {
        values.push_back(list.NextValue(pos));
    }
    return values;
}

std::vector<ListValue> Backward(const ValueList& list) {
    std::vector<ListValue> values;
    for (ValueListNode* pos = list.TailNode(); pos;) {
        values.push_back(list.PrevValue(pos));
    }
    return values;
}

// Checks the links both ways against the count.
void ExpectConsistent(const ValueList& list) {
    const std::vector<ListValue> forward = Forward(list);
    std::vector<ListValue> backward = Backward(list);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(static_cast<size_t>(list.Count()), forward.size());
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(list.IsEmpty(), list.HeadNode() == nullptr);
    EXPECT_EQ(list.HeadNode() == nullptr, list.TailNode() == nullptr);
    if (list.HeadNode()) {
        EXPECT_EQ(nullptr, list.HeadNode()->prev);
        EXPECT_EQ(nullptr, list.TailNode()->next);
    }
}

ValueList* MakeList(std::initializer_list<ListValue> values) {
    ValueList* list = new ValueList;
    for (ListValue v : values) {
        list->AddTail(v);
    }
    return list;
}

// Counts the calls that other operations must route through the table.
class CountingList : public ValueList {
public:
    void AddTail(ListValue value) override {
        ++addTailCalls;
        ValueList::AddTail(value);
    }
    int addTailCalls = 0;
};

TEST(ValueListTest, EmptyListAnswersZeroAndStaysEmpty) {
    ValueList list;
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(0u, list.HeadValue());
    EXPECT_EQ(0u, list.TailValue());
    EXPECT_EQ(0u, list.RemoveHead());
    EXPECT_EQ(0u, list.RemoveTail());
    EXPECT_EQ(nullptr, list.NodeAt(0));
    EXPECT_EQ(0u, list.ValueAt(nullptr));
    ValueListNode* pos = nullptr;
    EXPECT_EQ(0u, list.NextValue(pos));
    EXPECT_EQ(0u, list.PrevValue(pos));
    list.RemoveAt(nullptr);
    list.Remove(5);
    EXPECT_EQ(0, list.Count());
    ExpectConsistent(list);
}

TEST(ValueListTest, InsertionsKeepOrderAndLinks) {
    ValueList list;
    list.AddTail(2);
    list.AddHead(1);
    list.Add(4, 99);
    list.InsertBefore(list.FindNode(4), 3);
    list.InsertBefore(nullptr, 5);
    list.InsertBefore(list.HeadNode(), 0);
    EXPECT_EQ((std::vector<ListValue>{0, 1, 2, 3, 4, 5}), Forward(list));
    EXPECT_EQ(0u, list.HeadValue());
    EXPECT_EQ(5u, list.TailValue());
    ExpectConsistent(list);
}

TEST(ValueListTest, NodeAtWalksFromTheNearerEnd) {
    ValueList one;
    one.AddTail(7);
    EXPECT_EQ(one.HeadNode(), one.NodeAt(0));
    EXPECT_EQ(nullptr, one.NodeAt(1));

    ValueList* five = MakeList({10, 11, 12, 13, 14});
    for (int32_t i = 0; i < 5; ++i) {
        ASSERT_NE(nullptr, five->NodeAt(i));
        EXPECT_EQ(static_cast<ListValue>(10 + i), five->ValueAt(five->NodeAt(i)));
    }
    EXPECT_EQ(five->TailNode()->prev, five->NodeAt(3));
    EXPECT_EQ(nullptr, five->NodeAt(5));
    EXPECT_EQ(five->HeadNode(), five->NodeAt(-4));
    delete five;
}

TEST(ValueListTest, RemovalsUnlinkTheRightNode) {
    ValueList* list = MakeList({1, 2, 3, 2, 4});
    list->Remove(2);  // only the first 2
    EXPECT_EQ((std::vector<ListValue>{1, 3, 2, 4}), Forward(*list));
    EXPECT_TRUE(list->Contains(2));
    EXPECT_EQ(1u, list->RemoveHead());
    EXPECT_EQ(4u, list->RemoveTail());
    list->RemoveAt(list->FindNode(3));
    EXPECT_EQ((std::vector<ListValue>{2}), Forward(*list));
    ExpectConsistent(*list);
    list->RemoveAt(list->HeadNode());  // the only node
    EXPECT_EQ(nullptr, list->HeadNode());
    EXPECT_EQ(nullptr, list->TailNode());
    EXPECT_EQ(0, list->Count());
    list->AddTail(9);  // usable again after emptying
    ExpectConsistent(*list);
    list->RemoveAll();
    ExpectConsistent(*list);
    delete list;
}

TEST(ValueListTest, InsertListAfterKeyOrAtTheTail) {
    ValueList* other = MakeList({7, 8, 9});

    CountingList missing;
    missing.AddTail(1);
    missing.addTailCalls = 0;
    EXPECT_EQ(3, missing.InsertListAfter(*other, 42));
    EXPECT_EQ(3, missing.addTailCalls);  // appended through the table
    EXPECT_EQ(4, missing.Count());
    EXPECT_EQ((std::vector<ListValue>{1, 7, 8, 9}), Forward(missing));

    ValueList* middle = MakeList({1, 2, 3});
    EXPECT_EQ(3, middle->InsertListAfter(*other, 2));
    EXPECT_EQ((std::vector<ListValue>{1, 2, 7, 8, 9, 3}), Forward(*middle));
    ExpectConsistent(*middle);

    ValueList* atTail = MakeList({1, 2});
    atTail->InsertListAfter(*other, 2);
    EXPECT_EQ(9u, atTail->TailValue());
    ExpectConsistent(*atTail);

    EXPECT_EQ((std::vector<ListValue>{7, 8, 9}), Forward(*other));

    // A list inserted into itself copies its values once.
    EXPECT_EQ(3, other->InsertListAfter(*other, 7));
    EXPECT_EQ((std::vector<ListValue>{7, 7, 8, 9, 8, 9}), Forward(*other));
    ExpectConsistent(*other);
    delete other;
    delete middle;
    delete atTail;
}

TEST(ValueListTest, AddAndNullInsertGoThroughTheTable) {
    CountingList list;
    list.Add(1, 0);
    list.InsertBefore(nullptr, 2);
    EXPECT_EQ(2, list.addTailCalls);
    EXPECT_EQ((std::vector<ListValue>{1, 2}), Forward(list));
}

TEST(ValueListTest, CloneCopiesTheNodes) {
    ValueList* original = MakeList({3, 1, 4});
    ValueList* copy = original->Clone();
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(original->HeadNode(), copy->HeadNode());
    delete original;  // the copy's nodes must outlive the source list
    EXPECT_EQ((std::vector<ListValue>{3, 1, 4}), Forward(*copy));
    copy->RemoveHead();
    ExpectConsistent(*copy);
    delete copy;
}

}  // namespace

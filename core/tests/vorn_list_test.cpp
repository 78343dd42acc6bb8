#include "core/vorn_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/vorn_exception.h"

namespace {

// The elements in order, checking the invariants on the way: the count
// matches the nodes, the tail is the last node, head/tail/count agree.
template <typename T>
std::vector<T> Contents(CVornList<T>& list) {
    CVornLockGuard guard(list.m_Lock);
    std::vector<T> out;
    typename CVornList<T>::Node* last = nullptr;
    for (auto* node = list.m_Head; node; node = node->m_Next) {
        out.push_back(node->m_Element);
        last = node;
    }
    EXPECT_EQ(list.m_Tail, last);
    EXPECT_EQ(list.m_Count, static_cast<int>(out.size()));
    return out;
}

CVornList<int> ListOf(std::initializer_list<int> values) {
    CVornList<int> list;
    for (int v : values) list.AddTail(v);
    return list;
}

// True when another thread can take the lock now (the lock is recursive, so
// the owner thread cannot tell).
bool LockIsFree(CVornLock& lock) {
    bool taken = false;
    std::thread([&] {
        CVornLockGuard guard(lock);
        taken = true;
    }).join();
    return taken;
}

TEST(VornListTest, AddsAtBothEnds) {
    CVornList<int> list;
    list.AddTail(2);
    list.AddHead(1);
    list.AddTail(3);
    EXPECT_EQ(Contents(list), (std::vector<int>{1, 2, 3}));
    CVornList<int> single;
    single.AddHead(7);
    EXPECT_EQ(single.m_Head, single.m_Tail);
    EXPECT_EQ(Contents(single), (std::vector<int>{7}));
}

TEST(VornListTest, InsertAtPutsTheElementAtItsIndexOrAppends) {
    struct Case {
        std::vector<int> before;
        unsigned index;
        std::vector<int> after;
    };
    const Case cases[] = {
        {{}, 0, {9}},
        {{}, 5, {9}},
        {{1, 2, 3}, 0, {9, 1, 2, 3}},
        {{1, 2, 3}, 1, {1, 9, 2, 3}},
        {{1, 2, 3}, 2, {1, 2, 9, 3}},
        {{1, 2, 3}, 3, {1, 2, 3, 9}},
        {{1, 2, 3}, 100, {1, 2, 3, 9}},
    };
    for (const Case& c : cases) {
        CVornList<int> list;
        for (int v : c.before) list.AddTail(v);
        list.InsertAt(9, c.index);
        EXPECT_EQ(Contents(list), c.after) << "index " << c.index;
        // The new element must be usable at both ends afterwards.
        list.AddTail(10);
        EXPECT_EQ(Contents(list).back(), 10);
    }
}

TEST(VornListTest, GetAtGivesTheElementInPlace) {
    CVornList<int> list = ListOf({10, 20, 30});
    EXPECT_EQ(*list.GetAt(0), 10);
    EXPECT_EQ(*list.GetAt(2), 30);
    *list.GetAt(1) = 25;
    EXPECT_EQ(Contents(list), (std::vector<int>{10, 25, 30}));
    EXPECT_EQ(list.m_Cursor->m_Element, 25);
}

TEST(VornListTest, GetAtAMissingPositionThrows61AndFreesTheLock) {
    CVornList<int> empty;
    CVornList<int> three = ListOf({1, 2, 3});
    struct Case {
        CVornList<int>* list;
        int index;
    } cases[] = {{&empty, 0}, {&three, 3}, {&three, -1}, {&three, 1000}};
    for (const Case& c : cases) {
        try {
            c.list->GetAt(c.index);
            ADD_FAILURE() << "no exception at " << c.index;
        } catch (const CVornException& e) {
            EXPECT_EQ(e.m_Code, 61);
            EXPECT_EQ(e.m_Text, nullptr);
            EXPECT_EQ(e.m_Extra, 0);
        }
        EXPECT_TRUE(LockIsFree(c.list->m_Lock)) << "index " << c.index;
    }
}

TEST(VornListTest, SeekToLeavesCursorAndPrevious) {
    CVornList<int> list = ListOf({1, 2, 3});
    CVornLockGuard guard(list.m_Lock);
    EXPECT_EQ(list.SeekTo(0), list.m_Head);
    EXPECT_EQ(list.m_Previous, nullptr);
    EXPECT_EQ(list.SeekTo(2)->m_Element, 3);
    EXPECT_EQ(list.m_Previous->m_Element, 2);
    EXPECT_EQ(list.SeekTo(3 + 5), nullptr);
    EXPECT_EQ(list.m_Cursor, nullptr);
    EXPECT_EQ(list.m_Previous, list.m_Tail);

    CVornList<int> empty;
    EXPECT_EQ(empty.SeekTo(4), nullptr);
    EXPECT_EQ(empty.m_Previous, nullptr);
}

TEST(VornListTest, RemoveTailAndRemoveAll) {
    CVornList<int> list = ListOf({1, 2, 3});
    list.GetAt(2);  // the cursor on the node about to go
    list.RemoveTail();
    EXPECT_EQ(Contents(list), (std::vector<int>{1, 2}));
    EXPECT_EQ(list.m_Cursor, nullptr);  // not left on the freed node
    list.RemoveTail();
    list.RemoveTail();
    EXPECT_EQ(list.m_Head, nullptr);
    EXPECT_EQ(list.m_Tail, nullptr);
    EXPECT_EQ(list.m_Count, 0);
    list.RemoveTail();  // empty: nothing happens
    EXPECT_EQ(list.m_Count, 0);

    list = ListOf({4, 5});
    list.GetAt(1);
    list.RemoveAll();
    EXPECT_TRUE(Contents(list).empty());
    EXPECT_EQ(list.m_Cursor, nullptr);
    EXPECT_EQ(list.m_Previous, nullptr);
    list.AddTail(6);
    EXPECT_EQ(Contents(list), (std::vector<int>{6}));
}

TEST(VornListTest, RemoveAtUnlinksAnyPosition) {
    CVornList<int> list = ListOf({1, 2, 3, 4});
    EXPECT_TRUE(list.RemoveAt(1));
    EXPECT_EQ(Contents(list), (std::vector<int>{1, 3, 4}));
    EXPECT_TRUE(list.RemoveAt(2));  // the tail: the new tail is 3
    EXPECT_EQ(list.m_Tail->m_Element, 3);
    EXPECT_TRUE(list.RemoveAt(0));  // the head
    EXPECT_EQ(Contents(list), (std::vector<int>{3}));
    EXPECT_FALSE(list.RemoveAt(1));
    EXPECT_EQ(list.m_Count, 1);
    EXPECT_TRUE(list.RemoveAt(0));
    EXPECT_EQ(list.m_Head, nullptr);
    EXPECT_EQ(list.m_Tail, nullptr);
    EXPECT_EQ(list.m_Count, 0);
    list.AddTail(5);
    EXPECT_EQ(Contents(list), (std::vector<int>{5}));
}

TEST(VornListTest, AssignmentAndCopyLeaveExactCopiesInOrder) {
    CVornList<int> three = ListOf({1, 2, 3});
    CVornList<int> two = ListOf({8, 9});
    two = three;
    EXPECT_EQ(Contents(two), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Contents(three), (std::vector<int>{1, 2, 3}));
    *two.GetAt(0) = 7;  // copies, not shared nodes
    EXPECT_EQ(*three.GetAt(0), 1);

    CVornList<int>& self = three;
    three = self;
    EXPECT_EQ(Contents(three), (std::vector<int>{1, 2, 3}));

    CVornList<int> copy(three);
    EXPECT_EQ(Contents(copy), (std::vector<int>{1, 2, 3}));
}

// An element type of the kind the service keeps: no copy operations, filled
// by its own Assign, with a destructor that must run once per element.
struct Tracked {
    static int s_Assigns;
    static int s_Live;
    int m_Value = 0;
    Tracked() { ++s_Live; }
    explicit Tracked(int v) : m_Value(v) { ++s_Live; }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
    ~Tracked() { --s_Live; }
    Tracked& Assign(const Tracked& other) {
        if (other.m_Value < 0)
            throw std::runtime_error("cannot copy");
        ++s_Assigns;
        m_Value = other.m_Value;
        return *this;
    }
};
int Tracked::s_Assigns = 0;
int Tracked::s_Live = 0;

std::vector<int> Values(CVornList<Tracked>& list) {
    std::vector<int> out;
    CVornLockGuard guard(list.m_Lock);
    for (auto* node = list.m_Head; node; node = node->m_Next)
        out.push_back(node->m_Element.m_Value);
    return out;
}

TEST(VornListTest, ElementsAreFilledByTheirAssignAndDestroyedOnce) {
    Tracked::s_Assigns = 0;
    Tracked::s_Live = 0;
    {
        Tracked a(1), b(2), c(3);
        CVornList<Tracked> list;
        list.AddTail(b);
        list.AddHead(a);
        list.InsertAt(c, 2);
        EXPECT_EQ(Tracked::s_Assigns, 3);
        EXPECT_EQ(Tracked::s_Live, 3 + 3);
        EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 3}));

        {
            CVornList<Tracked> copy(list);
            EXPECT_EQ(Tracked::s_Assigns, 6);
            EXPECT_EQ(Values(copy), (std::vector<int>{1, 2, 3}));
        }
        EXPECT_EQ(Tracked::s_Live, 3 + 3);

        // An element that cannot be copied leaves the list as it was and
        // leaks no node.
        Tracked bad(-1);
        EXPECT_THROW(list.AddTail(bad), std::runtime_error);
        EXPECT_THROW(list.InsertAt(bad, 1), std::runtime_error);
        EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(Tracked::s_Live, 3 + 3 + 1);

        list.RemoveTail();
        EXPECT_EQ(Tracked::s_Live, 3 + 2 + 1);
    }
    EXPECT_EQ(Tracked::s_Live, 0);
}

TEST(VornListTest, StringListHoldsCopies) {
    CVornStringList list;
    CVornString text("alpha");
    list.AddTail(text);
    list.AddTail(CVornString("beta"));
    text.Assign("changed");
    EXPECT_TRUE(list.GetAt(0)->Equals("alpha", 1));
    EXPECT_TRUE(list.GetAt(1)->Equals("beta", 1));
    CVornStringList copy;
    copy = list;
    list.RemoveAll();
    EXPECT_EQ(copy.m_Count, 2);
    EXPECT_TRUE(copy.GetAt(1)->Equals("beta", 1));
}

// Sorted lists: elements carry a key (compared) and a tag (to tell equal
// keys apart).
struct Item {
    int key = 0;
    int tag = 0;
    bool operator==(const Item&) const = default;
};

int CompareKeys(const Item* a, const Item* b) {
    return a->key < b->key ? -1 : a->key > b->key;
}

std::vector<Item> Items(CVornSortedList<Item>& sorted) {
    return Contents(sorted.m_List);
}

// Where an element must go: after the last element when it does not sort
// before it, otherwise before the first element it does not sort after.
size_t ExpectedPlace(const std::vector<Item>& model, const Item& x) {
    if (model.empty() || x.key >= model.back().key)
        return model.size();
    return std::lower_bound(model.begin(), model.end(), x,
                            [](const Item& a, const Item& b) { return a.key < b.key; }) -
           model.begin();
}

TEST(VornSortedListTest, InsertPlacesEqualElementsAsDocumented) {
    struct Case {
        const char* what;
        std::vector<int> keys;
        int key;
        size_t place;
    };
    const Case cases[] = {
        {"empty list", {}, 5, 0},
        {"equal to the last goes after it", {1, 5, 5}, 5, 3},
        {"equal to the first, smaller than the last", {3, 3, 8}, 3, 0},
        {"before the first", {3, 8}, 1, 0},
        {"equal in the middle goes before all equals", {1, 4, 4, 4, 9}, 4, 1},
        {"between two", {1, 4, 9}, 6, 2},
    };
    for (const Case& c : cases) {
        CVornSortedList<Item> sorted(CompareKeys);
        for (int k : c.keys) sorted.m_List.AddTail(Item{k, 0});
        sorted.Insert(Item{c.key, 1});
        std::vector<Item> items = Items(sorted);
        ASSERT_EQ(items.size(), c.keys.size() + 1) << c.what;
        EXPECT_EQ(items[c.place], (Item{c.key, 1})) << c.what;
    }
}

TEST(VornSortedListTest, InsertKeepsLongAndShortListsInOrder) {
    // Lists grow through the lengths of the linear scan (up to 12) and of the
    // halving (13 and more); the keys repeat so that equal runs form.
    CVornSortedList<Item> sorted(CompareKeys);
    std::vector<Item> model;
    unsigned seed = 12345;
    for (int tag = 0; tag < 120; ++tag) {
        seed = seed * 1103515245u + 12345u;
        Item x{static_cast<int>((seed >> 16) % 40), tag};
        model.insert(model.begin() + ExpectedPlace(model, x), x);
        sorted.Insert(x);
        ASSERT_EQ(Items(sorted), model) << "after inserting tag " << tag;
    }
}

TEST(VornSortedListTest, InsertWithoutCallbackThrows62AndChangesNothing) {
    CVornSortedList<Item> sorted(nullptr);
    sorted.m_List.AddTail(Item{1, 0});
    try {
        sorted.Insert(Item{2, 0});
        ADD_FAILURE() << "no exception";
    } catch (const CVornException& e) {
        EXPECT_EQ(e.m_Code, 62);
        EXPECT_EQ(e.m_Extra, 0);
    }
    EXPECT_EQ(Items(sorted), (std::vector<Item>{{1, 0}}));
    EXPECT_TRUE(LockIsFree(sorted.m_InsertLock));
    EXPECT_TRUE(LockIsFree(sorted.m_List.m_Lock));
}

TEST(VornSortedListTest, ConcurrentInsertsKeepTheOrder) {
    CVornSortedList<Item> sorted(CompareKeys);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&sorted, t] {
            for (int i = 0; i < 50; ++i) sorted.Insert(Item{(i * 37 + t * 11) % 60, t});
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<Item> items = Items(sorted);
    ASSERT_EQ(items.size(), 200u);
    EXPECT_TRUE(std::is_sorted(items.begin(), items.end(),
                               [](const Item& a, const Item& b) { return a.key < b.key; }));
}

}  // namespace

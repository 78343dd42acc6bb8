// CVornList: the library's sequence container, a singly linked list of
// elements held by value, with a lock of its own and a cursor that keeps the
// last position sought. CVornSortedList keeps a CVornList in the order of a
// comparison callback. CVornStringList is the list of CVornString.
//
//   CVornList::AddHead / AddTail   copy an element in at either end
//   CVornList::InsertAt            copy an element in before a position (appends past the end)
//   CVornList::GetAt               the element at a position; CVornException 61 when there is none
//   CVornList::SeekTo              position the cursor (the caller holds m_Lock)
//   CVornList::RemoveTail          drop the last element
//   CVornList::RemoveAt            drop the element at a position
//   CVornList::RemoveAll           drop every element
//   CVornSortedList::Insert        copy an element in at its place in the order;
//                                  CVornException 62 without a callback
//
// Element types: T is default-constructible and destructible. A new node's
// element is default-constructed and then filled from the given element with
// the element type's own T::Assign(const T&) when it has one (types with a
// lock of their own copy under that lock), else with T::operator=. Deleting
// a node destroys its element. A list of pointers never frees what the
// pointers point to.
//
// Threads: every operation except SeekTo takes the list's recursive lock, so
// one list may be shared. A user that needs a stable view (SeekTo and then
// reading m_Cursor, walking the nodes from m_Head, reading m_Count and then
// elements by index) holds m_Lock across the whole sequence, for instance
// with CVornLockGuard. Element assignment runs under the list's lock (list
// lock, then the element's own lock).
#pragma once

#include <memory>

#include "core/vorn_lock.h"
#include "core/vorn_string.h"

// Throws the CVornException of the list codes (61: no element at a position,
// 62: sorted list without a comparison callback), no text, extra 0. Kept out
// of line so that this header needs no exception header.
[[noreturn]] void ThrowVornListError(int code);

// A node of a CVornList: the element first, so that a pointer to a node is a
// pointer to its element, then the link. The last node's m_Next is null.
template <typename T>
struct CVornListNode {
    T m_Element{};
    CVornListNode* m_Next = nullptr;
};

// Fills an element of a node from another element: the type's own Assign
// when it has one, else plain assignment.
template <typename T>
void AssignListElement(T& to, const T& from) {
    if constexpr (requires(T & a, const T& b) { a.Assign(b); }) {
        to.Assign(from);
    } else {
        to = from;
    }
}

template <typename T>
class CVornList {
public:
    typedef CVornListNode<T> Node;

    CVornList() = default;
    // Starts empty and appends a copy of each of other's elements, holding
    // other's lock throughout and its own for each append.
    CVornList(const CVornList& other) { CopyFrom(other); }
    virtual ~CVornList() { DeleteNodes(); }

    // Replaces the content with copies of other's elements, in order.
    // Assigning a list to itself leaves it unchanged.
    CVornList& operator=(const CVornList& other) {
        if (&other == this)
            return *this;
        RemoveAll();
        CopyFrom(other);
        return *this;
    }

    // Deletes every node; head, tail, cursor and previous become null, the count 0.
    void RemoveAll() { DeleteNodes(); }

    // Copy the element in as the first or the last element. The node is
    // allocated before the lock is taken, so the lock is held only while the
    // element is filled and linked.
    void AddHead(const T& element) {
        std::unique_ptr<Node> node(new Node());
        CVornLockGuard guard(m_Lock);
        AssignListElement(node->m_Element, element);
        LinkHead(node.release());
    }
    void AddTail(const T& element) {
        std::unique_ptr<Node> node(new Node());
        CVornLockGuard guard(m_Lock);
        AssignListElement(node->m_Element, element);
        LinkTail(node.release());
    }

    // Copies the element in so that it becomes the element at index: index 0
    // puts it first, an index at or beyond the count appends it.
    void InsertAt(const T& element, unsigned index) {
        std::unique_ptr<Node> node(new Node());
        CVornLockGuard guard(m_Lock);
        AssignListElement(node->m_Element, element);
        SeekTo(index);
        if (!m_Previous) {
            LinkHead(node.release());
        } else if (!m_Cursor) {
            LinkTail(node.release());
        } else {
            Node* linked = node.release();
            linked->m_Next = m_Cursor;
            m_Previous->m_Next = linked;
            ++m_Count;
        }
    }

    // The element at index (from 0), left under the cursor. The pointer stays
    // valid until the element leaves the list; callers may change the element
    // in place. Throws CVornException 61 (no text, extra 0) for an index
    // outside 0 .. count - 1, with the lock released.
    T* GetAt(int index) {
        {
            CVornLockGuard guard(m_Lock);
            if (index >= 0) {
                SeekTo(static_cast<unsigned>(index));
                if (m_Cursor)
                    return &m_Cursor->m_Element;
            }
        }
        ThrowVornListError(61);
    }

    // REQUIRES: the caller holds m_Lock. Moves the cursor to the node at
    // index (null when index >= count) and m_Previous to the node before it
    // (the last node when index >= count > 0). Returns the cursor.
    Node* SeekTo(unsigned index) {
        m_Cursor = m_Head;
        m_Previous = nullptr;
        for (unsigned i = 0; i < index && m_Cursor; ++i) {
            m_Previous = m_Cursor;
            m_Cursor = m_Cursor->m_Next;
        }
        return m_Cursor;
    }

    // Drops the last element; an empty list is left unchanged. The element
    // is destroyed after the lock is released.
    void RemoveTail() {
        Node* removed = nullptr;
        {
            CVornLockGuard guard(m_Lock);
            if (!m_Tail)
                return;
            removed = m_Tail;
            if (m_Head == m_Tail) {
                m_Head = m_Tail = nullptr;
            } else {
                Node* before = m_Head;
                while (before->m_Next != m_Tail) before = before->m_Next;
                before->m_Next = nullptr;
                m_Tail = before;
            }
            --m_Count;
            // Positions left on the removed node would dangle.
            if (m_Cursor == removed)
                m_Cursor = nullptr;
            if (m_Previous == removed)
                m_Previous = nullptr;
        }
        delete removed;
    }

    // Drops the element at index (from 0): true; false, the list unchanged,
    // when there is none. The cursor and the node before it are left null.
    // The element is destroyed after the lock is released.
    bool RemoveAt(unsigned index) {
        Node* removed = nullptr;
        {
            CVornLockGuard guard(m_Lock);
            removed = SeekTo(index);
            if (!removed)
                return false;
            if (m_Previous) {
                m_Previous->m_Next = removed->m_Next;
            } else {
                m_Head = removed->m_Next;
            }
            if (m_Tail == removed)
                m_Tail = m_Previous;
            --m_Count;
            m_Cursor = nullptr;
            m_Previous = nullptr;
        }
        delete removed;
        return true;
    }

    // Read directly by users that hold m_Lock (there is no accessor for the
    // count): the first node, the last node, the node last sought and the one
    // before it, and the number of elements.
    Node* m_Head = nullptr;
    Node* m_Tail = nullptr;
    Node* m_Cursor = nullptr;
    Node* m_Previous = nullptr;
    int m_Count = 0;
    mutable CVornLock m_Lock{true};

private:
    // REQUIRES: m_Lock held.
    void LinkHead(Node* node) {
        node->m_Next = m_Head;
        m_Head = node;
        if (!m_Tail)
            m_Tail = node;
        ++m_Count;
    }
    void LinkTail(Node* node) {
        node->m_Next = nullptr;
        if (m_Tail) {
            m_Tail->m_Next = node;
        } else {
            m_Head = node;
        }
        m_Tail = node;
        ++m_Count;
    }

    void DeleteNodes() {
        CVornLockGuard guard(m_Lock);
        Node* node = m_Head;
        m_Head = m_Tail = m_Cursor = m_Previous = nullptr;
        m_Count = 0;
        while (node) {
            Node* next = node->m_Next;
            delete node;
            node = next;
        }
    }

    // Source lock first, then this list's lock for each append.
    void CopyFrom(const CVornList& other) {
        CVornLockGuard guard(other.m_Lock);
        for (Node* node = other.m_Head; node; node = node->m_Next) AddTail(node->m_Element);
    }
};

template <typename T>
class CVornSortedList {
public:
    // Negative when *inserted sorts before *element, 0 when they are equal,
    // positive when it sorts after.
    typedef int (*CompareFunction)(const T* inserted, const T* element);

    // compare may be null; Insert then throws 62 until m_Compare is set
    // (under m_InsertLock).
    explicit CVornSortedList(CompareFunction compare) : m_Compare(compare) {}
    virtual ~CVornSortedList() = default;
    CVornSortedList(const CVornSortedList&) = delete;
    CVornSortedList& operator=(const CVornSortedList&) = delete;

    // Copies the element in at its place: after the last element when it
    // does not sort before it, first when it does not sort after the first,
    // otherwise before the first element it does not sort after (so before
    // all elements equal to it). Throws CVornException 62 when there is no
    // callback (the list is unchanged), 61 when an element the count
    // promised has gone (another thread removed elements meanwhile).
    //
    // Inserts into one sorted list never interleave (m_InsertLock is held
    // throughout); the list's own lock is held only for each probe, so
    // readers may read the list while an insert is under way. The callback
    // runs under the list's lock, so the element it reads cannot be freed
    // under it.
    void Insert(const T& element) {
        CVornLockGuard insertGuard(m_InsertLock);
        if (!m_Compare)
            ThrowVornListError(62);

        int n;
        {
            CVornLockGuard guard(m_List.m_Lock);
            n = m_List.m_Count;
        }
        if (n == 0) {
            m_List.AddHead(element);
            return;
        }
        if (CompareWith(element, n - 1) >= 0) {
            m_List.AddTail(element);
            return;
        }
        if (CompareWith(element, 0) <= 0) {
            m_List.AddHead(element);
            return;
        }

        // Halve the range while it is long; lo only ever moves to an element
        // that sorts before the new one.
        int lo = 0;
        int hi = n - 1;
        int step = (hi - lo) / 2;
        while (step > 5) {
            int mid = lo + step;
            if (mid >= n)
                break;
            if (CompareWith(element, mid) > 0) {
                lo = mid;
            } else {
                hi = mid;
            }
            step = (hi - lo) / 2;
        }
        for (int i = lo; i < n; ++i) {
            if (CompareWith(element, i) <= 0) {
                m_List.InsertAt(element, static_cast<unsigned>(i));
                return;
            }
        }
        m_List.AddTail(element);
    }

    CVornList<T> m_List;
    CompareFunction m_Compare;
    // Guards m_Compare and serialises inserts.
    CVornLock m_InsertLock{true};

private:
    // compare(element, element at index) under the list's lock; 61 when
    // there is no element at index.
    int CompareWith(const T& element, int index) {
        CVornLockGuard guard(m_List.m_Lock);
        auto* node = m_List.SeekTo(static_cast<unsigned>(index));
        if (!node)
            ThrowVornListError(61);
        return m_Compare(&element, &node->m_Element);
    }
};

// The list of strings (filled with CVornString::Assign; the copies are locked
// strings).
typedef CVornList<CVornString> CVornStringList;

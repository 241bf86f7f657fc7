// ValueList: the program's one container, a doubly linked list of pointer-sized values (in
// practice pointers to objects the user owns; the list never frees what they point to).
// Lookup is by value equality, first match from the head. A node pointer doubles as an
// iteration position. Every operation is virtual; the order of the operations is fixed.
#pragma once

#include <cstdint>

using ListValue = uintptr_t;

struct ValueListNode {
    ValueListNode* prev;
    ValueListNode* next;
    ListValue value;
};

class ValueList {
public:
    ValueList() = default;
    // Frees every node (not what the values point to).
    virtual ~ValueList();
    ValueList(const ValueList&) = delete;  // a copy would share, and free twice, the nodes
    ValueList& operator=(const ValueList&) = delete;

    virtual bool IsEmpty() const;
    virtual int32_t Count() const;
    // Value of the head/tail node, 0 when empty.
    virtual ListValue HeadValue() const;
    virtual ListValue TailValue() const;
    // First/last node: starts of a forward/backward walk (null when empty).
    virtual ValueListNode* HeadNode() const;
    virtual ValueListNode* TailNode() const;
    // The node's value, 0 for a null node.
    virtual ListValue ValueAt(const ValueListNode* node) const;
    // The value at `position`, which then moves to the next/previous node; 0 (position kept
    // null) when the position is null.
    virtual ListValue NextValue(ValueListNode*& position) const;
    virtual ListValue PrevValue(ValueListNode*& position) const;
    // First node from the head holding `value`, or null.
    virtual ValueListNode* FindNode(ListValue value) const;
    // Node at zero-based `index`, walked from the nearer end; null when index >= Count.
    // A negative index yields the head.
    virtual ValueListNode* NodeAt(int32_t index) const;
    virtual void AddHead(ListValue value);
    // Same as AddTail; the second argument is ignored.
    virtual void Add(ListValue value, uintptr_t ignored);
    virtual void AddTail(ListValue value);
    // New node before `node`; a null node appends.
    virtual void InsertBefore(ValueListNode* node, ListValue value);
    // Copies every value of `other`, in order, right after the first node holding `key`
    // (appended when no node holds it). `other` is unchanged; returns its count.
    virtual int32_t InsertListAfter(const ValueList& other, ListValue key);
    virtual bool Contains(ListValue value) const;
    // Removes the first node holding `value`, if any.
    virtual void Remove(ListValue value);
    // Remove the head/tail node and return its value; 0 when empty.
    virtual ListValue RemoveHead();
    virtual ListValue RemoveTail();
    // Removes `node` (which must belong to this list); null does nothing.
    virtual void RemoveAt(ValueListNode* node);
    virtual void RemoveAll();
    // A new list with copies of the nodes (values copied, not what they point to); the
    // caller owns it. Null if memory runs out.
    virtual ValueList* Clone() const;

private:
    // Links a new node after `anchor` (null: in front of head). Null when allocation fails.
    ValueListNode* LinkAfter(ValueListNode* anchor, ListValue value);
    void Unlink(ValueListNode* node);

    ValueListNode* head_ = nullptr;
    ValueListNode* tail_ = nullptr;
    int32_t count_ = 0;
};

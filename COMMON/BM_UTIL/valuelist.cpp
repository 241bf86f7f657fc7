#include "COMMON/BM_UTIL/valuelist.h"

#include <new>

#include "COMMON/BM_UTIL/bmassert.h"

ValueList::~ValueList() {
    RemoveAll();
}

bool ValueList::IsEmpty() const {
    return head_ == nullptr;
}

int32_t ValueList::Count() const {
    return count_;
}

ListValue ValueList::HeadValue() const {
    return head_ ? head_->value : 0;
}

ListValue ValueList::TailValue() const {
    return tail_ ? tail_->value : 0;
}

ValueListNode* ValueList::HeadNode() const {
    return head_;
}

ValueListNode* ValueList::TailNode() const {
    return tail_;
}

ListValue ValueList::ValueAt(const ValueListNode* node) const {
    return node ? node->value : 0;
}

ListValue ValueList::NextValue(ValueListNode*& position) const {
    if (!position) {
        return 0;
    }
    const ListValue value = position->value;
    position = position->next;
    return value;
}

ListValue ValueList::PrevValue(ValueListNode*& position) const {
    if (!position) {
        return 0;
    }
    const ListValue value = position->value;
    position = position->prev;
    return value;
}

ValueListNode* ValueList::FindNode(ListValue value) const {
    for (ValueListNode* node = head_; node; node = node->next) {
        if (node->value == value) {
            return node;
        }
    }
    return nullptr;
}

ValueListNode* ValueList::NodeAt(int32_t index) const {
    if (index < count_ / 2) {
        ValueListNode* node = head_;
        for (int32_t i = 0; i < index && node; ++i) {
            node = node->next;
        }
        return node;
    }
    if (index >= count_) {
        return nullptr;
    }
    ValueListNode* node = tail_;
    for (int32_t i = 0; i < count_ - 1 - index && node; ++i) {
        node = node->prev;
    }
    return node;
}

ValueListNode* ValueList::LinkAfter(ValueListNode* anchor, ListValue value) {
    ValueListNode* node = new (std::nothrow) ValueListNode{nullptr, nullptr, value};
    if (!node) {
        BM_ASSERT_REPORT();
        return nullptr;
    }
    ValueListNode* following = anchor ? anchor->next : head_;
    node->prev = anchor;
    node->next = following;
    if (anchor) {
        anchor->next = node;
    } else {
        head_ = node;
    }
    if (following) {
        following->prev = node;
    } else {
        tail_ = node;
    }
    ++count_;
    return node;
}

void ValueList::Unlink(ValueListNode* node) {
    if (node->prev) {
        node->prev->next = node->next;
    } else {
        head_ = node->next;
    }
    if (node->next) {
        node->next->prev = node->prev;
    } else {
        tail_ = node->prev;
    }
    delete node;
    --count_;
}

void ValueList::AddHead(ListValue value) {
    LinkAfter(nullptr, value);
}

void ValueList::Add(ListValue value, uintptr_t) {
    AddTail(value);
}

void ValueList::AddTail(ListValue value) {
    LinkAfter(tail_, value);
}

void ValueList::InsertBefore(ValueListNode* node, ListValue value) {
    if (!node) {
        AddTail(value);
        return;
    }
    LinkAfter(node->prev, value);
}

int32_t ValueList::InsertListAfter(const ValueList& other, ListValue key) {
    if (&other == this) {
        // Walking a list while inserting into it could meet its own new nodes: copy first.
        ValueList* copy = Clone();
        if (!copy) {
            return other.Count();
        }
        const int32_t added = InsertListAfter(*copy, key);
        delete copy;
        return added;
    }
    ValueListNode* source = other.HeadNode();
    ValueListNode* anchor = FindNode(key);
    while (source) {
        const ListValue value = other.NextValue(source);
        if (!anchor) {
            AddTail(value);
        } else {
            ValueListNode* inserted = LinkAfter(anchor, value);
            if (inserted) {
                anchor = inserted;
            }
        }
    }
    return other.Count();
}

bool ValueList::Contains(ListValue value) const {
    return FindNode(value) != nullptr;
}

void ValueList::Remove(ListValue value) {
    ValueListNode* node = FindNode(value);
    if (node) {
        Unlink(node);
    }
}

ListValue ValueList::RemoveHead() {
    if (!head_) {
        return 0;
    }
    const ListValue value = head_->value;
    Unlink(head_);
    return value;
}

ListValue ValueList::RemoveTail() {
    if (!tail_) {
        return 0;
    }
    const ListValue value = tail_->value;
    Unlink(tail_);
    return value;
}

void ValueList::RemoveAt(ValueListNode* node) {
    if (node) {
        Unlink(node);
    }
}

void ValueList::RemoveAll() {
    ValueListNode* node = head_;
    while (node) {
        ValueListNode* next = node->next;
        delete node;
        node = next;
    }
    head_ = nullptr;
    tail_ = nullptr;
    count_ = 0;
}

ValueList* ValueList::Clone() const {
    ValueList* copy = new (std::nothrow) ValueList;
    if (!copy) {
        return nullptr;
    }
    for (ValueListNode* node = head_; node; node = node->next) {
        copy->AddTail(node->value);
    }
    return copy;
}

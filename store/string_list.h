#pragma once

#include <cstddef>
#include <string>

namespace brevin {

class listas;

/// A node that links itself at the tail of a list when it is made and unlinks itself when it
/// is destroyed, so the owner of a list holds nothing but the head pointer. Nodes are made
/// on the heap, one at a time, and destroyed through `delete`.
class xlista {
public:
    virtual ~xlista();
    xlista(const xlista&) = delete;
    xlista& operator=(const xlista&) = delete;

    [[nodiscard]] listas* Next() const { return m_next; }
    [[nodiscard]] listas* Prev() const { return m_prev; }

protected:
    explicit xlista(listas** head) : m_head(head) {}
    /// Appends `self` (this node, once fully made) at the tail of the list.
    void Link(listas* self);

private:
    listas* m_next = nullptr;
    listas* m_prev = nullptr;
    listas** m_head;
};

/// The node of every list the server keeps: users, recipients, deletion marks.
class listas final : public xlista {
public:
    explicit listas(listas** head) : xlista(head) { Link(this); }

    std::string m_text;
};

/// Appends a node holding `text` at the tail of the list.
listas* AppendText(listas*& head, std::string text);
/// Destroys every node and leaves the head null.
void FreeList(listas*& head);
std::size_t CountList(const listas* head);

} // namespace brevin

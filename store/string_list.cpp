#include "store/string_list.h"

namespace brevin {

void xlista::Link(listas* self) {
    if (*m_head == nullptr) {
        *m_head = self;
        return;
    }
    listas* last = *m_head;
    while (last->m_next != nullptr) {
        last = last->m_next;
    }
    last->m_next = self;
    m_prev = last;
}

xlista::~xlista() {
    if (m_prev != nullptr) {
        m_prev->m_next = m_next;
    } else {
        *m_head = m_next;
    }
    if (m_next != nullptr) {
        m_next->m_prev = m_prev;
    }
}

listas* AppendText(listas*& head, std::string text) {
    auto* node = new listas(&head);
    node->m_text = std::move(text);
    return node;
}

void FreeList(listas*& head) {
    while (head != nullptr) {
        // Each node unlinks itself and moves the head on; the analyser cannot follow that.
        delete head; // NOLINT(clang-analyzer-cplusplus.NewDelete)
    }
}

std::size_t CountList(const listas* head) {
    std::size_t count = 0;
    for (; head != nullptr; head = head->Next()) {
        ++count;
    }
    return count;
}

} // namespace brevin

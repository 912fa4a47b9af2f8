#include "smtp/delivery_queue.h"

#include <algorithm>
#include <chrono>

namespace brevin {

DeliveryQueue::DeliveryQueue(EventLoop& loop, UserDirectory& users)
    : m_users(users), m_turnEnd(loop, [this] { OnTurnEnd(); }) {}

void DeliveryQueue::TakeNumber(const Delivery& delivery, Numbered numbered) {
    m_askingNumbers.emplace_back(&delivery, std::move(numbered));
    AtTurnEnd();
}

void DeliveryQueue::Submit(Delivery& delivery, Done done) {
    m_waiting.emplace_back(&delivery, std::move(done));
    AtTurnEnd();
}

void DeliveryQueue::AtTurnEnd() {
    if (!m_turnEnd.Pending()) {
        m_turnEnd.Start(std::chrono::milliseconds(0));
    }
}

void DeliveryQueue::Withdraw(const Delivery& delivery) {
    // A number asked for is still taken: the counter advances at DATA, answered or not.
    for (auto& [asker, numbered] : m_askingNumbers) {
        if (asker == &delivery) {
            asker = nullptr;
            numbered = nullptr;
        }
    }
    std::erase_if(m_waiting, [&](const auto& waiting) { return waiting.first == &delivery; });
}

void DeliveryQueue::OnTurnEnd() {
    // Both lists are taken out first: answering a session may let it go on to its next
    // message, whose work then waits for the next turn.
    const auto batch = std::exchange(m_waiting, {});
    const auto asking = std::exchange(m_askingNumbers, {});
    if (!batch.empty()) {
        std::vector<Delivery*> deliveries;
        deliveries.reserve(batch.size());
        for (const auto& waiting : batch) {
            deliveries.push_back(waiting.first);
        }
        FileMessages(m_users.Profile(), deliveries);
    }
    std::uint32_t number =
        asking.empty()
            ? 0
            : TakeMessageNumbers(m_users.Profile(), static_cast<std::uint32_t>(asking.size()));
    for (const auto& [delivery, done] : batch) {
        done(delivery->filed);
    }
    for (const auto& [delivery, numbered] : asking) {
        if (numbered) {
            numbered(number);
        }
        ++number;
    }
}

} // namespace brevin

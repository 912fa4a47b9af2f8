#include "smtp/delivery_queue.h"

#include <algorithm>
#include <chrono>

namespace brevin {

DeliveryQueue::DeliveryQueue(EventLoop& loop, UserDirectory& users)
    : m_users(users), m_workerProfile(users.Profile().Path()), m_workerNumbers(m_workerProfile),
      m_turnEnd(loop, [this] { OnTurnEnd(); }), m_worker(loop) {}

DeliveryQueue::~DeliveryQueue() = default;

void DeliveryQueue::TakeNumber(const Delivery& delivery, Numbered numbered) {
    m_askingNumbers.emplace_back(&delivery, std::move(numbered));
    AtTurnEnd();
}

void DeliveryQueue::Submit(Delivery& delivery, Done done) {
    m_waiting.push_back(
        {&delivery, std::make_unique<Delivery>(std::move(delivery)), std::move(done)});
    delivery = Delivery();
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
    std::erase_if(m_waiting, [&](const Submitted& waiting) { return waiting.key == &delivery; });
    // The worker may be using it: it is only marked, and dealt with when the round is back.
    for (Submitted& filing : m_filing) {
        if (filing.key == &delivery) {
            filing.key = nullptr;
            filing.done = nullptr;
        }
    }
}

std::uint32_t DeliveryQueue::Numbers(std::uint32_t count) {
    if (m_block.left < count && m_spare.left >= count) {
        m_block = std::exchange(m_spare, Block{});
    }
    std::uint32_t first = 0;
    if (m_block.left >= count) {
        first = m_block.next;
        m_block.next += count;
        m_block.left -= count;
    } else {
        // More asked at once than was reserved ahead: the loop waits for the profile this once.
        first = TakeMessageNumbers(m_users.Profile(), count);
    }
    if (m_spare.left == 0) {
        RefillNumbers();
    }
    return first;
}

void DeliveryQueue::RefillNumbers() {
    if (m_refilling) {
        return;
    }
    m_refilling = true;
    auto block = std::make_shared<Block>();
    m_worker.Post(
        [this, block] {
            block->left = MessageNumbers::kBlock;
            block->next = m_workerNumbers.Take(block->left);
        },
        [this, block] {
            m_refilling = false;
            m_spare = *block;
        });
}

void DeliveryQueue::OnTurnEnd() {
    if (!m_roundUnderWay && !m_waiting.empty()) {
        StartRound();
    }
    const auto asking = std::exchange(m_askingNumbers, {});
    if (asking.empty()) {
        return;
    }
    std::uint32_t number = Numbers(static_cast<std::uint32_t>(asking.size()));
    for (const auto& [delivery, numbered] : asking) {
        if (numbered) {
            numbered(number);
        }
        ++number;
    }
}

void DeliveryQueue::StartRound() {
    m_roundUnderWay = true;
    m_filing = std::exchange(m_waiting, {});
    // The worker gets the deliveries alone; the loop keeps the bookkeeping around them and
    // touches neither the deliveries nor their storage until the round is back.
    std::vector<Delivery*> deliveries;
    deliveries.reserve(m_filing.size());
    for (const Submitted& filing : m_filing) {
        deliveries.push_back(filing.delivery.get());
    }
    m_worker.Post(
        [this, deliveries = std::move(deliveries)] { FileMessages(m_workerNumbers, deliveries); },
        [this] { RoundFiled(); });
}

void DeliveryQueue::RoundFiled() {
    auto round = std::exchange(m_filing, {});
    m_roundUnderWay = false;
    // Filed for a session that has gone: its client never heard 250 and will send it again.
    auto withdrawn = std::make_shared<std::vector<std::unique_ptr<Delivery>>>();
    for (Submitted& filed : round) {
        if (filed.done) {
            filed.done(*filed.delivery);
        } else if (filed.delivery->filed) {
            withdrawn->push_back(std::move(filed.delivery));
        }
    }
    if (!withdrawn->empty()) {
        m_worker.Post(
            [withdrawn] {
                std::vector<Delivery*> deliveries;
                for (const auto& d : *withdrawn) {
                    deliveries.push_back(d.get());
                }
                UnfileMessages(deliveries);
            },
            [withdrawn] {});
    }
    if (!m_waiting.empty()) {
        AtTurnEnd();
    }
}

} // namespace brevin

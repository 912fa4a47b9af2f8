#include "smtp/delivery_queue.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

namespace brevin {

DeliveryQueue::DeliveryQueue(EventLoop& loop, UserDirectory& users)
    : m_users(users), m_space(SpaceLedger::FreeBytesOf([&users] { return users.StoreRoot(); })),
      m_workerProfile(users.Profile().Path()), m_workerNumbers(m_workerProfile),
      m_turnEnd(loop, [this] { OnTurnEnd(); }), m_opener(loop), m_worker(loop) {
    m_workerProfile.SetLockPatience(users.Profile().LockPatience());
}

DeliveryQueue::~DeliveryQueue() = default;

void DeliveryQueue::TakeNumber(const Delivery& delivery, Numbered numbered) {
    m_askingNumbers.emplace_back(&delivery, std::move(numbered));
    AtTurnEnd();
}

void DeliveryQueue::OpenMessage(const Delivery& delivery, std::string folder, Opened opened) {
    TakeNumber(delivery, [this, key = &delivery, folder = std::move(folder),
                          opened = std::move(opened)](std::uint32_t number) mutable {
        m_toOpen.push_back({key, std::move(folder), number, std::move(opened)});
    });
}

void DeliveryQueue::Submit(Delivery& delivery, Done done) {
    // The copies are numbered now, next to the numbers of the messages that follow: filing
    // would take theirs past the reserved blocks, and a mailbox lists in number order.
    if (const auto copies = static_cast<std::uint32_t>(delivery.copyFolders.size()); copies > 0) {
        delivery.firstCopyNumber = TakeFromBlocks(copies);
    }
    // The queue owns the message from now on, so a session that ends cannot pull it from under
    // the worker; the session keeps only the address, as a key for Withdraw.
    auto owned = std::make_unique<Delivery>(std::move(delivery));
    delivery = Delivery();
    m_waiting.push_back({&delivery, std::move(owned), std::move(done)});
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
    // A file being made is removed once it is back.
    const auto forget = [&](OpenBatch& batch) {
        for (ToOpen& asker : batch) {
            if (asker.key == &delivery) {
                asker.key = nullptr;
                asker.opened = nullptr;
            }
        }
    };
    forget(m_toOpen);
    for (const auto& batch : m_opening) {
        forget(*batch);
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

std::optional<std::uint32_t> DeliveryQueue::TakeFromBlocks(std::uint32_t count) {
    if (m_block.left == 0) {
        m_block = std::exchange(m_spare, Block{});
    }
    if (m_block.left < count) {
        return std::nullopt;
    }
    const std::uint32_t first = m_block.next;
    m_block.next += count;
    m_block.left -= count;
    return first;
}

void DeliveryQueue::RefillNumbers() {
    if (m_refilling) {
        return;
    }
    m_refilling = true;
    auto block = std::make_shared<Block>();
    // On the worker: the profile's lock may be held, and its write waits for the disk. The
    // loop never does either; sessions asking meanwhile wait for this block.
    m_worker.Post(
        [this, block] {
            block->left = MessageNumbers::kBlock;
            block->next = m_workerNumbers.Take(block->left);
        },
        [this, block] {
            m_refilling = false;
            m_spare = *block;
            if (!m_askingNumbers.empty()) {
                AtTurnEnd();
            }
        });
}

void DeliveryQueue::OnTurnEnd() {
    if (m_filing.empty() && !m_waiting.empty()) {
        StartRound();
    }
    std::size_t served = 0;
    for (; served < m_askingNumbers.size(); ++served) {
        const auto number = TakeFromBlocks(1);
        if (!number) {
            break;
        }
        if (auto& [delivery, numbered] = m_askingNumbers[served]; numbered) {
            numbered(*number);
        }
    }
    // Callbacks only answer later: nothing above adds to the list while it is walked.
    m_askingNumbers.erase(m_askingNumbers.begin(),
                          m_askingNumbers.begin() + static_cast<std::ptrdiff_t>(served));
    StartOpening();
    if (m_spare.left == 0) {
        RefillNumbers();
    }
}

void DeliveryQueue::StartOpening() {
    if (m_toOpen.empty()) {
        return;
    }
    // A lone file, while no other mail is on its way, is made at once: the hand-off to the
    // opener and back would cost its client more than the loop saves.
    if (m_toOpen.size() == 1 && m_opening.empty() && m_filing.empty() && m_waiting.empty()) {
        ToOpen asker = std::move(m_toOpen.front());
        m_toOpen.clear();
        if (asker.opened) {
            IncomingMessage message;
            message.Open(asker.folder, asker.number);
            asker.opened(std::move(message));
        }
        return;
    }
    auto batch = std::make_shared<OpenBatch>(std::exchange(m_toOpen, {}));
    m_opening.push_back(batch);
    // The opener gets its own list of what to make; the loop may still forget an asker.
    std::vector<std::pair<std::string, std::uint32_t>> files;
    files.reserve(batch->size());
    for (const ToOpen& asker : *batch) {
        files.emplace_back(asker.folder, asker.number);
    }
    auto made = std::make_shared<std::vector<IncomingMessage>>(files.size());
    m_opener.Post(
        [made, files = std::move(files)] {
            for (std::size_t i = 0; i < files.size(); ++i) {
                (*made)[i].Open(files[i].first, files[i].second);
            }
        },
        [this, batch, made] {
            // Still listed meanwhile: an answer may end another asker's session.
            for (std::size_t i = 0; i < batch->size(); ++i) {
                if (const Opened opened = std::exchange((*batch)[i].opened, nullptr)) {
                    opened(std::move((*made)[i]));
                }
            }
            std::erase(m_opening, batch);
            // The files of askers that have gone are removed with `made`.
        });
}

void DeliveryQueue::StartRound() {
    m_filing = std::exchange(m_waiting, {});
    // The worker gets the deliveries alone; the loop keeps the bookkeeping around them and
    // touches neither the deliveries nor their storage until the round is back.
    std::vector<Delivery*> deliveries;
    deliveries.reserve(m_filing.size());
    for (const Submitted& filing : m_filing) {
        deliveries.push_back(filing.delivery.get());
    }
    m_worker.Post(
        [this, deliveries = std::move(deliveries),
         journal = FilingJournalPath(m_users.StoreRoot())] {
            FileMessages(m_workerNumbers, deliveries, journal);
        },
        [this] { RoundFiled(); });
}

void DeliveryQueue::RoundFiled() {
    auto round = std::exchange(m_filing, {});
    // The disk goes on with the mail that waited before the senders of this round are
    // answered: those replies and the rest of the turn would otherwise leave it idle.
    if (!m_waiting.empty()) {
        StartRound();
    }
    // Filed for a session that has gone: its client never heard 250 and will send it again.
    auto withdrawn = std::make_shared<std::vector<std::unique_ptr<Delivery>>>();
    if (m_filed) {
        std::map<std::string, std::vector<FiledFile>> folders;
        const auto add = [&folders](const IncomingMessage& file, std::uint64_t size) {
            const std::string& path = file.Path();
            folders[file.Folder()].push_back({path.substr(path.rfind('/') + 1), size});
        };
        for (const Submitted& filed : round) {
            if (filed.delivery->filed) {
                const IncomingMessage& message = filed.delivery->message;
                add(message, message.ClientSize());
                for (const IncomingMessage& copy : filed.delivery->copies) {
                    add(copy, message.ClientSize()); // a copy holds the message's bytes
                }
            }
        }
        for (const auto& [folder, files] : folders) {
            m_filed(folder, files);
        }
    }
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
}

} // namespace brevin

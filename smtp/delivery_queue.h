#pragma once

#include "engine/event_loop.h"
#include "store/delivery.h"
#include "store/users.h"

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace brevin {

/// Where SMTP sessions leave the work that costs a flush of the disk: taking a message number
/// (a rewrite of the profile) and filing a message whose data is complete. The work waits until
/// the loop has dispatched everything that was ready, and is then done for all of them at
/// once: one rewrite of the profile for every number asked for in the turn, one round of
/// flushes (`FileMessages`) for every message finished in it. Sessions that get busy together
/// thus share the cost instead of waiting for each other's, one after the other.
class DeliveryQueue {
public:
    using Numbered = std::function<void(std::uint32_t number)>;
    using Done = std::function<void(bool filed)>;

    DeliveryQueue(EventLoop& loop, UserDirectory& users);
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    [[nodiscard]] UserDirectory& Users() { return m_users; }

    /// Takes the number for the message of `delivery` with the others asked for in this turn,
    /// then calls `numbered`.
    void TakeNumber(const Delivery& delivery, Numbered numbered);
    /// Files `delivery` with the others of this turn, then calls `done`. The delivery must
    /// live until then, or be withdrawn.
    void Submit(Delivery& delivery, Done done);
    /// Forgets whatever `delivery` still waits for (its session is ending). A number it asked
    /// for is still taken, as DATA takes one whether or not its reply is heard.
    void Withdraw(const Delivery& delivery);

private:
    /// Makes sure the waiting work is done once the current batch has been dispatched.
    void AtTurnEnd();
    void OnTurnEnd();

    UserDirectory& m_users;
    Timer m_turnEnd; // due at once: it fires after the sockets that are ready now
    std::vector<std::pair<const Delivery*, Numbered>> m_askingNumbers;
    std::vector<std::pair<Delivery*, Done>> m_waiting;
};

} // namespace brevin

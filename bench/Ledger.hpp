// The generator's book of every message: what each sender sent, what each receiver got from
// each sender and in which order, and which messages every receiver has acknowledged by
// receiving them, which is what opens a sender's window for more.
#pragma once

#include "Payload.hpp"

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace tnlrelay::bench {

/// Faults found over a run; all zero when the relay delivered everything, once, in order.
struct LedgerTotals {
    std::uint64_t sent = 0;       ///< messages sent
    std::uint64_t expected = 0;   ///< deliveries owed: each message to every other room member
    std::uint64_t delivered = 0;  ///< intact deliveries received
    std::uint64_t lost = 0;       ///< deliveries owed and never received
    std::uint64_t reordered = 0;  ///< arrivals older than one already received from that sender
    std::uint64_t duplicate = 0;  ///< deliveries received more often than the message was sent
    std::uint64_t corrupt = 0;    ///< messages whose bytes, length or type were wrong
    std::uint64_t unexpected = 0; ///< messages from nobody in the room, from oneself, or never sent

    bool clean() const { return !lost && !reordered && !duplicate && !corrupt && !unexpected; }
};

/// What one arrival meant.
enum class Receipt { booked, windowOpened, unexpected, corrupt };

/// Clients are numbered room by room: client c is member c % members of room c / members.
class Ledger {
public:
    /// `window`: how many of its messages a sender may have out that not every other member of
    /// its room has received yet.
    Ledger(std::uint32_t rooms, std::uint32_t members, std::uint32_t window);

    std::uint32_t clients() const { return rooms_ * members_; }
    bool canSend(std::uint32_t sender) const;
    /// Books the next message of `sender` and returns its sequence number.
    std::uint32_t send(std::uint32_t sender);
    /// Books an intact message; `windowOpened` when it let its sender send more.
    Receipt receive(std::uint32_t receiver, std::uint32_t sender, std::uint32_t seq);
    /// Books a whole received message after checking its type, size and bytes.
    Receipt receiveMessage(std::uint32_t receiver, bool binary, const PayloadCheck& check,
                           std::uint64_t expectedSize);
    /// True once every message sent so far has reached every other member of its room.
    bool settled() const { return delivered_ >= expected_; }
    std::uint64_t delivered() const { return delivered_; }
    /// Counts what is missing now; call after the last deliveries were awaited.
    LedgerTotals totals() const;

private:
    bool takeMissing(std::uint32_t pair, std::uint32_t seq);
    std::uint32_t pairIndex(std::uint32_t receiver, std::uint32_t sender) const {
        return receiver * members_ + slot_[sender];
    }
    /// The window slot of a sequence number (a mask when the window is a power of two: this
    /// runs once per delivery, and divisions are slow).
    std::uint32_t windowSlot(std::uint32_t seq) const {
        return windowMask_ ? seq & windowMask_ : seq % window_;
    }

    std::uint32_t rooms_;
    std::uint32_t members_;
    std::uint32_t window_;
    std::uint32_t windowMask_ = 0;        // window_ - 1 when window_ is a power of two above 1
    std::vector<std::uint32_t> room_;     // per client: its room
    std::vector<std::uint32_t> slot_;     // per client: its place in the room
    std::vector<std::uint32_t> sent_;     // per sender
    std::vector<std::uint32_t> acked_;    // per sender: every seq below it reached everyone
    std::vector<std::uint16_t> ackCount_; // per sender, window_ slots: receivers of seq % window
    std::vector<std::uint32_t> next_;     // per (receiver, sender): one past the highest seq seen
    // Per (receiver, sender), only after a gap: ranges [first, last) skipped and not yet seen.
    std::map<std::uint32_t, std::vector<std::pair<std::uint32_t, std::uint32_t>>> missing_;
    std::uint64_t expected_ = 0;
    std::uint64_t delivered_ = 0;
    std::uint64_t reordered_ = 0;
    std::uint64_t duplicate_ = 0;
    std::uint64_t corrupt_ = 0;
    std::uint64_t unexpected_ = 0;
};

} // namespace tnlrelay::bench

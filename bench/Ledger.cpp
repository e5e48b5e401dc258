// Accounting of deliveries per sender and receiver; see Ledger.hpp.
#include "Ledger.hpp"

namespace tnlrelay::bench {

Ledger::Ledger(std::uint32_t rooms, std::uint32_t members, std::uint32_t window)
    : rooms_(rooms), members_(members), window_(window ? window : 1),
      sent_(std::size_t(rooms) * members), acked_(std::size_t(rooms) * members),
      ackCount_(std::size_t(rooms) * members * window_),
      next_(std::size_t(rooms) * members * members) {
    if (window_ > 1 && (window_ & (window_ - 1)) == 0) windowMask_ = window_ - 1;
    room_.resize(clients());
    slot_.resize(clients());
    for (std::uint32_t c = 0; c < clients(); ++c) {
        room_[c] = c / members_;
        slot_[c] = c % members_;
    }
}

bool Ledger::canSend(std::uint32_t sender) const {
    return sent_[sender] - acked_[sender] < window_;
}

std::uint32_t Ledger::send(std::uint32_t sender) {
    expected_ += members_ - 1;
    if (members_ == 1) ++acked_[sender]; // nobody to wait for
    return sent_[sender]++;
}

Receipt Ledger::receiveMessage(std::uint32_t receiver, bool binary, const PayloadCheck& check,
                               std::uint64_t expectedSize) {
    if (!binary || !check.ok() || check.size() != expectedSize) {
        ++corrupt_;
        return Receipt::corrupt;
    }
    return receive(receiver, check.head().sender, check.head().seq);
}

Receipt Ledger::receive(std::uint32_t receiver, std::uint32_t sender, std::uint32_t seq) {
    if (sender >= clients() || receiver >= clients() || sender == receiver ||
        room_[sender] != room_[receiver] || seq >= sent_[sender]) {
        ++unexpected_;
        return Receipt::unexpected;
    }
    const std::uint32_t pair = pairIndex(receiver, sender);
    std::uint32_t& next = next_[pair];
    if (seq > next) {
        missing_[pair].emplace_back(next, seq); // a gap: lost unless they turn up later
        next = seq + 1;
    } else if (seq == next) {
        ++next;
    } else if (!takeMissing(pair, seq)) {
        ++duplicate_;
        return Receipt::booked;
    } else {
        ++reordered_;
    }
    ++delivered_;

    // Only the messages of the open window are counted; anything older was settled already.
    std::uint32_t& acked = acked_[sender];
    if (seq < acked || seq - acked >= window_) return Receipt::booked;
    std::uint16_t* slots = &ackCount_[std::size_t(sender) * window_];
    ++slots[windowSlot(seq)];
    bool opened = false;
    while (acked < sent_[sender] && slots[windowSlot(acked)] >= members_ - 1) {
        slots[windowSlot(acked)] = 0;
        ++acked;
        opened = true;
    }
    return opened ? Receipt::windowOpened : Receipt::booked;
}

bool Ledger::takeMissing(std::uint32_t pair, std::uint32_t seq) {
    const auto it = missing_.find(pair);
    if (it == missing_.end()) return false;
    auto& ranges = it->second;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        auto [first, last] = ranges[i];
        if (seq < first || seq >= last) continue;
        if (first + 1 == last) {
            ranges.erase(ranges.begin() + std::ptrdiff_t(i));
        } else if (seq == first) {
            ranges[i].first = seq + 1;
        } else if (seq + 1 == last) {
            ranges[i].second = seq;
        } else {
            ranges[i].second = seq;
            ranges.emplace_back(seq + 1, last);
        }
        return true;
    }
    return false;
}

LedgerTotals Ledger::totals() const {
    LedgerTotals t;
    t.expected = expected_;
    t.delivered = delivered_;
    t.reordered = reordered_;
    t.corrupt = corrupt_;
    t.unexpected = unexpected_;
    t.duplicate = duplicate_;
    for (const auto& [pair, ranges] : missing_)
        for (const auto& [first, last] : ranges)
            t.lost += last - first;
    for (std::uint32_t s = 0; s < clients(); ++s) {
        t.sent += sent_[s];
        const std::uint32_t first = s / members_ * members_;
        for (std::uint32_t r = first; r < first + members_; ++r) {
            if (r == s) continue;
            t.lost += sent_[s] - next_[pairIndex(r, s)];
        }
    }
    return t;
}

} // namespace tnlrelay::bench

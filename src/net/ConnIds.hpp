// Connection ids: unsigned 32-bit, from 1, increasing; after the largest the counter wraps,
// skipping 0 and every id still in use, so that an id never names two live connections.
#pragma once

#include "Net.hpp"

namespace tnlrelay::net {

/// The first id after `last` for which `inUse(id)` is false.
template <class InUse> ConnId nextFreeId(ConnId last, const InUse& inUse) {
    for (;;) {
        ++last;
        if (last != 0 && !inUse(last)) return last;
    }
}

} // namespace tnlrelay::net

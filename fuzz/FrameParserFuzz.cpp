// Fuzz target: the WebSocket frame parser, fed in pieces of varying size through both of its
// entry points (plain feeding and reading straight into a long frame), with a small budget so
// that the size limits are reached too.
#include "net/Buffers.hpp"
#include "net/WsFrames.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace tnlrelay::net;

namespace {

struct Sink {
    std::size_t messages = 0;
    std::size_t bytes = 0;
    bool failed = false;
    void onMessage(const char* data, std::size_t len, SharedBuf*, int opcode) {
        if (opcode != 1 && opcode != 2) std::abort();
        // Touch every byte, so that a wrong length is caught by the sanitizers.
        for (std::size_t i = 0; i < len; ++i)
            bytes += static_cast<unsigned char>(data[i]) & 1;
        ++messages;
    }
    void onControl(int opcode, const char* data, std::size_t len) {
        if (opcode < 8 || len > 125) std::abort();
        for (std::size_t i = 0; i < len; ++i)
            bytes += static_cast<unsigned char>(data[i]) & 1;
    }
    void onProtocolError(std::uint16_t code) {
        if (failed || code < 1000) std::abort();
        failed = true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte chooses the piece size, the second the budget's message limit.
    const std::size_t piece = 1 + data[0] % 64;
    InboundBudget budget;
    budget.maxMessage = 16 + std::size_t(data[1]) * 64;
    budget.limit = budget.maxMessage * 2;
    std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);
    {
        FrameParser parser(&budget);
        Sink sink;
        std::size_t pos = 0;
        bool direct = data[0] & 0x80;
        while (pos < input.size()) {
            std::size_t want = std::min(piece, input.size() - pos);
            std::size_t room = 0;
            char* target = direct ? parser.directTarget(want, room) : nullptr;
            bool ok;
            if (target != nullptr) {
                if (room == 0 || room > want) std::abort();
                std::memcpy(target, input.data() + pos, room);
                ok = parser.directDone(sink, room);
                pos += room;
            } else {
                ok = parser.feed(sink, input.data() + pos, want);
                pos += want;
            }
            if (!ok) break;
        }
        if (budget.used > budget.limit) std::abort();
    }
    // Every byte held for an unfinished message is given back with the parser.
    if (budget.used != 0) std::abort();
    return 0;
}

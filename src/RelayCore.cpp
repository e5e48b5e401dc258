// The relay core's life: construction, opening the two listeners, the event loop with its stop
// flag, and the destruction that closes every connection through the ordinary close handling.
#include "RelayCore.hpp"

#include <algorithm>
#include <string>

namespace tnlrelay {

namespace {
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr std::uint64_t kLogLimit = 1048576;
constexpr std::int32_t kLogGenerations = 5;
} // namespace

namespace {
// The adapter refuses messages above the configured size before it has buffered them whole.
net::Limits withMessageLimit(net::Limits limits, const RelayConfig& config) {
    limits.maxMessageBytes = std::min(limits.maxMessageBytes, config.limits().maxMessageBytes);
    return limits;
}
} // namespace

RelayCore::RelayCore(RelayConfig cfg, net::Limits limits)
    : loop(std::make_unique<net::Loop>(withMessageLimit(limits, cfg))), config(std::move(cfg)),
      listenGamePort(config.gamePort), listenAdminPort(config.adminPort), configFile(configStamp()),
      log(logPath(), kLogLimit, kLogGenerations), adminHtml(loadAdminHtml()) {
    abuse = config.limits();
}

RelayCore::~RelayCore() {
    // Every connection closes first, while the tables and the log are intact, so that each
    // joined player gets its LEAVE line.
    loop.reset();
}

bool RelayCore::start() {
    // Saves cut short by a crash leave their temporary file behind; nothing else removes it.
    if (const int removed = removeStaleConfigTemps(); removed > 0)
        log.info("removed " + std::to_string(removed) +
                 " temporary files left by interrupted saves of config.json");
    if (!loop->listen("0.0.0.0", listenGamePort, &RelayCore::gameHandler, this)) {
        log.error("failed to bind game port " + std::to_string(listenGamePort) +
                  " (already in use?)");
        return false;
    }
    if (!loop->listen("127.0.0.1", listenAdminPort, &RelayCore::adminHandler, this)) {
        log.error("failed to bind admin port " + std::to_string(listenAdminPort));
        return false;
    }
    listening = true;
    log.info("relay listening ws://0.0.0.0:" + std::to_string(listenGamePort) +
             "  admin http://127.0.0.1:" + std::to_string(listenAdminPort));
    return true;
}

void RelayCore::runLoop() {
    while (!stopRequested.load()) {
        loop->poll(kPollInterval);
        const auto now = std::chrono::steady_clock::now();
        housekeeping(now);
        if (now >= nextSample) {
            sampleStats();
            // A loop that fell behind by seconds starts a fresh second rather than catching up.
            nextSample += std::chrono::seconds(1);
            if (nextSample <= now) nextSample = now + std::chrono::seconds(1);
        }
    }
    log.info("relay stopped");
}

void RelayCore::gameHandler(net::Conn* c, net::Event ev, const void* eventData, void* userData) {
    auto* core = static_cast<RelayCore*>(userData);
    if (!core) return;
    switch (ev) {
    case net::Event::httpMsg:
        core->onGameHttp(c, *static_cast<const net::HttpMessage*>(eventData));
        break;
    case net::Event::wsMsg:
        core->onGameMessage(c, *static_cast<const net::WsMessage*>(eventData));
        break;
    case net::Event::close:
        core->onClose(c);
        break;
    }
}

} // namespace tnlrelay

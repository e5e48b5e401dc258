// The relay core's life: construction, opening the two listeners, the event loop with its stop
// flag, and the destruction that closes every connection through the ordinary close handling.
#include "RelayCore.hpp"

#include "platform/Platform.hpp"
#include "text/Text.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace tnlrelay {

namespace {
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr std::uint64_t kLogLimit = 1048576;
constexpr std::int32_t kLogGenerations = 5;
constexpr auto kTlsCheckInterval = std::chrono::seconds(2);
constexpr auto kExpiryNoticeInterval = std::chrono::hours(24);
constexpr std::int64_t kExpiryWarningSeconds = 14 * 86400;

std::string utcDate(std::int64_t unixSeconds) {
    using namespace std::chrono;
    const sys_seconds at{seconds{unixSeconds}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{at - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()));
    return text;
}

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
} // namespace

namespace {
// The adapter refuses messages above the configured size before it has buffered them whole.
net::Limits withMessageLimit(net::Limits limits, const RelayConfig& config) {
    limits.maxMessageBytes = std::min(limits.maxMessageBytes, config.limits().maxMessageBytes);
    if (config.find("flushIntervalMicros")) limits.flushInterval = config.flushInterval();
    return limits;
}
} // namespace

RelayCore::RelayCore(RelayConfig cfg, net::Limits limits)
    : log(logPath(), kLogLimit, kLogGenerations), store(std::move(cfg)),
      listenGamePort(store.config().gamePort), listenAdminPort(store.config().adminPort),
      abuse(store.config().limits()), loop(withMessageLimit(limits, store.config()), cluster) {
    gamePortSettings = GamePortSettings::read(store.config().others, dataDir());
    loop->setTrustedProxies(gamePortSettings.trustedProxies);
    admin.setChecker(&passwordChecker);
}

bool RelayCore::start() {
    // Saves cut short by a crash leave their temporary file behind; nothing else removes it.
    if (const int removed = removeStaleConfigTemps(); removed > 0)
        log.info("removed " + std::to_string(removed) +
                 " temporary files left by interrupted saves of config.json");
    descriptors = platform::raiseDescriptorLimit();
    startTls();
    net::ListenOptions options;
    options.tls = true;
    options.tlsOnly = gamePortSettings.tlsOnly;
    options.proxyHeader = !gamePortSettings.trustedProxies.empty();
    if (!loop->listen(gamePortSettings.host, listenGamePort, &RelayCore::gameHandler, this,
                      options)) {
        log.error("failed to bind game port " + std::to_string(listenGamePort) +
                  " (already in use?)");
        return false;
    }
    admin.configure(AdminSettings::read(store.config().others), log);
    const std::string adminHost = adminListenHost();
    // With a certificate, this machine may use https:// too; other machines must.
    net::ListenOptions adminOptions;
    adminOptions.tls = true;
    if (!loop->listen(adminHost, listenAdminPort, &RelayCore::adminHandler, this, adminOptions)) {
        log.error("failed to bind admin port " + std::to_string(listenAdminPort) +
                  (adminHost == "127.0.0.1" ? "" : " on " + adminHost));
        return false;
    }
    listening = true;
    auto shown = [](const std::string& host) {
        return host.find(':') == std::string::npos ? host : "[" + host + "]";
    };
    log.info("relay listening ws://" + shown(gamePortSettings.host) + ":" +
             std::to_string(listenGamePort) + "  admin http" + (admin.remote() ? "s" : "") + "://" +
             shown(adminHost) + ":" + std::to_string(listenAdminPort));
    if (admin.remote())
        log.info("admin: other machines must use TLS and log in (" +
                 std::to_string(admin.settings().accounts.size()) + " accounts)" +
                 (admin.settings().loginOnLoopback ? "; so must this machine"
                                                   : "; this machine needs no login"));
    else if (admin.settings().loginOnLoopback)
        log.info("admin: this machine must log in too (adminLoginOnLoopback)");
    if (descriptors.now > descriptors.before)
        log.info("descriptors: up to " + std::to_string(descriptors.now) +
                 " open at once (the soft limit was " + std::to_string(descriptors.before) +
                 ", the hard limit is " + std::to_string(descriptors.hard) + ")");
    // After the start line, which stays a relay's first line: the cluster has its own lines.
    startCluster();
    return true;
}

void RelayCore::runLoop() {
    while (!stopRequested.load())
        turn();
    // Health checks have answered 503 since the flag was set. With a grace, the ports stay
    // open that long, still relaying, so that a balancer sees it and sends players elsewhere
    // before they close.
    const auto grace = store.config().stopGrace();
    if (grace.count() > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", grace.count() / 1000.0);
        log.info(std::string("relay stopping: health checks answer 503 for ") + seconds +
                 " s before the ports close");
        const auto end = std::chrono::steady_clock::now() + grace;
        while (std::chrono::steady_clock::now() < end)
            turn();
    }
    log.info("relay stopped");
}

void RelayCore::turn() {
    loop->poll(kPollInterval);
    const auto now = std::chrono::steady_clock::now();
    admin.finishLogins(log, now);
    if (platform::takeReloadRequest()) reloadNow();
    housekeeping(now);
    cluster.tick(now);
    if (now >= nextSample) {
        sampleStats();
        // A loop that fell behind by seconds starts a fresh second rather than catching up.
        nextSample += std::chrono::seconds(1);
        if (nextSample <= now) nextSample = now + std::chrono::seconds(1);
    }
    checkTls();
}

void RelayCore::startTls() {
    for (const std::string& entry : gamePortSettings.unusableProxies)
        log.error("trustedProxies: ignoring " + detail::logValue(entry) +
                  " (not an address or range)");
    if (!gamePortSettings.unusableForwardedHeader.empty())
        log.error("forwardedHeader: ignoring " +
                  detail::logValue(gamePortSettings.unusableForwardedHeader) +
                  " (not \"X-Forwarded-For\" or \"Forwarded\"); both are read");
    const GamePortSettings& s = gamePortSettings;
    if (s.certificate.empty()) return; // plain only, as without these keys ever
#ifndef TNLRELAY_TLS
    log.error("tlsCertificate and tlsPrivateKey are ignored: this build of the relay has no TLS; "
              "the game port serves plain connections only");
    return;
#endif
    std::string error;
    if (!loop->setTlsFiles(s.certificate, s.privateKey, error)) {
        log.error("TLS off: the certificate " +
                  detail::logValue(platform::pathUtf8(s.certificate)) + " and key " +
                  detail::logValue(platform::pathUtf8(s.privateKey)) +
                  " do not load: " + detail::logValue(error));
        return;
    }
    const net::TlsCertInfo& cert = *loop->tlsCertificate();
    log.info(std::string("TLS on") + (s.tlsOnly ? " (TLS only)" : " (TLS and plain)") +
             ": certificate " + detail::logValue(cert.subject) + ", expires " +
             utcDate(cert.notAfter));
    net::setTlsOwnRecords(s.tlsOwnRecords);
    if (!s.tlsOwnRecords)
        log.info("TLS records are left to the library (tlsOwnRecords is false)");
    else if (!net::tlsOwnRecordsInUse())
        log.info(
            "TLS records are left to the library: " + detail::logValue(net::tlsLibraryVersion()) +
            " is not a version the relay's own records were tested with");
    else
        log.info(std::string("TLS 1.3 records are sealed by the relay, AES-GCM ") +
                 (net::tlsVectorAesGcm() ? "on the vector instructions" : "by the library"));
}

// A connection whose records stayed with the library because something the hand-over relies
// on did not hold: said once per reason in the process's life, counted in the metrics.
void RelayCore::reportTlsDeclines() {
    static std::array<bool, net::kTlsDeclineReasons> said{};
    for (std::size_t i = 0; i < said.size(); ++i) {
        const auto why = static_cast<net::TlsDecline>(i);
        if (said[i] || net::tlsDeclined(why) == 0) continue;
        said[i] = true;
        log.info(std::string("TLS: a connection's records stay with the library (") +
                 net::tlsDeclineName(why) + "); further ones are only counted");
    }
}

void RelayCore::checkTls() {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextTlsCheck || gamePortSettings.certificate.empty()) return;
    nextTlsCheck = now + kTlsCheckInterval;
    reportTlsDeclines();
    std::string error;
    switch (loop->checkTlsFiles(error)) {
    case net::TlsCheck::loaded:
        log.info("TLS certificate reloaded: " + detail::logValue(loop->tlsCertificate()->subject) +
                 ", expires " + utcDate(loop->tlsCertificate()->notAfter));
        nextExpiryNotice = {};
        break;
    case net::TlsCheck::failed:
        log.error("TLS certificate files changed but do not load; keeping the current one: " +
                  detail::logValue(error));
        break;
    case net::TlsCheck::unchanged:
        break;
    }
    const net::TlsCertInfo* cert = loop->tlsCertificate();
    if (cert && now >= nextExpiryNotice && cert->notAfter - unixNow() < kExpiryWarningSeconds) {
        nextExpiryNotice = now + kExpiryNoticeInterval;
        log.info(std::string("TLS certificate ") +
                 (cert->notAfter < unixNow() ? "has expired" : "expires soon") + ": " +
                 detail::logValue(cert->subject) + ", " + utcDate(cert->notAfter));
    }
}

std::string RelayCore::adminListenHost() {
    const AdminSettings& s = admin.settings();
    if (admin.peers().isLocal(s.host)) return s.host;
    const std::string why = !loop->tlsCertificate()
                                ? "the game port's certificate (tlsCertificate and tlsPrivateKey "
                                  "that load)"
                            : s.accounts.empty() ? "at least one usable account in admins "
                                                   "(tnlrelay --set-admin-password NAME)"
                                                 : "";
    if (!why.empty()) {
        log.error("admin: not opened to other machines: adminHost " + detail::logValue(s.host) +
                  " needs " + why + "; the admin port listens on 127.0.0.1 only");
        return "127.0.0.1";
    }
    admin.setRemote(true);
    return s.host;
}

void RelayCore::reconfigure() {
    abuse.reconfigure(store.config().limits());
    admin.configure(AdminSettings::read(store.config().others), log);
}

void RelayCore::housekeeping(std::chrono::steady_clock::time_point now) {
    if (store.tick(now, log, counters)) reconfigure();
    abuse.sweep(now);
    admin.sweep(now);
    checkDescriptors(now);
}

// Running out of descriptors is said, at most once a minute while it lasts: joins in progress
// finish and the admin port answers, but new players wait at the door.
void RelayCore::checkDescriptors(std::chrono::steady_clock::time_point now) {
    const std::uint64_t paused = loop->stats().acceptOutOfDescriptors;
    if (paused == acceptPausesSeen || now < nextDescriptorError) return;
    acceptPausesSeen = paused;
    nextDescriptorError = now + std::chrono::minutes(1);
    const std::uint64_t limit = platform::descriptorLimit();
    log.error("out of descriptors: new connections wait until some close (this process may hold " +
              (limit ? std::to_string(limit) : std::string("no more")) +
              "; raise the hard limit: LimitNOFILE= in the unit, or ulimit -Hn)");
}

void RelayCore::pickUpConfigChanges() {
    if (store.pickUpChanges(log)) reconfigure();
}

void RelayCore::reloadNow() {
    if (store.reloadNow(log)) reconfigure();
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

void RelayCore::adminHandler(net::Conn* c, net::Event ev, const void* eventData, void* userData) {
    if (userData == nullptr) return;
    auto* core = static_cast<RelayCore*>(userData);
    if (ev == net::Event::close) {
        core->admin.onClose(c);
        if (!core->heldAdminReplies.empty()) core->heldAdminReplies.erase(net::connId(c));
        return;
    }
    if (ev != net::Event::httpMsg || eventData == nullptr) return;
    core->admin.onRequest(*core, core->log, c, *static_cast<const net::HttpMessage*>(eventData));
}

} // namespace tnlrelay

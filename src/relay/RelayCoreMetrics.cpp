// Monitoring of the running relay: the Prometheus metrics of the admin port, the health
// documents of both ports, and the one-sample-a-second history behind the admin page's charts.
#include "RelayCore.hpp"
#include "RoomList.hpp"
#include "platform/Platform.hpp"
#include "text/JsonText.hpp"

#include <cmath>
#include <string_view>
#include <unordered_set>

namespace tnlrelay {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kNanos = 1e9;

double secondsOf(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::int64_t unixSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

/// The relay's and the adapter's counts of players, refusals, messages and moderation.
void writeCounts(MetricsWriter& w, const net::LoopStats& s, const RelayCounters& counters) {
    auto n = [](auto value) { return static_cast<double>(value); };
    w.counter("tnlrelay_joins_total", "Players that joined a room.", counters.joins);
    w.counter("tnlrelay_leaves_total", "Players that left a room.", counters.leaves);
    w.family("tnlrelay_refusals_total", "counter", "Game requests refused, by reason.",
             {{{{"reason", "banned"}}, n(counters.refusedBanned)},
              {{{"reason", "missing_room"}}, n(counters.refusedMissingRoom)},
              {{{"reason", "not_websocket"}}, n(counters.refusedNotWebSocket + s.refusedNoKey)},
              {{{"reason", "limits"}}, n(counters.refusedLimits + s.refusedLimits)}});
    w.counter("tnlrelay_messages_received_total", "WebSocket data messages received.",
              s.messagesIn);
    w.counter("tnlrelay_received_bytes_total", "Payload bytes of the messages received.",
              s.bytesIn);
    w.counter("tnlrelay_messages_relayed_total",
              "Messages queued for delivery, one per receiving member.", s.messagesOut);
    w.counter("tnlrelay_relayed_bytes_total", "Payload bytes of the messages relayed.", s.bytesOut);
    w.counter("tnlrelay_slow_readers_cut_total",
              "Connections dropped because their unsent output passed the limit.",
              s.slowReadersCut);
    w.counter("tnlrelay_accept_out_of_descriptors_total",
              "Times accepting new connections paused because no descriptor was left.",
              s.acceptOutOfDescriptors);
    w.counter("tnlrelay_silent_peers_closed_total",
              "WebSockets closed after staying silent past a ping.", s.silentPeersClosed);
    w.counter("tnlrelay_protocol_errors_total",
              "WebSockets closed for a protocol error (status 1002).", s.protocolErrorCloses);
    w.counter("tnlrelay_too_big_closes_total",
              "WebSockets closed for a message above the size limits (status 1009).",
              s.tooBigCloses);
    w.counter("tnlrelay_kicks_total", "Connections kicked from the admin API.", counters.kicks);
    w.counter("tnlrelay_bans_total", "Bans made from the admin API.", counters.bans);
    w.counter("tnlrelay_unbans_total", "Bans lifted from the admin API.", counters.unbans);
}

/// The process families every Prometheus client library exports, under their usual names, so
/// that dashboards and alerts made for those work here; what the system does not give is left out.
void writeTlsDeclines(MetricsWriter& w) {
    using D = net::TlsDecline;
    const auto declined = [](D why) { return static_cast<double>(net::tlsDeclined(why)); };
    const auto name = [](D why) { return std::string_view(net::tlsDeclineName(why)); };
    w.family("tnlrelay_tls_handover_declined_total", "counter",
             "TLS 1.3 connections whose records stayed with the TLS library, by the reason.",
             {{{{"reason", name(D::keyLog)}}, declined(D::keyLog)},
              {{{"reason", name(D::cipher)}}, declined(D::cipher)},
              {{{"reason", name(D::recordSize)}}, declined(D::recordSize)},
              {{{"reason", name(D::keyUpdate)}}, declined(D::keyUpdate)},
              {{{"reason", name(D::keyUpdateRecord)}}, declined(D::keyUpdateRecord)},
              {{{"reason", name(D::keyGeneration)}}, declined(D::keyGeneration)},
              {{{"reason", name(D::readRecords)}}, declined(D::readRecords)}});
}

// Only while logins are in use: the attempts by outcome and the sessions open.
void writeAdminLogins(MetricsWriter& w, const AdminEndpoint& admin) {
    const AdminCounts& a = admin.counts();
    auto n = [](std::uint64_t value) { return static_cast<double>(value); };
    w.family("tnlrelay_admin_logins_total", "counter",
             "Admin logins by outcome: ok, wrong (name or password), backoff (refused unchecked "
             "after failures), busy (refused unchecked, the checking queue full).",
             {{{{"result", "ok"}}, n(a.loginsOk)},
              {{{"result", "wrong"}}, n(a.loginsWrong)},
              {{{"result", "backoff"}}, n(a.refusedBackoff)},
              {{{"result", "busy"}}, n(a.refusedBusy)}});
    w.gauge("tnlrelay_admin_sessions", "Admin sessions logged in now.", n(admin.sessionCount()));
}

void writeProcess(MetricsWriter& w) {
    const platform::ProcessUsage u = platform::processUsage();
    if (u.cpuSeconds)
        w.family("process_cpu_seconds_total", "counter",
                 "Total user and system CPU time spent in seconds.", {{{}, *u.cpuSeconds}});
    if (u.openFds) w.gauge("process_open_fds", "Number of open file descriptors.", *u.openFds);
    if (u.maxFds) w.gauge("process_max_fds", "Maximum number of open file descriptors.", *u.maxFds);
    if (u.residentBytes)
        w.gauge("process_resident_memory_bytes", "Resident memory size in bytes.",
                *u.residentBytes);
    w.gauge("process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
            u.startTime.value_or(processStartTime()));
}

} // namespace

std::string RelayCore::metricsText() {
    const net::LoopStats& s = loop->stats();
    const net::LoopGauges g = loop->gauges();
    auto n = [](auto value) { return static_cast<double>(value); };

    MetricsWriter w;
    w.family(
        "tnlrelay_open_connections", "gauge",
        "Connections open, by kind: HTTP (either port, not upgraded) or WebSocket.",
        {{{{"kind", "http"}}, n(g.httpConnections)}, {{{"kind", "websocket"}}, n(g.webSockets)}});
    w.gauge("tnlrelay_players", "Players joined to a room.", n(connections.size()));
    w.gauge("tnlrelay_rooms", "Rooms by name, numbered instances of a name counted once.",
            n(rooms.counts().size()));
    w.gauge("tnlrelay_room_instances", "Room instances: rooms and their numbered overflows.",
            n(rooms.size()));
    w.gauge("tnlrelay_output_queued_bytes", "Output queued for connections, not yet written.",
            n(g.queuedBytes));
    w.gauge("tnlrelay_banned_addresses", "Addresses on the ban list.",
            n(store.config().bans.size()));

    writeCounts(w, s, counters);
    w.counter("tnlrelay_log_lines_written_total", "Lines written to relay.log.",
              log.linesWritten());
    w.counter("tnlrelay_log_lines_failed_total", "Lines that could not be written to relay.log.",
              log.linesFailed());
    w.counter("tnlrelay_config_save_failures_total",
              "Saves of config.json that failed (the change holds in memory).",
              counters.configSavesFailed);

    double bounds[std::size(net::kTurnBucketMicros)];
    for (std::size_t i = 0; i < std::size(bounds); ++i)
        bounds[i] = net::kTurnBucketMicros[i] / 1e6;
    w.histogram("tnlrelay_loop_turn_seconds",
                "Time the event loop took to handle one batch of ready events; long turns "
                "delay every player.",
                bounds, s.turns, std::size(bounds), n(s.turnNanos) / kNanos);
    writeTlsDeclines(w);
    if (admin.loginsInUse()) writeAdminLogins(w, admin);
    // Only what is there is shown, so that an alert on the value never fires for a node
    // without a cluster or a certificate.
    if (cluster.active())
        w.gauge("tnlrelay_cluster_link_up",
                "1 while the link to the cluster's Redis is up and this node is registered.",
                cluster.linkUp() ? 1.0 : 0.0);
    if (const net::TlsCertInfo* cert = loop->tlsCertificate())
        w.gauge("tnlrelay_tls_certificate_expiry_timestamp_seconds",
                "When the certificate the game port serves expires, in Unix seconds.",
                n(cert->notAfter));
    w.gauge("tnlrelay_process_start_time_seconds", "Start time of the process, in Unix seconds.",
            processStartTime());
    writeProcess(w);
    w.family("tnlrelay_build_info", "gauge", "The relay's version; always 1.",
             {{{{"version", TNLRELAY_VERSION}}, 1.0}});
    return w.text();
}

void RelayCore::sampleStats() {
    net::LoopStats& s = loop->stats();
    StatsSample x;
    x.time = unixSeconds();
    x.players = connections.size();
    x.messagesIn = s.messagesIn - lastSampled.messagesIn;
    x.messagesOut = s.messagesOut - lastSampled.messagesOut;
    x.bytesIn = s.bytesIn - lastSampled.bytesIn;
    x.bytesOut = s.bytesOut - lastSampled.bytesOut;
    x.loopLag = static_cast<double>(s.longestTurnNanos) / kNanos;
    s.longestTurnNanos = 0;
    lastSampled = s;
    history.push(x);
}

std::string RelayCore::statsJson() const {
    auto time = nlohmann::json::array(), players = nlohmann::json::array(),
         messagesIn = nlohmann::json::array(), messagesOut = nlohmann::json::array(),
         bytesIn = nlohmann::json::array(), bytesOut = nlohmann::json::array(),
         loopLag = nlohmann::json::array();
    for (std::size_t i = 0; i < history.size(); ++i) {
        const StatsSample& x = history.at(i);
        time.push_back(x.time);
        players.push_back(x.players);
        messagesIn.push_back(x.messagesIn);
        messagesOut.push_back(x.messagesOut);
        bytesIn.push_back(x.bytesIn);
        bytesOut.push_back(x.bytesOut);
        // Microsecond resolution keeps the document short.
        loopLag.push_back(std::round(x.loopLag * 1e6) / 1e6);
    }
    const net::LoopStats& s = loop->stats();
    nlohmann::json doc = {
        {"interval", 1},
        {"time", std::move(time)},
        {"players", std::move(players)},
        {"messagesIn", std::move(messagesIn)},
        {"messagesOut", std::move(messagesOut)},
        {"bytesIn", std::move(bytesIn)},
        {"bytesOut", std::move(bytesOut)},
        {"loopLag", std::move(loopLag)},
        {"totals",
         {{"joins", counters.joins},
          {"leaves", counters.leaves},
          {"messagesIn", s.messagesIn},
          {"messagesOut", s.messagesOut},
          {"bytesIn", s.bytesIn},
          {"bytesOut", s.bytesOut},
          {"kicks", counters.kicks},
          {"bans", counters.bans},
          {"unbans", counters.unbans}}},
        {"uptime", std::round(secondsOf(Clock::now() - started) * 1e3) / 1e3},
    };
    return detail::jsonText(doc);
}

std::string RelayCore::healthJson(bool* draining) const {
    // The longest turn of the last whole second, or of this one when it is already longer.
    double lag = history.size() ? history.newest().loopLag : 0.0;
    lag = std::max(lag, static_cast<double>(loop->stats().longestTurnNanos) / kNanos);
    const bool stopping = stopRequested.load();
    if (draining) *draining = stopping;
    // The cluster link and the certificate are shown, not judged: a node whose link is down
    // still relays its own players, and an expiry is the operator's alert to set.
    nlohmann::json doc = {
        {"status", stopping ? "draining" : "ok"},
        {"uptimeSeconds", std::round(secondsOf(Clock::now() - started) * 1e3) / 1e3},
        {"loopLagSeconds", std::round(lag * 1e6) / 1e6},
    };
    if (cluster.active()) doc["cluster"] = cluster.linkUp() ? "up" : "down";
    if (const net::TlsCertInfo* cert = loop->tlsCertificate()) doc["tlsExpiresAt"] = cert->notAfter;
    return detail::jsonText(doc);
}

} // namespace tnlrelay

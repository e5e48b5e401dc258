// The Prometheus text the relay writes, the chart history, and the core's counters for the
// actions that need no network: each moves once per action, never for a no-op.
#include "relay/Metrics.hpp"
#include "TempDataDir.hpp"
#include "relay/RelayCore.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>
#include <string>

using namespace tnlrelay;

namespace {

/// The value of one series in exposition text ("name" or "name{labels}"), NaN when absent.
double seriesValue(const std::string& text, const std::string& series) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size() + 1));
    }
    return std::nan("");
}

} // namespace

TEST(MetricsWriter, WritesFamiliesInTheTextFormat) {
    MetricsWriter w;
    w.gauge("x_players", "Players joined.", 3);
    w.counter("x_joins_total", "Joins, with a \\ and a\nline feed.", 18446744073709551615ull);
    w.family("x_open", "gauge", "Open.",
             {{{{"kind", "http"}}, 1}, {{{"kind", "a\"b\\c\nd"}, {"port", "1"}}, 2.5}});
    EXPECT_EQ(w.text(), "# HELP x_players Players joined.\n"
                        "# TYPE x_players gauge\n"
                        "x_players 3\n"
                        "# HELP x_joins_total Joins, with a \\\\ and a\\nline feed.\n"
                        "# TYPE x_joins_total counter\n"
                        "x_joins_total 18446744073709551615\n"
                        "# HELP x_open Open.\n"
                        "# TYPE x_open gauge\n"
                        "x_open{kind=\"http\"} 1\n"
                        "x_open{kind=\"a\\\"b\\\\c\\nd\",port=\"1\"} 2.5\n");
}

TEST(MetricsWriter, HistogramBucketsAreCumulativeWithInfinityAndCount) {
    const double bounds[] = {0.001, 0.5};
    const std::uint64_t counts[] = {4, 0, 3};
    MetricsWriter w;
    w.histogram("x_turn_seconds", "Turns.", bounds, counts, 2, 1.25);
    EXPECT_EQ(w.text(), "# HELP x_turn_seconds Turns.\n"
                        "# TYPE x_turn_seconds histogram\n"
                        "x_turn_seconds_bucket{le=\"0.001\"} 4\n"
                        "x_turn_seconds_bucket{le=\"0.5\"} 4\n"
                        "x_turn_seconds_bucket{le=\"+Inf\"} 7\n"
                        "x_turn_seconds_sum 1.25\n"
                        "x_turn_seconds_count 7\n");
}

TEST(MetricsWriter, NumbersReadAsPrometheusExpects) {
    EXPECT_EQ(metricNumber(0), "0");
    EXPECT_EQ(metricNumber(-7), "-7");
    EXPECT_EQ(metricNumber(1796700660.25), "1796700660.25");
    EXPECT_EQ(metricNumber(5e-05), "5e-05");
    EXPECT_EQ(metricNumber(std::numeric_limits<double>::infinity()), "+Inf");
    EXPECT_EQ(metricNumber(-std::numeric_limits<double>::infinity()), "-Inf");
    EXPECT_EQ(metricNumber(std::nan("")), "NaN");
    EXPECT_EQ(std::stod(metricNumber(9007199254740993.0 * 4)), 9007199254740993.0 * 4);
}

TEST(StatsRing, KeepsTheNewestSamplesOldestFirst) {
    StatsRing ring(3);
    EXPECT_EQ(ring.size(), 0u);
    for (int t = 1; t <= 5; ++t) {
        StatsSample s;
        s.time = t;
        ring.push(s);
        EXPECT_EQ(ring.newest().time, t);
    }
    ASSERT_EQ(ring.size(), 3u);
    EXPECT_EQ(ring.at(0).time, 3);
    EXPECT_EQ(ring.at(1).time, 4);
    EXPECT_EQ(ring.at(2).time, 5);
}

TEST(CoreMetrics, ModerationAndStorageCountOncePerAction) {
    test::TempDataDir data;
    RelayCore core(RelayConfig{});
    auto scrape = [&](const std::string& series) {
        return seriesValue(core.metricsText(), series);
    };

    const double linesAtStart = scrape("tnlrelay_log_lines_written_total");
    core.kick(12345);       // nobody
    core.unban("10.0.0.9"); // not banned
    EXPECT_EQ(scrape("tnlrelay_kicks_total"), 0) << "a kick of nobody is no kick";
    EXPECT_EQ(scrape("tnlrelay_unbans_total"), 0) << "lifting no ban is no unban";

    core.ban("10.0.0.1", "Ann");
    EXPECT_EQ(scrape("tnlrelay_bans_total"), 1);
    EXPECT_EQ(scrape("tnlrelay_banned_addresses"), 1);
    EXPECT_EQ(scrape("tnlrelay_config_save_failures_total"), 0);
    EXPECT_EQ(scrape("tnlrelay_log_lines_written_total"), linesAtStart + 1) << "one BAN line";
    core.unban("10.0.0.1");
    EXPECT_EQ(scrape("tnlrelay_unbans_total"), 1);
    EXPECT_EQ(scrape("tnlrelay_banned_addresses"), 0);
    EXPECT_EQ(scrape("tnlrelay_log_lines_failed_total"), 0);

    // A directory where relay.log belongs cannot be appended to.
    std::filesystem::remove(logPath());
    std::filesystem::create_directories(logPath() / "held");
    core.ban("10.0.0.2", "");
    EXPECT_EQ(scrape("tnlrelay_bans_total"), 2);
    EXPECT_EQ(scrape("tnlrelay_log_lines_failed_total"), 1) << "the BAN line";
    EXPECT_EQ(scrape("tnlrelay_log_lines_written_total"), linesAtStart + 2);
    EXPECT_EQ(scrape("tnlrelay_config_save_failures_total"), 0);

    // Nor can a directory where config.json belongs be replaced.
    std::filesystem::remove_all(logPath());
    std::filesystem::remove(configPath());
    std::filesystem::create_directories(configPath() / "held");
    core.ban("10.0.0.3", "");
    EXPECT_EQ(scrape("tnlrelay_bans_total"), 3);
    EXPECT_EQ(scrape("tnlrelay_config_save_failures_total"), 1);
    EXPECT_EQ(scrape("tnlrelay_log_lines_failed_total"), 1);
    EXPECT_TRUE(core.isBanned("10.0.0.3")) << "the ban holds in memory";
}

TEST(CoreMetrics, EveryFamilyIsDescribedOnceAndTheStatsDocumentFollowsTheSamples) {
    test::TempDataDir data;
    RelayCore core(RelayConfig{});
    const std::string text = core.metricsText();
    std::map<std::string, int> typed;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("# TYPE ", 0) == 0) ++typed[line.substr(7, line.find(' ', 7) - 7)];
    }
    for (const char* family : {"tnlrelay_open_connections",
                               "tnlrelay_players",
                               "tnlrelay_rooms",
                               "tnlrelay_room_instances",
                               "tnlrelay_output_queued_bytes",
                               "tnlrelay_banned_addresses",
                               "tnlrelay_joins_total",
                               "tnlrelay_leaves_total",
                               "tnlrelay_refusals_total",
                               "tnlrelay_messages_received_total",
                               "tnlrelay_received_bytes_total",
                               "tnlrelay_messages_relayed_total",
                               "tnlrelay_relayed_bytes_total",
                               "tnlrelay_slow_readers_cut_total",
                               "tnlrelay_silent_peers_closed_total",
                               "tnlrelay_protocol_errors_total",
                               "tnlrelay_too_big_closes_total",
                               "tnlrelay_kicks_total",
                               "tnlrelay_bans_total",
                               "tnlrelay_unbans_total",
                               "tnlrelay_log_lines_written_total",
                               "tnlrelay_log_lines_failed_total",
                               "tnlrelay_config_save_failures_total",
                               "tnlrelay_loop_turn_seconds",
                               "tnlrelay_tls_handover_declined_total",
                               "tnlrelay_accept_out_of_descriptors_total",
                               "tnlrelay_process_start_time_seconds",
                               "tnlrelay_build_info",
                               "process_cpu_seconds_total",
                               "process_open_fds",
                               "process_max_fds",
                               "process_resident_memory_bytes",
                               "process_start_time_seconds"}) {
        EXPECT_EQ(typed[family], 1) << family;
    }
    // The cluster link and the certificate's expiry only where there is one.
    EXPECT_EQ(typed.size(), 33u) << text;
    EXPECT_EQ(seriesValue(text, "tnlrelay_loop_turn_seconds_bucket{le=\"+Inf\"}"),
              seriesValue(text, "tnlrelay_loop_turn_seconds_count"));
    const double start = seriesValue(text, "tnlrelay_process_start_time_seconds");
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LE(start, now);
    EXPECT_GT(start, now - 3600) << "the start time is this process's";
    // The process's own figures, as the system gives them.
    EXPECT_NEAR(seriesValue(text, "process_start_time_seconds"), start, 2);
    EXPECT_GE(seriesValue(text, "process_cpu_seconds_total"), 0) << "counted in ticks of 10 ms";
    EXPECT_GT(seriesValue(text, "process_resident_memory_bytes"), 1e6);
    const double openFds = seriesValue(text, "process_open_fds");
    EXPECT_GE(openFds, 3) << "at least the standard streams";
    EXPECT_GT(seriesValue(text, "process_max_fds"), openFds);

    auto stats = nlohmann::json::parse(core.statsJson());
    EXPECT_EQ(stats["time"].size(), 0u);
    core.sampleStats();
    core.sampleStats();
    stats = nlohmann::json::parse(core.statsJson());
    for (const char* column :
         {"time", "players", "messagesIn", "messagesOut", "bytesIn", "bytesOut", "loopLag"})
        EXPECT_EQ(stats[column].size(), 2u) << column;
    EXPECT_GE(stats["time"][1].get<double>(), stats["time"][0].get<double>());
    for (int i = 0; i < 1000; ++i)
        core.sampleStats();
    stats = nlohmann::json::parse(core.statsJson());
    EXPECT_EQ(stats["time"].size(), kStatsHistorySeconds) << "the history is bounded";

    bool draining = true;
    auto health = nlohmann::json::parse(core.healthJson(&draining));
    EXPECT_FALSE(draining);
    EXPECT_EQ(health["status"], "ok");
    EXPECT_GE(health["uptimeSeconds"].get<double>(), 0.0);
    EXPECT_GE(health["loopLagSeconds"].get<double>(), 0.0);
    EXPECT_FALSE(health.contains("cluster") || health.contains("tlsExpiresAt")) << health;
    // From the moment a stop is asked for, until the ports close.
    core.stopRequested = true;
    health = nlohmann::json::parse(core.healthJson(&draining));
    EXPECT_TRUE(draining);
    EXPECT_EQ(health["status"], "draining");
}

// The sample ring of the admin page's charts and the writer of the Prometheus text format.
#include "Metrics.hpp"

#include <charconv>
#include <chrono>
#include <cmath>

namespace tnlrelay {

namespace {

double unixNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

/// Taken while the program loads, before main runs.
const double g_processStart = unixNow();

/// Label values may hold anything; backslash, double quote and line feed are escaped.
void appendLabelValue(std::string& out, std::string_view value) {
    for (char ch : value) {
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '"')
            out += "\\\"";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
}

/// HELP text escapes only backslash and line feed.
void appendHelp(std::string& out, std::string_view help) {
    for (char ch : help) {
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
}

} // namespace

StatsRing::StatsRing(std::size_t capacity) : slots_(capacity == 0 ? 1 : capacity) {}

void StatsRing::push(const StatsSample& sample) {
    if (size_ < slots_.size()) {
        slots_[(start_ + size_) % slots_.size()] = sample;
        ++size_;
        return;
    }
    slots_[start_] = sample;
    start_ = (start_ + 1) % slots_.size();
}

const StatsSample& StatsRing::at(std::size_t i) const {
    return slots_[(start_ + i) % slots_.size()];
}

std::string metricNumber(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    // Integers up to 2^53 are exact in a double and read best without an exponent.
    if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
        auto r = std::to_chars(text, text + sizeof text, static_cast<std::int64_t>(value));
        return std::string(text, r.ptr);
    }
    auto r = std::to_chars(text, text + sizeof text, value);
    return std::string(text, r.ptr);
}

void MetricsWriter::header(std::string_view name, std::string_view type, std::string_view help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    appendHelp(out_, help);
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
}

void MetricsWriter::sampleRaw(std::string_view name, std::string_view labelText,
                              std::string_view value) {
    out_ += name;
    out_ += labelText;
    out_ += ' ';
    out_ += value;
    out_ += '\n';
}

void MetricsWriter::sampleRaw(std::string_view name, std::string_view labelText, double value) {
    sampleRaw(name, labelText, metricNumber(value));
}

void MetricsWriter::sample(std::string_view name, Labels labels, double value) {
    std::string labelText;
    if (labels.size() > 0) {
        labelText += '{';
        bool first = true;
        for (const auto& [label, text] : labels) {
            if (!first) labelText += ',';
            first = false;
            labelText += label;
            labelText += "=\"";
            appendLabelValue(labelText, text);
            labelText += '"';
        }
        labelText += '}';
    }
    sampleRaw(name, labelText, value);
}

void MetricsWriter::gauge(std::string_view name, std::string_view help, double value) {
    header(name, "gauge", help);
    sampleRaw(name, {}, value);
}

void MetricsWriter::counter(std::string_view name, std::string_view help, std::uint64_t value) {
    header(name, "counter", help);
    // Exact even past 2^53, where a double would round.
    sampleRaw(name, {}, std::string_view(std::to_string(value)));
}

void MetricsWriter::family(std::string_view name, std::string_view type, std::string_view help,
                           std::initializer_list<Labelled> series) {
    header(name, type, help);
    for (const auto& s : series)
        sample(name, s.labels, s.value);
}

void MetricsWriter::histogram(std::string_view name, std::string_view help, const double* bounds,
                              const std::uint64_t* counts, std::size_t boundCount, double sum) {
    header(name, "histogram", help);
    const std::string bucket = std::string(name) + "_bucket";
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i <= boundCount; ++i) {
        cumulative += counts[i];
        const std::string le = i < boundCount ? metricNumber(bounds[i]) : "+Inf";
        sample(bucket, {{"le", le}}, static_cast<double>(cumulative));
    }
    sampleRaw(std::string(name) + "_sum", {}, sum);
    sampleRaw(std::string(name) + "_count", {}, std::string_view(std::to_string(cumulative)));
}

double processStartTime() {
    return g_processStart;
}

} // namespace tnlrelay

#include "device/report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>

namespace oxu::sim {

namespace {

using std::chrono::microseconds;
using Fields = std::map<std::string, std::string, std::less<>>;

// Three decimals: milliseconds to the microsecond.
std::string formatFixed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

double toMilliseconds(microseconds duration) {
    return static_cast<double>(duration.count()) / 1000.0;
}

std::string quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? '\'' : c;
    return quoted + "\"";
}

long long percentile(std::vector<microseconds> values, double fraction) {
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least `fraction` of them at or below it.
    const auto rank =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[rank == 0 ? 0 : rank - 1].count();
}

// The " key=value" pairs of a line after its `kind` ("verdict:") and, when
// `outcomes` is set, its " ok" or " fail". A quoted value ends at the next quote
// (formatting turns quotes inside into apostrophes). Nothing when malformed.
std::optional<Fields> splitLine(std::string_view line, std::string_view kind, bool* outcome) {
    if (!line.starts_with(kind))
        return std::nullopt;
    line.remove_prefix(kind.size());
    if (outcome) {
        const std::size_t end = std::min(line.find(' ', 1), line.size());
        if (line.substr(0, end) != " ok" && line.substr(0, end) != " fail")
            return std::nullopt;
        *outcome = line.substr(0, end) == " ok";
        line.remove_prefix(end);
    }
    Fields fields;
    while (!line.empty()) {
        const std::size_t equals = line.find('=');
        if (line.front() != ' ' || equals == std::string_view::npos || equals == 1 ||
            line.substr(1, equals - 1).find(' ') != std::string_view::npos)
            return std::nullopt;
        const std::string_view key = line.substr(1, equals - 1);
        line.remove_prefix(equals + 1);
        std::size_t end = line.find(' ');
        std::string_view value = line.substr(0, end);
        if (line.starts_with('"')) {
            end = line.find('"', 1);
            if (end == std::string_view::npos)
                return std::nullopt;
            value = line.substr(1, end++ - 1);
        }
        fields.emplace(key, value);
        line.remove_prefix(std::min(end, line.size()));
    }
    return fields;
}

// Each read() puts a field's value in place and returns false when the field
// is there but malformed. An absent field leaves its place alone.
const std::string* find(const Fields& fields, std::string_view key) {
    const auto found = fields.find(key);
    return found == fields.end() ? nullptr : &found->second;
}

template <typename Number>
bool read(const Fields& fields, std::string_view key, Number& into) {
    const std::string* text = find(fields, key);
    if (!text)
        return true;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, into);
    return error == std::errc() && stop == end && !text->empty();
}

template <typename Number>
bool read(const Fields& fields, std::string_view key, std::optional<Number>& into) {
    return !find(fields, key) || read(fields, key, into.emplace());
}

// Milliseconds with three decimals, as written.
bool read(const Fields& fields, std::string_view key, std::optional<microseconds>& into) {
    double ms = 0;
    const bool good = read(fields, key, ms);
    if (good && find(fields, key))
        into = microseconds(std::llround(ms * 1000.0));
    return good;
}

bool read(const Fields& fields, std::string_view key, std::string& into) {
    if (const std::string* text = find(fields, key))
        into = *text;
    return true;
}

bool read(const Fields& fields, std::string_view key, std::optional<LineSettings>& into) {
    const std::string* text = find(fields, key);
    if (!text || *text == "unseen")
        return true;
    LineSettings& settings = into.emplace();
    int used = 0;
    return std::sscanf(text->c_str(), "%ld,%c,%d,%d%n", &settings.baud, &settings.parity,
                       &settings.dataBits, &settings.stopBits, &used) == 4 &&
           used == static_cast<int>(text->size()) && std::string("neo").find(settings.parity) < 3;
}

// A field of two words, such as completion=sent|no.
bool readWord(const Fields& fields, std::string_view key, const char* yes, const char* no,
              std::optional<bool>& into) {
    const std::string* text = find(fields, key);
    if (text)
        into = *text == yes;
    return !text || *text == yes || *text == no;
}

}  // namespace

std::string formatBytes(ByteView bytes, const char* separator) {
    std::string text;
    char cell[4];
    for (std::size_t i = 0; i < std::min(bytes.size(), kShownBytes); ++i) {
        std::snprintf(cell, sizeof cell, "%02x", bytes[i]);
        if (i > 0)
            text += separator;
        text += cell;
    }
    if (bytes.size() > kShownBytes)
        text += "...";
    return text;
}

std::string formatLineSettings(const LineSettings& settings) {
    return std::to_string(settings.baud) + "," + settings.parity + "," +
           std::to_string(settings.dataBits) + "," + std::to_string(settings.stopBits);
}

RoundTripStats summarizeRoundTrips(const std::vector<microseconds>& roundTrips) {
    if (roundTrips.empty())
        return {};
    return {roundTrips.size(), percentile(roundTrips, 0.0), percentile(roundTrips, 0.5),
            percentile(roundTrips, 0.99), percentile(roundTrips, 1.0)};
}

std::string formatVerdict(const UpdateReport& report) {
    std::string line = std::string("verdict: ") + (report.ok ? "ok" : "fail");
    line += " pages=" + std::to_string(report.pagesOk);
    line += " announced=" + std::to_string(report.announcedPages);
    line += " bytes=" + std::to_string(report.imageBytes);
    line += " checksum_errors=" + std::to_string(report.checksumErrors);
    line += " length_errors=" + std::to_string(report.lengthErrors);
    line += " retries=" + std::to_string(report.retries);
    line += " received=" + std::to_string(report.receivedBytes);
    const double ms = toMilliseconds(report.elapsed);
    line += " time_ms=" + formatFixed(ms);
    line += std::string(" completion=") + (report.completionSent ? "sent" : "no");
    if (report.settings)
        line += " settings=" + formatLineSettings(*report.settings);
    if (report.portClosed)
        line += std::string(" port_closed=") + (*report.portClosed ? "yes" : "no");
    if (report.closeDelay)
        line += " close_ms=" + formatFixed(toMilliseconds(*report.closeDelay));
    if (report.baud && report.receivedBytes > 0) {
        // The time the program's bytes take on a real line: 10 bits a byte.
        const double lineMs = static_cast<double>(report.receivedBytes) * 10.0 /
                              static_cast<double>(*report.baud) * 1000.0;
        line += " baud=" + std::to_string(*report.baud);
        line += " line_ms=" + formatFixed(lineMs);
        line += " ratio=" + formatFixed(ms / lineMs);
    }
    if (report.updates > 1)
        line += " updates=" + std::to_string(report.updates);
    if (report.downloadCommand)
        line += " download=" + formatBytes(*report.downloadCommand, "");
    line += " seed=" + std::to_string(report.seed);
    if (!report.ok)
        line += " reason=" + quote(report.reason);
    return line;
}

std::string formatStats(const UpdateReport& report) {
    const RoundTripStats stats = summarizeRoundTrips(report.roundTrips);
    std::string line = "stats: rtt_count=" + std::to_string(stats.count);
    if (stats.count == 0)
        return line;
    return line + " rtt_min_us=" + std::to_string(stats.minUs) +
           " rtt_median_us=" + std::to_string(stats.medianUs) +
           " rtt_p99_us=" + std::to_string(stats.p99Us) +
           " rtt_max_us=" + std::to_string(stats.maxUs);
}

std::string formatDownload(const DownloadReport& report) {
    std::string line = std::string("download: ") + (report.ok ? "ok" : "fail");
    line += " bytes=" +
            (report.received.empty() ? std::string("none") : formatBytes(report.received, ""));
    line += " settings=" +
            (report.settings ? formatLineSettings(*report.settings) : std::string("unseen"));
    if (report.portClosed)
        line += std::string(" port_closed=") + (*report.portClosed ? "yes" : "no");
    if (!report.ok)
        line += " reason=" + quote(report.reason);
    return line;
}

std::optional<UpdateReport> parseVerdict(std::string_view line) {
    UpdateReport report;
    const std::optional<Fields> fields = splitLine(line, "verdict:", &report.ok);
    std::optional<microseconds> elapsed;
    std::optional<bool> completion;
    const bool good =
        fields && read(*fields, "pages", report.pagesOk) &&
        read(*fields, "announced", report.announcedPages) &&
        read(*fields, "bytes", report.imageBytes) &&
        read(*fields, "checksum_errors", report.checksumErrors) &&
        read(*fields, "length_errors", report.lengthErrors) &&
        read(*fields, "retries", report.retries) &&
        read(*fields, "received", report.receivedBytes) && read(*fields, "time_ms", elapsed) &&
        readWord(*fields, "completion", "sent", "no", completion) &&
        read(*fields, "settings", report.settings) &&
        readWord(*fields, "port_closed", "yes", "no", report.portClosed) &&
        read(*fields, "close_ms", report.closeDelay) && read(*fields, "baud", report.baud) &&
        read(*fields, "updates", report.updates) && read(*fields, "seed", report.seed) &&
        read(*fields, "reason", report.reason);
    report.elapsed = elapsed.value_or(microseconds(0));
    report.completionSent = completion.value_or(false);
    return good ? std::optional(report) : std::nullopt;
}

std::optional<RoundTripStats> parseStats(std::string_view line) {
    const std::optional<Fields> fields = splitLine(line, "stats:", nullptr);
    RoundTripStats stats;
    const bool good = fields && read(*fields, "rtt_count", stats.count) &&
                      read(*fields, "rtt_min_us", stats.minUs) &&
                      read(*fields, "rtt_median_us", stats.medianUs) &&
                      read(*fields, "rtt_p99_us", stats.p99Us) &&
                      read(*fields, "rtt_max_us", stats.maxUs);
    return good ? std::optional(stats) : std::nullopt;
}

}  // namespace oxu::sim

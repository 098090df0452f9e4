#include "runs/summary_table.h"

#include <algorithm>
#include <cstdio>

namespace oxu::runs {
namespace {

// "1.23": seconds to the hundredth.
std::string formatSeconds(std::chrono::microseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(duration.count()) / 1e6);
    return text;
}

bool continuesCharacter(char byte) {
    return (static_cast<unsigned char>(byte) & 0xc0) == 0x80;
}

// Columns a text takes: one per character (UTF-8 continuation bytes take none).
std::size_t columnsOf(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !continuesCharacter(c); }));
}

// The byte offset where the character at column `column` begins.
std::size_t offsetOfColumn(const std::string& text, std::size_t column) {
    std::size_t at = 0;
    for (std::size_t seen = 0; at < text.size(); ++at) {
        if (!continuesCharacter(text[at]) && seen++ == column)
            break;
    }
    return at;
}

// The text in at most `room` columns: its beginning and end, "..." between.
std::string shortenMiddle(const std::string& text, std::size_t room) {
    const std::size_t columns = columnsOf(text);
    if (columns <= room || room < 5)
        return text;
    const std::size_t head = (room - 3) / 2, tail = room - 3 - head;
    return text.substr(0, offsetOfColumn(text, head)) + "..." +
           text.substr(offsetOfColumn(text, columns - tail));
}

// Text on lines of at most `width` columns, each starting with `indent`,
// broken between words; a word longer than a line is broken where it must be.
std::string wrapLines(const std::string& text, const std::string& indent, std::size_t width) {
    const std::size_t room = width - indent.size();
    std::string lines, line;
    const auto flush = [&] {
        if (!line.empty())
            lines += indent + line + '\n';
        line.clear();
    };
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        std::string word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        if (!line.empty() && columnsOf(line) + 1 + columnsOf(word) > room)
            flush();
        while (columnsOf(word) > room) {
            flush();
            const std::size_t cut = offsetOfColumn(word, room);
            lines += indent + word.substr(0, cut) + '\n';
            word.erase(0, cut);
        }
        line += (line.empty() ? "" : " ") + word;
    }
    flush();
    return lines;
}

}  // namespace

std::string formatSummaryTable(const RunSummary& summary, std::size_t width) {
    // Board and time only in station mode; counts read best aligned on their
    // last digit.
    const bool station = summary.mode == RunMode::Station;
    using Row = std::vector<std::string>;
    Row heading{"port", "result", "pages", "bytes", "seconds", "retries"};
    std::vector<bool> right{false, false, true, true, true, true};
    if (station) {
        heading.insert(heading.begin() + 1, {"board", "time"});
        right.insert(right.begin() + 1, {true, false});
    }
    std::vector<Row> rows{heading};
    std::vector<std::string> devices{"device"};
    for (const PortOutcome& outcome : summary.outcomes) {
        const AttemptReport& last = outcome.last;
        Row row{"COM " + std::to_string(outcome.port.number),
                describeResult(last.result),
                std::to_string(last.pagesServed) + "/" + std::to_string(last.pagesAnnounced),
                groupThousands(last.bytesSent),
                formatSeconds(last.duration),
                std::to_string(last.attempt - 1)};
        if (station)
            row.insert(row.begin() + 1,
                       {std::to_string(outcome.board), formatClockTime(outcome.ended)});
        rows.push_back(row);
        devices.push_back(outcome.port.device.empty() ? "(no device)" : outcome.port.device);
    }
    // The port column as wide as "COM 16" whatever the ports: the lines
    // below the rows start under the result.
    std::vector<std::size_t> widths(heading.size(), 0);
    widths[0] = 6;
    for (const Row& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], columnsOf(row[column]));
    }
    std::size_t used = 0;
    for (std::size_t w : widths)
        used += w + 2;
    // The device is last on its row when every one fits in the room left;
    // else each goes on a line of its own, shortened in the middle if it
    // must be (the end of a path tells adapters apart).
    const std::size_t room = width > used ? width - used : 0;
    std::size_t longest = 0;
    for (const std::string& device : devices)
        longest = std::max(longest, columnsOf(device));
    const bool deviceInRow = longest <= room;
    const std::string indent(widths[0] + 2, ' ');

    std::string table;
    for (std::size_t index = 0; index < rows.size(); ++index) {
        const Row& row = rows[index];
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            const std::string& cell = row[column];
            const std::string pad(widths[column] - columnsOf(cell), ' ');
            line += (column > 0 ? "  " : "") + (right[column] ? pad + cell : cell + pad);
        }
        if (deviceInRow)
            line += "  " + devices[index];
        line.erase(line.find_last_not_of(' ') + 1);
        table += line + '\n';
        if (index == 0)
            continue;
        // Below the row: what would not fit in it.
        const PortOutcome& outcome = summary.outcomes[index - 1];
        const std::string device =
            deviceInRow ? "" : shortenMiddle(devices[index], width - indent.size());
        const std::string adapter = "adapter " + formatAdapter(outcome.port.adapter);
        const bool adapterKnown = adapter != "adapter -";
        if (!device.empty() && adapterKnown &&
            indent.size() + columnsOf(device) + 2 + adapter.size() <= width)
            table += indent + device + ", " + adapter + '\n';
        else
            table += (device.empty() ? "" : indent + device + '\n') +
                     (adapterKnown ? wrapLines(adapter, indent, width) : "");
        table += wrapLines(describeProblem(outcome), indent, width);
    }
    return table;
}

}  // namespace oxu::runs

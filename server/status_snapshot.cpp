#include "server/status_snapshot.h"

#include <cstdio>
#include <map>

#include "repeater_link/host_list.h"

namespace kormlink {

namespace {

// A label value: backslash, double quote and line feed escaped.
// A label value of the text format: UTF-8 (Ids and file names are Latin-1 here, and one byte
// of 0x80 or above left as it is would make the whole scrape invalid), escaped.
std::string labelValue(const std::string& latin1) {
    std::string out;
    for (unsigned char c : latin1) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

class MetricsText {
public:
    void family(const char* name, const char* type, const char* help) {
        m_out += "# HELP ";
        m_out += name;
        m_out += ' ';
        m_out += help;
        m_out += "\n# TYPE ";
        m_out += name;
        m_out += ' ';
        m_out += type;
        m_out += '\n';
    }
    void sample(const std::string& name, const std::string& labels, double value) {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        m_out += name;
        if (!labels.empty()) m_out += "{" + labels + "}";
        m_out += ' ';
        m_out += number;
        m_out += '\n';
    }
    void sample(const std::string& name, const std::string& labels, std::uint64_t value) {
        m_out += name;
        if (!labels.empty()) m_out += "{" + labels + "}";
        m_out += ' ';
        m_out += std::to_string(value);
        m_out += '\n';
    }
    std::string take() { return std::move(m_out); }

private:
    std::string m_out;
};

// Channels sharing an Id are one channel to the outside (one queue file): summed.
std::vector<StatusSnapshot::Channel> byId(const std::vector<StatusSnapshot::Channel>& channels) {
    std::vector<StatusSnapshot::Channel> out;
    std::map<std::string, std::size_t> index;
    for (const StatusSnapshot::Channel& c : channels) {
        auto [it, fresh] = index.emplace(c.id, out.size());
        if (fresh) {
            out.push_back(c);
            continue;
        }
        StatusSnapshot::Channel& sum = out[it->second];
        sum.queued += c.queued;
        sum.queueSize += c.queueSize;
        sum.clients += c.clients;
        sum.routed += c.routed;
        sum.delivered += c.delivered;
        sum.droppedOverflow += c.droppedOverflow;
        sum.droppedLifetime += c.droppedLifetime;
        sum.droppedDuplicate += c.droppedDuplicate;
    }
    return out;
}

// Text from the lists (event lines are Latin-1) made safe for HTML, in UTF-8.
std::string html(const std::string& latin1) {
    std::string out;
    for (unsigned char c : latin1) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += ' ';
                } else if (c < 0x80) {
                    out += static_cast<char>(c);
                } else {
                    out += static_cast<char>(0xC0 | (c >> 6));
                    out += static_cast<char>(0x80 | (c & 0x3F));
                }
        }
    }
    return out;
}

}  // namespace

std::string renderMetrics(const StatusSnapshot& s) {
    MetricsText m;
    const std::vector<StatusSnapshot::Channel> channels = byId(s.channels);
    const auto perChannel = [&](const char* name, const char* type, const char* help,
                                auto value) {
        m.family(name, type, help);
        for (const StatusSnapshot::Channel& c : channels)
            m.sample(name, "channel=\"" + labelValue(c.id) + "\"", value(c));
    };
    m.family("kormlink_up", "gauge", "1 while the server runs its listeners and channels.");
    m.sample("kormlink_up", "", std::uint64_t{s.running ? 1u : 0u});
    m.family("kormlink_repeaters_connected", "gauge",
             "Repeater connections now (the serial link counts as one).");
    m.sample("kormlink_repeaters_connected", "", std::uint64_t{s.repeaters.size()});
    perChannel("kormlink_output_clients", "gauge",
               "Monitoring clients attached to the channel now (a serial receiver counts as one).",
               [](const auto& c) { return std::uint64_t{c.clients}; });
    perChannel("kormlink_queue_lines", "gauge", "Lines waiting in the channel's queue.",
               [](const auto& c) { return c.queued; });
    perChannel("kormlink_queue_capacity_lines", "gauge", "The channel's QSize.",
               [](const auto& c) { return static_cast<std::uint64_t>(std::max<std::int64_t>(c.queueSize, 0)); });
    m.family("kormlink_contested_ids", "gauge",
             "Repeater Ids held by connections from more than one address; commands for them "
             "are refused.");
    m.sample("kormlink_contested_ids", "", std::uint64_t{s.contestedIds.size()});
    m.family("kormlink_repeater_connections_replaced_total", "counter",
             "Older repeater connections closed because the same Id connected again from the "
             "same address.");
    m.sample("kormlink_repeater_connections_replaced_total", "", s.repeaterConnectionsReplaced);
    m.family("kormlink_events_received_total", "counter",
             "Event lines received from repeaters and routed through the filters.");
    m.sample("kormlink_events_received_total", "", s.eventsReceived);
    perChannel("kormlink_events_routed_total", "counter", "Event lines queued into the channel.",
               [](const auto& c) { return c.routed; });
    m.family("kormlink_events_answered_total", "counter",
             "Event lines acknowledged to repeaters (singly or in batches).");
    m.sample("kormlink_events_answered_total", "", s.eventsAnswered);
    perChannel("kormlink_events_delivered_total", "counter",
               "Lines removed from the channel's queue after a client's answer.",
               [](const auto& c) { return c.delivered; });
    m.family("kormlink_lines_dropped_total", "counter",
             "Lines a channel lost: pushed out of a full queue (overflow), expired unsent "
             "(lifetime), or not queued as a repeat of the last line (duplicate).");
    for (const StatusSnapshot::Channel& c : channels) {
        const std::string ch = "channel=\"" + labelValue(c.id) + "\",cause=";
        m.sample("kormlink_lines_dropped_total", ch + "\"overflow\"", c.droppedOverflow);
        m.sample("kormlink_lines_dropped_total", ch + "\"lifetime\"", c.droppedLifetime);
        m.sample("kormlink_lines_dropped_total", ch + "\"duplicate\"", c.droppedDuplicate);
    }
    m.family("kormlink_time_syncs_sent_total", "counter",
             "Time commands sent to repeaters and systime lines sent to clients.");
    m.sample("kormlink_time_syncs_sent_total", "to=\"repeater\"", s.timeSyncsToRepeaters);
    m.sample("kormlink_time_syncs_sent_total", "to=\"client\"", s.timeSyncsToClients);
    m.family("kormlink_repeater_lines_refused_total", "counter",
             "Repeater lines refused: longer than 1024 bytes (overlong), or holding a control "
             "byte (control).");
    m.sample("kormlink_repeater_lines_refused_total", "cause=\"overlong\"", s.overlongLines);
    m.sample("kormlink_repeater_lines_refused_total", "cause=\"control\"", s.controlByteLines);
    m.family("kormlink_repeater_lines_not_logged_total", "counter",
             "Lines about repeater lines that are no valid events, kept out of the logs by the "
             "budget of 60 a minute per connection.");
    m.sample("kormlink_repeater_lines_not_logged_total", "", s.linesNotLogged);
    m.family("kormlink_repeater_unidentified_closed_total", "counter",
             "Repeater connections closed for sending no valid event line with an Id within "
             "[In] IdentifyTime.");
    m.sample("kormlink_repeater_unidentified_closed_total", "", s.unidentifiedClosed);
    m.family("kormlink_journal_writes_total", "counter", "Writes of the queue journals.");
    m.sample("kormlink_journal_writes_total", "", s.journalWrites);
    m.family("kormlink_journal_fsyncs_total", "counter", "Syncs of the queue journals.");
    m.sample("kormlink_journal_fsyncs_total", "", s.journalSyncs);
    m.family("kormlink_stranded_queue_lines", "gauge",
             "Lines in queue files or journals of the data folder that no configured channel "
             "owns (kept, not read).");
    for (const StatusSnapshot::StrandedFile& f : s.strandedFiles)
        m.sample("kormlink_stranded_queue_lines", "file=\"" + labelValue(f.name) + "\"", f.lines);
    m.family("kormlink_connections_refused_total", "counter",
             "Connections closed at once: the most at once were served (limit), the address is "
             "not allowed (address), or the address held the most it may (per_address).");
    for (const auto& [port, r] : {std::pair{"input", s.repeatersRefused},
                                  std::pair{"output", s.clientsRefused}}) {
        const std::string p = std::string("port=\"") + port + "\",cause=";
        m.sample("kormlink_connections_refused_total", p + "\"limit\"", r.limit);
        m.sample("kormlink_connections_refused_total", p + "\"address\"", r.notAllowed);
        m.sample("kormlink_connections_refused_total", p + "\"per_address\"", r.perAddress);
    }
    m.family("kormlink_client_ids_refused_total", "counter",
             "Channel Ids from monitoring clients refused unread: longer than 64 bytes, or "
             "holding a control byte.");
    m.sample("kormlink_client_ids_refused_total", "", s.clientIdsRefused);
    m.family("kormlink_handover_latency_seconds", "histogram",
             "How long a worker's hand-over waited for the main thread to take it.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < MainThread::kLatencyBuckets; ++i) {
        cumulative += s.handoverLatency.counts[i];
        char le[32];
        if (i < std::size(MainThread::kLatencyBounds))
            std::snprintf(le, sizeof le, "le=\"%g\"", MainThread::kLatencyBounds[i]);
        else
            std::snprintf(le, sizeof le, "le=\"+Inf\"");
        m.sample("kormlink_handover_latency_seconds_bucket", le, cumulative);
    }
    m.sample("kormlink_handover_latency_seconds_sum", "", s.handoverLatency.sumSeconds);
    m.sample("kormlink_handover_latency_seconds_count", "", s.handoverLatency.count);
    return m.take();
}

std::string renderStatusPage(const StatusSnapshot& s, const std::string& title) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"refresh\" content=\"5\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
        html(title) +
        "</title>\n<style>\n"
        "body{font-family:system-ui,sans-serif;margin:1.5em;color:#222}\n"
        "h1{font-size:1.4em}h2{font-size:1.1em;margin-top:1.5em}\n"
        "table{border-collapse:collapse;font-size:0.92em}\n"
        "th,td{border:1px solid #ccc;padding:0.25em 0.6em;text-align:left;vertical-align:top}\n"
        "th{background:#eef2f7}td.n{text-align:right}td.line{font-family:monospace}\n"
        "p.figures{color:#555}p.warning{color:#8a3b00}\n</style>\n</head>\n<body>\n<h1>" +
        html(title) + "</h1>\n";
    page += "<p class=\"figures\">" + std::string(s.running ? "Running" : "Stopped") + ": " +
            std::to_string(s.repeaters.size()) + " repeater connection(s), " +
            std::to_string(s.eventsReceived) + " event lines received, " +
            std::to_string(s.eventsAnswered) + " answered. Read-only; refreshed every 5 s.</p>\n";
    page += "<p class=\"figures\">Refused from repeaters: " + std::to_string(s.overlongLines) +
            " overlong line(s), " + std::to_string(s.controlByteLines) +
            " line(s) with control bytes, " + std::to_string(s.unidentifiedClosed) +
            " connection(s) closed without an Id; " + std::to_string(s.linesNotLogged) +
            " line(s) not logged.</p>\n";
    const auto refusals = [](const StatusSnapshot::Refusals& r) {
        return std::to_string(r.limit) + " over the limit, " + std::to_string(r.notAllowed) +
               " not allowed, " + std::to_string(r.perAddress) + " over the limit of their address";
    };
    page += "<p class=\"figures\">Refused at once: repeaters " + refusals(s.repeatersRefused) +
            "; monitoring clients " + refusals(s.clientsRefused) + "; " +
            std::to_string(s.clientIdsRefused) + " unusable client Ids.</p>\n";
    page += "<h2 id=\"repeaters\">Repeaters</h2>\n<table aria-labelledby=\"repeaters\">\n"
            "<tr><th scope=\"col\">HpId</th><th scope=\"col\">Ip</th><th scope=\"col\">MCnt</th>"
            "<th scope=\"col\">LastMessage</th><th scope=\"col\">Nr</th></tr>\n";
    for (const StatusSnapshot::Repeater& r : s.repeaters)
        page += "<tr><td>" + html(r.id) + "</td><td>" + html(r.ip) + "</td><td class=\"n\">" +
                std::to_string(r.messages) + "</td><td class=\"line\">" + html(r.lastMessage) +
                "</td><td class=\"n\">" + std::to_string(r.nr) + "</td></tr>\n";
    page += "</table>\n";
    for (const StatusSnapshot::ContestedId& c : s.contestedIds)
        page += "<p class=\"warning\">" +
                html("Id " + c.id + " is claimed by " + joinAddresses(c.addresses) +
                     "; commands are refused until one of them ends.") +
                "</p>\n";
    page += "<h2 id=\"channels\">Channels</h2>\n<table aria-labelledby=\"channels\">\n"
            "<tr><th scope=\"col\">Id</th><th scope=\"col\">Queue</th><th scope=\"col\">QSize</th>"
            "<th scope=\"col\">Connected</th><th scope=\"col\">Delivered</th>"
            "<th scope=\"col\">Dropped</th></tr>\n";
    for (const StatusSnapshot::Channel& c : s.channels)
        page += "<tr><td>" + html(c.id) + "</td><td class=\"n\">" + std::to_string(c.queued) +
                "</td><td class=\"n\">" + std::to_string(c.queueSize) + "</td><td>" +
                (c.clients ? "yes (" + std::to_string(c.clients) + ")" : std::string("no")) +
                "</td><td class=\"n\">" + std::to_string(c.delivered) + "</td><td class=\"n\">" +
                std::to_string(c.droppedOverflow + c.droppedLifetime) + "</td></tr>\n";
    page += "</table>\n";
    for (const StatusSnapshot::StrandedFile& f : s.strandedFiles)
        page += "<p class=\"warning\">" + html(f.name) + " holds " + std::to_string(f.lines) +
                " queued line(s) of no configured channel; it is kept and not read.</p>\n";
    page += "<p><a href=\"/metrics\">Metrics</a> (Prometheus text format)</p>\n"
            "</body>\n</html>\n";
    return page;
}

}  // namespace kormlink

#pragma once

// The server's state as the status page and the metrics show it: copied on the main thread in
// one go, then read anywhere (the HTTP server's thread renders it).

#include <cstdint>
#include <string>
#include <vector>

#include "core/main_thread.h"

namespace kormlink {

struct StatusSnapshot {
    struct Repeater {
        std::string id;  // the repeater Id in hex, as the main window shows it
        std::string ip;
        std::int64_t messages = 0;
        std::string lastMessage;
        int nr = 0;
    };
    struct Channel {
        std::string id;
        std::uint64_t queued = 0;
        std::int64_t queueSize = 0;  // QSize
        std::uint32_t clients = 0;
        std::uint64_t routed = 0, delivered = 0;
        std::uint64_t droppedOverflow = 0, droppedLifetime = 0, droppedDuplicate = 0;
    };

    // A repeater Id held by connections from more than one address: commands are refused.
    struct ContestedId {
        std::string id;  // in hex
        std::vector<std::string> addresses;
    };

    struct StrandedFile {
        std::string name;  // a queue file or journal no channel owns
        std::uint64_t lines = 0;
    };

    bool running = false;
    std::vector<Repeater> repeaters;
    std::vector<Channel> channels;
    std::vector<StrandedFile> strandedFiles;
    std::vector<ContestedId> contestedIds;
    std::uint64_t repeaterConnectionsReplaced = 0;
    std::uint64_t eventsReceived = 0;
    std::uint64_t eventsAnswered = 0;
    std::uint64_t timeSyncsToRepeaters = 0;
    std::uint64_t timeSyncsToClients = 0;
    // What repeaters sent that was refused, and what their log budgets kept out of the logs.
    std::uint64_t overlongLines = 0;
    std::uint64_t controlByteLines = 0;
    std::uint64_t unidentifiedClosed = 0;
    std::uint64_t linesNotLogged = 0;
    std::uint64_t journalWrites = 0;
    std::uint64_t journalSyncs = 0;
    MainThread::Latency handoverLatency;
    // Connections closed at once since the listeners started, by cause: the most at once
    // were served, the address is not allowed, the address held the most it may.
    struct Refusals {
        std::uint64_t limit = 0, notAllowed = 0, perAddress = 0;
    };
    Refusals repeatersRefused, clientsRefused;
    std::uint64_t clientIdsRefused = 0;  // too long, or holding a control byte
};

// GET /metrics: the Prometheus text format (version 0.0.4).
std::string renderMetrics(const StatusSnapshot& s);
// GET /: a small read-only page with the repeater and channel lists, refreshed every few
// seconds.
std::string renderStatusPage(const StatusSnapshot& s, const std::string& title);

}  // namespace kormlink

// The status page and the metrics, read over HTTP after scripted traffic; ports in use.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/tcp.h"
#include "server/status_service.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::freePort;
using test::ScriptedRepeater;

// The whole answer (status line, headers, body) to one request, as a client reads it.
std::string request(std::uint16_t port, const std::string& method, const std::string& path,
                    const std::string& host = "localhost") {
    std::string out;
    auto socket = TcpSocket::connectTo("127.0.0.1", port, 2000);
    if (!socket || !socket->sendAll(method + " " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n"))
        return out;
    char buf[4096];
    pollfd p{socket->fd(), POLLIN, 0};
    for (ssize_t n; ::poll(&p, 1, 5000) > 0;) {
        if ((n = ::recv(socket->fd(), buf, sizeof buf, 0)) <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

TEST(StatusService, MetricsAndPageShowTheTrafficAndNothingCanBeChanged) {
    const std::uint16_t http = freePort();
    test::ServerHarness h("[In]\nPort=0\n[Out]\nPort=0\n[Client0]\nId=A\"1\xE9\nQSize=1\n[Http]\nPort=" +
                          std::to_string(http) + "\n");
    ASSERT_EQ(h.onMain([](Server& s) { return s.statusPort(); }), http);
    auto rpt = h.repeater();
    EventSpec e;
    for (const char* tx : {"101", "102", "102", "103"}) {  // one repeat, then overflow
        e.transmitter = tx;
        rpt->send(e.build());
        ASSERT_EQ(rpt->readLine(), "");
    }

    const std::string metrics = request(http, "GET", "/metrics");
    EXPECT_NE(metrics.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    // The quote in the Id escaped, its Latin-1 letter in UTF-8.
    const std::string ch = "{channel=\"A\\\"1\xC3\xA9\"";
    const std::vector<std::string> samples = {
          "kormlink_repeaters_connected 1", "kormlink_events_received_total 4",
          "kormlink_events_answered_total 4", "kormlink_events_routed_total" + ch + "} 3",
          "kormlink_queue_lines" + ch + "} 1", "kormlink_output_clients" + ch + "} 0",
          "kormlink_lines_dropped_total" + ch + ",cause=\"overflow\"} 2",
          "kormlink_lines_dropped_total" + ch + ",cause=\"duplicate\"} 1",
          "kormlink_time_syncs_sent_total{to=\"repeater\"} 1",
          "kormlink_connections_refused_total{port=\"output\",cause=\"per_address\"} 0",
          "# TYPE kormlink_handover_latency_seconds histogram",
          "kormlink_handover_latency_seconds_bucket{le=\"+Inf\"} "};
    for (const std::string& sample : samples)
        EXPECT_NE(metrics.find("\n" + sample), std::string::npos) << sample << "\n" << metrics;

    const std::string page = request(http, "GET", "/");
    for (const char* part : {"Content-Type: text/html; charset=utf-8",
                             "Content-Security-Policy: default-src 'none'",
                             "<meta http-equiv=\"refresh\"", "<td>A1B2</td>", "<td>A&quot;1\xC3\xA9</td>"})
        EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;

    for (const auto& [method, path, status] :
         {std::tuple{"POST", "/metrics", "405"}, {"PUT", "/", "405"}, {"DELETE", "/", "405"},
          {"GET", "/settings", "404"}, {"GET", "/metrics", "200"}})
        EXPECT_EQ(request(http, method, path).substr(9, 3), status) << method << " " << path;
    // Reached under someone else's name (DNS rebinding), the page is refused.
    for (const auto& [host, status] : {std::pair{"evil.example", "403"}, {"127.0.0.1:8080", "200"}})
        EXPECT_EQ(request(http, "GET", "/", host).substr(9, 3), status) << host;

    // The main thread copies the figures at most once a second, however many requests come.
    sleepMs(StatusService::kSnapshotReuseMs);
    const Millis copied = steadyClock().now();
    request(http, "GET", "/metrics");
    rpt->send(e.build());
    ASSERT_EQ(rpt->readLine(), "");
    const std::string again = request(http, "GET", "/metrics");
    if (steadyClock().now() - copied < StatusService::kSnapshotReuseMs - 100) {  // not on a slow run
        EXPECT_NE(again.find("events_received_total 4"), std::string::npos);
    }
    sleepMs(StatusService::kSnapshotReuseMs);
    EXPECT_NE(request(http, "GET", "/metrics").find("events_received_total 5"), std::string::npos);
}

// The status port in use is reported; with no channel ([Com] without ComOn is none) the output
// port is not opened either; the server runs on.
TEST(StatusService, PortsInUseOrWithoutUseAreLeftAndTheServerRunsOn) {
    auto taken = TcpListener::open(0, nullptr);
    ASSERT_TRUE(taken);
    testing::internal::CaptureStderr();
    test::ServerHarness h("[In]\nPort=0\n[Out]\nPort=0\n[Com]\nQSize=5\n[Http]\nPort=" +
                          std::to_string(taken->port()) + "\nAddress=127.0.0.1\n");
    ScriptedRepeater rpt(h.port());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot serve the status page on 127.0.0.1:"), std::string::npos) << err;
    EXPECT_EQ(h.onMain([](Server& s) { return s.statusPort(); }), 0);
    EXPECT_TRUE(rpt.readWelcome());
    EXPECT_EQ(h.onMain([](Server& s) { return s.outputPort(); }), 0);
    EXPECT_FALSE(h.onMain([](Server& s) { return s.HasChannels; }));
}

}  // namespace
}  // namespace kormlink

// What the black-box tests cannot see: numbers written exactly as before
// (a client may compare the text), and the names a server listening on every
// address answers to.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "check/camera_check.h"
#include "text/float_text.h"
#include "status/status.h"
#include "status/status_text.h"
#include "http/status_address.h"

TEST(StatusText, NumbersAsPythonWroteThem) {
  EXPECT_EQ(float_text(30.0), "30.0");
  EXPECT_EQ(float_text(0.0), "0.0");
  EXPECT_EQ(float_text(-0.0), "-0.0");
  EXPECT_EQ(float_text(29.97), "29.97");
  EXPECT_EQ(float_text(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(float_text(0.0001), "0.0001");
  EXPECT_EQ(float_text(0.00001), "1e-05");
  EXPECT_EQ(float_text(1.5e-7), "1.5e-07");
  EXPECT_EQ(float_text(1e15), "1000000000000000.0");
  EXPECT_EQ(float_text(1e16), "1e+16");
  EXPECT_EQ(float_text(1.25e100), "1.25e+100");
  EXPECT_EQ(float_text(123456.5), "123456.5");
  // round(x, 1): the exact binary value decides, ties to even.
  EXPECT_EQ(float_text(round_tenths(12.345)), "12.3");
  EXPECT_EQ(float_text(round_tenths(0.05)), "0.1");   // 0.05 is a little above 0.05
  EXPECT_EQ(float_text(round_tenths(0.25)), "0.2");   // exact tie
  EXPECT_EQ(float_text(round_tenths(2.675)), "2.7");
  EXPECT_EQ(float_text(round_tenths(86399.96)), "86400.0");
}

TEST(StatusText, JsonMembersInOrderWithNullsAndUtf8) {
  auto now = std::chrono::steady_clock::now();
  std::vector<StatusRow> rows(3);
  rows[0].name = "Kamera \xc3\xbc \"1\"";
  rows[0].input = "rtsp://u:***@h/\n";
  rows[0].state = "running";
  rows[0].fps = 30;
  rows[0].running = true;
  rows[0].started_at = now - std::chrono::milliseconds(1250);
  rows[0].stall = 10;
  // Its picture has been the same for longer than its stall limit while
  // pictures are counted: frozen.
  rows[0].has_level = true;
  rows[0].level[0] = -6.0;
  rows[0].level[1] = -100.0;
  rows[0].program = true;
  rows[0].picture = true;
  rows[0].picture_at = now - std::chrono::milliseconds(500);
  rows[0].picture_same_since = now - std::chrono::seconds(11);
  rows[1].name = "B";
  rows[1].input = "x";
  rows[1].state = "stopped";
  rows[1].restarts = 2;
  rows[1].has_exit_code = true;
  rows[1].exit_code = 3;
  rows[1].has_error = true;
  rows[1].error = "ffmpeg_spawn";
  auto diagnosis = std::make_shared<CheckResult>();
  diagnosis->reason = "auth";
  diagnosis->message = "words";
  diagnosis->detail = "rtsp://u:***@h/: \"401\"";
  diagnosis->at = "2026-12-09T06:00:00Z";
  rows[1].diagnosis = diagnosis;
  rows[1].ptz = true;
  rows[1].ptz_state = "held";
  rows[1].has_ptz_last = true;
  rows[1].ptz_command = "zoom";
  rows[1].ptz_result = "refused";
  rows[1].ptz_at = "2026-12-09T06:00:01Z";
  // Failing, waiting for its next start.
  rows[2].name = "C";
  rows[2].input = "y";
  rows[2].state = "down";
  rows[2].has_down_since = true;
  rows[2].down_since = now - std::chrono::seconds(95);
  rows[2].down_since_utc = "2026-12-09T05:58:25Z";
  rows[2].has_next_try = true;
  rows[2].next_try = now + std::chrono::milliseconds(7960);
  rows[2].restarts = 4;
  rows[2].has_exit_code = true;
  rows[2].exit_code = 3;
  rows[2].has_error = true;
  rows[2].error = "ffmpeg_connect";
  EXPECT_EQ(status_json_text(rows, now),
            "{\"sources\":[{\"name\":\"Kamera \xc3\xbc \\\"1\\\"\",\"input\":\"rtsp://u:***@h/\\n\",\"state\":\"running\","
            "\"down_since\":null,\"next_try\":null,\"fps\":30.0,\"connections\":0,\"restarts\":0,"
            "\"exit_code\":null,\"error\":null,\"stall\":10.0,"
            "\"uptime\":1.2,\"level\":[-6.0,-100.0],\"tally\":{\"program\":true,\"preview\":false},"
            "\"picture\":\"/picture?name=Kamera%20%C3%BC%20%221%22\",\"picture_age\":0.5,\"frozen\":true,"
            "\"diagnosis\":null,\"ptz\":null},"
            "{\"name\":\"B\",\"input\":\"x\",\"state\":\"stopped\",\"down_since\":null,\"next_try\":null,"
            "\"fps\":0.0,\"connections\":0,"
            "\"restarts\":2,\"exit_code\":3,\"error\":\"ffmpeg_spawn\",\"stall\":0.0,\"uptime\":null,"
            "\"level\":null,\"tally\":{\"program\":false,\"preview\":false},\"picture\":null,"
            "\"picture_age\":null,\"frozen\":false,\"diagnosis\":{\"reason\":\"auth\",\"message\":\"words\","
            "\"detail\":\"rtsp://u:***@h/: \\\"401\\\"\",\"at\":\"2026-12-09T06:00:00Z\"},"
            "\"ptz\":{\"state\":\"held\",\"last\":{\"command\":\"zoom\",\"result\":\"refused\","
            "\"at\":\"2026-12-09T06:00:01Z\"}}},"
            "{\"name\":\"C\",\"input\":\"y\",\"state\":\"down\",\"down_since\":\"2026-12-09T05:58:25Z\","
            "\"next_try\":8.0,\"fps\":0.0,\"connections\":0,\"restarts\":4,\"exit_code\":3,"
            "\"error\":\"ffmpeg_connect\",\"stall\":0.0,\"uptime\":null,\"level\":null,"
            "\"tally\":{\"program\":false,\"preview\":false},\"picture\":null,\"picture_age\":null,"
            "\"frozen\":false,\"diagnosis\":null,\"ptz\":null}]}");
  // Nor is one whose files no longer arrive (a full or read-only folder):
  // the pictures are not being written, the camera need not be frozen.
  rows[0].picture_at = now - std::chrono::seconds(11);
  EXPECT_FALSE(status_frozen(rows[0], now));
  rows[0].picture_at = now - std::chrono::milliseconds(500);
  // A picture that changed within the limit is not frozen.
  rows[0].picture_same_since = now - std::chrono::seconds(9);
  EXPECT_FALSE(status_frozen(rows[0], now));
  rows[0].last_picture = now - std::chrono::milliseconds(1500);
  rows[1].last_picture = now - std::chrono::seconds(75);
  std::string metrics = metrics_text(rows, "/usr/bin/qor-ndi-send", now);
  std::string up =
      "# HELP qor_ndi_source_up 1 while the source is in the state running (its tool has started and it is not "
      "down), else 0.\n"
      "# TYPE qor_ndi_source_up gauge\n"
      "qor_ndi_source_up{source=\"Kamera \xc3\xbc \\\"1\\\"\"} 1\n"
      "qor_ndi_source_up{source=\"B\"} 0\n"
      "qor_ndi_source_up{source=\"C\"} 0\n";
  EXPECT_NE(metrics.find(up), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("qor_ndi_source_fps{source=\"B\"} 0.0\n"), std::string::npos) << metrics;
  // Counted from the last picture of any run, whatever the state now.
  EXPECT_NE(metrics.find("qor_ndi_source_seconds_since_picture{source=\"B\"} 75.0\n"), std::string::npos);
  EXPECT_NE(metrics.find("qor_ndi_source_state{source=\"B\",state=\"waiting\"} 0\n"
                         "qor_ndi_source_state{source=\"B\",state=\"stopped\"} 1\n"),
            std::string::npos)
      << metrics;
  // Down is a state of its own, and not up: the alert on qor_ndi_source_up fires for it.
  EXPECT_NE(metrics.find("qor_ndi_source_state{source=\"C\",state=\"held\"} 0\n"
                         "qor_ndi_source_state{source=\"C\",state=\"down\"} 1\n"
                         "# HELP qor_ndi_source_diagnosis "),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("qor_ndi_source_diagnosis{source=\"B\",reason=\"auth\"} 1\n"
                         "qor_ndi_source_diagnosis{source=\"B\",reason=\"not_found\"} 0\n"),
            std::string::npos)
      << metrics;
  // The peaks only while there are some; the tally always.
  EXPECT_NE(metrics.find("qor_ndi_source_audio_peak_dbfs{source=\"Kamera \xc3\xbc \\\"1\\\"\",channel=\"left\"} -6.0\n"
                         "qor_ndi_source_audio_peak_dbfs{source=\"Kamera \xc3\xbc \\\"1\\\"\",channel=\"right\"} -100.0\n"
                         "# HELP qor_ndi_source_tally "),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("qor_ndi_source_tally{source=\"B\",kind=\"program\"} 0\n"
                         "qor_ndi_source_tally{source=\"B\",kind=\"preview\"} 0\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("qor_ndi_supervise_build_info{version=\"" QOR_TEST_VERSION
                         "\",tool=\"/usr/bin/qor-ndi-send\"} 1\n"),
            std::string::npos)
      << metrics;
}

TEST(StatusHosts, EveryAddressAnswersToItsNamesAndAnyIpOnly) {
  StatusAddress address;
  ASSERT_TRUE(status_address_parse("0.0.0.0:8597", &address));
  StatusListen listen;
  std::string message;
  ASSERT_TRUE(status_address_resolve("0.0.0.0:8597", address, &listen, &message)) << message;
  EXPECT_TRUE(listen.hosts.any_address);
  for (const char* host : {"localhost:8597", "10.1.2.3:8597", "[fe80::1]:8597", "0.0.0.0:8597"}) {
    EXPECT_TRUE(status_host_allowed(listen.hosts, host)) << host;
  }
  for (const char* host : {"evil.example:8597", "10.1.2.3:8598", "10.1.2.3", "01.2.3.4:8597", "[x]:8597"}) {
    EXPECT_FALSE(status_host_allowed(listen.hosts, host)) << host;
  }
  // This machine's name, with and without .local.
  int names = 0;
  for (const std::string& n : listen.hosts.names) {
    if (n.size() > 6 && n.compare(n.size() - 6, 6, ".local") == 0) {
      ++names;
      EXPECT_TRUE(status_host_allowed(listen.hosts, n + ":8597")) << n;
      EXPECT_TRUE(status_host_allowed(listen.hosts, n.substr(0, n.size() - 6) + ":8597")) << n;
    }
  }
  EXPECT_EQ(names, 1);

  ASSERT_TRUE(status_address_parse("127.0.0.1:8597", &address));
  ASSERT_TRUE(status_address_resolve("127.0.0.1:8597", address, &listen, &message)) << message;
  EXPECT_FALSE(listen.hosts.any_address);
  EXPECT_FALSE(status_host_allowed(listen.hosts, "10.1.2.3:8597"));
}

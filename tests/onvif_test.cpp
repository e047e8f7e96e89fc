// What the fake camera's one date and one network cannot show: the clock
// read over leap days and century years, the stale-address rewrite, and the
// address texts read the same on every system.
#include <gtest/gtest.h>

#include <string>

#include "answers.h"
#include "discovery.h"
#include "readdress.h"
#include "requests.h"
#include "udp.h"

static int64_t camera_time(int y, int mo, int d, int h, int mi, int s) {
  std::string xml =
      "<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'><e:Body><x:GetSystemDateAndTimeResponse>"
      "<x:SystemDateAndTime><t:UTCDateTime><t:Date><t:Year>" +
      std::to_string(y) + "</t:Year><t:Month>" + std::to_string(mo) + "</t:Month><t:Day>" + std::to_string(d) +
      "</t:Day></t:Date><t:Time><t:Hour>" + std::to_string(h) + "</t:Hour><t:Minute>" + std::to_string(mi) +
      "</t:Minute><t:Second>" + std::to_string(s) +
      "</t:Second></t:Time></t:UTCDateTime></x:SystemDateAndTime></x:GetSystemDateAndTimeResponse></e:Body>"
      "</e:Envelope>";
  std::string why;
  OnvifAnswerPtr a = onvif_answer_read(xml, &why);
  EXPECT_TRUE(a) << why;
  int64_t t = -1;
  if (a) {
    EXPECT_TRUE(read_system_time(*a, &t));
  }
  return t;
}

TEST(OnvifClock, CameraTimeAndTokenTimeAgreeWithTheCalendar) {
  // Seconds since 1970 as `date -u -d ... +%s` gives them.
  EXPECT_EQ(camera_time(1970, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(camera_time(2000, 2, 29, 12, 0, 0), 951825600);
  EXPECT_EQ(camera_time(2000, 3, 1, 0, 0, 0), 951868800);
  EXPECT_EQ(camera_time(2100, 3, 1, 0, 0, 0), 4107542400);  // 2100 is no leap year
  EXPECT_EQ(camera_time(2024, 12, 31, 23, 59, 59), 1735689599);
  EXPECT_EQ(utc_text(951825600), "2000-02-29T12:00:00Z");
  EXPECT_EQ(utc_text(4107542399), "2100-02-28T23:59:59Z");
  EXPECT_EQ(utc_text(1735689599), "2024-12-31T23:59:59Z");
}

TEST(OnvifAddresses, OnlyAnAddressOffTheAnsweringNetworkIsReplaced) {
  Ipv4Interface lan;
  lan.address = 0xC0A80105;  // 192.168.1.5/24
  lan.netmask = 0xFFFFFF00;
  uint32_t from = 0xC0A80140;  // 192.168.1.64
  EXPECT_EQ(onto_network("http://10.0.0.9:8080/onvif/device_service", from, lan),
            "http://192.168.1.64:8080/onvif/device_service");
  EXPECT_EQ(onto_network("rtsp://user:pw@10.0.0.9/live?x=1", from, lan), "rtsp://user:pw@192.168.1.64/live?x=1");
  EXPECT_EQ(onto_network("rtsp://192.168.1.70:554/live", from, lan), "rtsp://192.168.1.70:554/live");
  EXPECT_EQ(onto_network("http://cam.local/onvif/device_service", from, lan), "http://cam.local/onvif/device_service");
  EXPECT_EQ(onto_network("http://10.0.0.9/x", from, Ipv4Interface()), "http://10.0.0.9/x");  // no network known
}

TEST(OnvifAddresses, AHostIsReplacedWithItsPortAndTheRestKept) {
  EXPECT_EQ(url_with_host("rtsp://u:p@[fe80::1]:8554/live?a=b", "10.1.2.3"), "rtsp://u:p@10.1.2.3:8554/live?a=b");
  EXPECT_EQ(url_with_host("http://cam/onvif", "fe80::2"), "http://[fe80::2]/onvif");
  EXPECT_EQ(url_host("rtsp://u:p@[fe80::1]:8554/live"), "fe80::1");
  EXPECT_EQ(url_host("rtsp://a@b@cam:554/x@y"), "cam");
  HttpAddress answered;
  ASSERT_TRUE(http_address_read("http://127.0.0.5:8080/onvif/device_service", &answered));
  EXPECT_EQ(service_at("http://10.0.0.9/onvif/media?x=1", answered), "http://127.0.0.5:8080/onvif/media?x=1");
  Ipv4Interface lan;
  lan.address = 0xC0A80105;  // 192.168.1.5/24
  lan.netmask = 0xFFFFFF00;
  EXPECT_TRUE(host_reachable("192.168.1.70", {lan}));
  EXPECT_TRUE(host_reachable("127.9.9.9", {}));
  EXPECT_TRUE(host_reachable("cam.local", {}));  // a name: only trying tells
  EXPECT_FALSE(host_reachable("10.0.0.9", {lan}));
}

TEST(OnvifAddresses, DottedQuadsAreReadStrictlyAndWrittenBack) {
  uint32_t a = 0;
  EXPECT_TRUE(ipv4_read("192.168.1.64", &a));
  EXPECT_EQ(a, 0xC0A80140u);
  EXPECT_EQ(ipv4_text(a), "192.168.1.64");
  EXPECT_TRUE(ipv4_read("0.0.0.0", &a));
  EXPECT_EQ(a, 0u);
  EXPECT_TRUE(ipv4_read("255.255.255.255", &a));
  EXPECT_EQ(ipv4_text(a), "255.255.255.255");
  for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "01.2.3.4", "1.2.3.256", "1..3.4", " 1.2.3.4",
                          "1.2.3.4 ", "0x1.2.3.4", "cam.local", "1.2.3.-4"})
    EXPECT_FALSE(ipv4_read(bad, &a)) << bad;
  EXPECT_EQ(a, 0xFFFFFFFFu);  // untouched by a text it refused
}

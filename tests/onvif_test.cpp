// What the fake camera's one date and one network cannot show: the clock
// read over leap days and century years, the stale-address rewrite, the
// address texts read the same on every system, and the PTZ calls' numbers
// whatever the locale and whatever ranges a camera lists.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <locale>
#include <string>

#include "answers.h"
#include "discovery.h"
#include "ptz_soap.h"
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

static const char kPtVelocity[] = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace";
static const char kZoomVelocity[] = "http://www.onvif.org/ver10/tptz/ZoomSpaces/VelocityGenericSpace";

static PtzSpace space(const char* uri, double x0, double x1, double y0 = 0, double y1 = 0) {
  PtzSpace s;
  s.uri = uri;
  s.x = {x0, x1};
  s.y = {y0, y1};
  return s;
}

// A locale whose numbers have a decimal comma and grouped thousands, as a
// German desktop's would: no system needs to have one installed.
struct CommaNumbers : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

struct LocaleRestored {
  ~LocaleRestored() {
    std::setlocale(LC_ALL, "C");
    std::locale::global(std::locale::classic());
  }
};

// A move at half speed right, full speed down and a quarter zoom is written
// with decimal points under a C++ locale with a decimal comma, and under such a
// C locale where one is installed (Wine has them; this Linux may not).
TEST(OnvifPtz, AMoveIsWrittenWithDecimalPointsWhateverTheLocale) {
  PtzAbilities c;
  c.spaces.continuous_pan_tilt = {space(kPtVelocity, -1, 1, -1, 1)};
  c.spaces.continuous_zoom = {space(kZoomVelocity, -1, 1)};
  c.has_timeout = true;
  c.timeout = {0.5, 60};
  PtzCall call;
  ASSERT_TRUE(ptz_velocity(c, 0.5, -1, 0.25, true, &call));
  call.profile = "Profile_1";
  std::string expected = std::string("<tptz:ContinuousMove xmlns:tptz=\"http://www.onvif.org/ver20/ptz/wsdl\" "
                                     "xmlns:tt=\"http://www.onvif.org/ver10/schema\">"
                                     "<tptz:ProfileToken>Profile_1</tptz:ProfileToken><tptz:Velocity>"
                                     "<tt:PanTilt x=\"0.5\" y=\"-1\" space=\"") +
                         kPtVelocity + "\"/><tt:Zoom x=\"0.25\" space=\"" + kZoomVelocity +
                         "\"/></tptz:Velocity><tptz:Timeout>PT1S</tptz:Timeout></tptz:ContinuousMove>";
  LocaleRestored restore;
  std::locale::global(std::locale(std::locale::classic(), new CommaNumbers));
  std::string written = ptz_request(call, nullptr);
  EXPECT_NE(written.find(expected), std::string::npos) << written;

  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8", "de-DE"}) {
    if (std::setlocale(LC_ALL, name) && std::localeconv()->decimal_point[0] == ',') {
      written = ptz_request(call, nullptr);
      EXPECT_NE(written.find(expected), std::string::npos) << name << ": " << written;
      break;
    }
  }
}

TEST(OnvifPtz, SpeedsAreScaledBySignIntoTheCamerasOwnRanges) {
  PtzAbilities c;
  // Degrees first, the generic space second: the generic one is taken.
  c.spaces.continuous_pan_tilt = {space("urn:deg", -90, 90, 0, 360), space(kPtVelocity, -1, 1, -1, 1)};
  PtzCall call;
  ASSERT_TRUE(ptz_velocity(c, 0.25, -2, 1, true, &call));
  EXPECT_EQ(call.pan_tilt_space, kPtVelocity);
  EXPECT_EQ(call.pan, 0.25);
  EXPECT_EQ(call.tilt, -1);
  EXPECT_FALSE(call.has_zoom);  // no zoom space: the zoom is not sent
  EXPECT_EQ(call.timeout_s, 0);  // the options give no Timeout range

  // Without it the first listed space, its own URI and ranges.
  c.spaces.continuous_pan_tilt.pop_back();
  c.spaces.continuous_zoom = {space("urn:zoom", 0, 10)};
  c.has_timeout = true;
  c.timeout = {5.5, 5.7};
  ASSERT_TRUE(ptz_velocity(c, -0.5, -0.5, -1, true, &call));
  EXPECT_EQ(call.pan_tilt_space, "urn:deg");
  EXPECT_EQ(call.pan, -45);
  EXPECT_EQ(call.tilt, 0);  // a 0..360 range gets no negative
  EXPECT_EQ(call.zoom, 0);
  EXPECT_EQ(call.zoom_space, "urn:zoom");
  EXPECT_EQ(call.timeout_s, 5);  // the minimum rounded up, but not past the maximum
  ASSERT_TRUE(ptz_velocity(c, 0, 0.5, 0.5, true, &call));
  EXPECT_EQ(call.pan, 0);  // still sent, to stop that axis
  EXPECT_TRUE(call.has_pan_tilt);
  EXPECT_EQ(call.tilt, 180);
  EXPECT_EQ(call.zoom, 5);
  EXPECT_FALSE(ptz_velocity(PtzAbilities(), 1, 1, 1, true, &call));

  // Positions: the profile's default space only when the camera lists it.
  c.spaces.absolute_pan_tilt = {space("urn:deg", -180, 180, -30, 90)};
  c.spaces.absolute_zoom = {space("urn:mm", 4, 40)};
  PtzProfile p;
  EXPECT_FALSE(ptz_pan_tilt_position(c, p, 0, 0, &call));
  p.default_absolute_pan_tilt = "urn:deg";
  p.default_absolute_zoom = "urn:mm";
  PtzCall move;
  ASSERT_TRUE(ptz_pan_tilt_position(c, p, 0.5, -1, &move));
  ASSERT_TRUE(ptz_zoom_position(c, p, 0.25, &move));
  EXPECT_EQ(move.pan, 90);
  EXPECT_EQ(move.tilt, -30);
  EXPECT_EQ(move.zoom, 13);
  EXPECT_TRUE(move.has_pan_tilt);  // both axes in the one call

  PtzCall go;
  ptz_goto_speed(c, 0.5, &go);
  EXPECT_FALSE(go.has_speed);  // no speed space listed
  c.spaces.pan_tilt_speed = {space("urn:dps", 0, 300)};
  ptz_goto_speed(c, 0.5, &go);
  EXPECT_TRUE(go.has_speed);
  EXPECT_EQ(go.pan, 150);
  EXPECT_EQ(go.tilt, 150);
  EXPECT_FALSE(go.has_zoom);
}

static OnvifAnswerPtr ptz_answer(const std::string& body) {
  std::string why;
  OnvifAnswerPtr a = onvif_answer_read(
      "<env:Envelope xmlns:env='http://www.w3.org/2003/05/soap-envelope' xmlns:tt='http://www.onvif.org/ver10/schema' "
      "xmlns:tptz='http://www.onvif.org/ver20/ptz/wsdl' xmlns:trt='http://www.onvif.org/ver10/media/wsdl'><env:Body>" +
          body + "</env:Body></env:Envelope>",
      &why);
  EXPECT_TRUE(a) << why;
  return a;
}

static std::string xml_space(const char* kind, const char* uri, const char* x, const char* y = nullptr) {
  std::string s = std::string("<tt:") + kind + "><tt:URI>" + uri + "</tt:URI><tt:XRange>" + x + "</tt:XRange>";
  if (y) s += std::string("<tt:YRange>") + y + "</tt:YRange>";
  return s + "</tt:" + kind + ">";
}

TEST(OnvifPtz, AnswersAreReadAndBadRangesDropped) {
  const char* unit = "<tt:Min>-1</tt:Min><tt:Max>1</tt:Max>";
  OnvifAnswerPtr options = ptz_answer(
      "<tptz:GetConfigurationOptionsResponse><tptz:PTZConfigurationOptions><tt:Spaces>" +
      xml_space("AbsolutePanTiltPositionSpace", "http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace",
                unit, unit) +
      xml_space("ContinuousPanTiltVelocitySpace", "urn:nan", "<tt:Min>NaN</tt:Min><tt:Max>1</tt:Max>", unit) +
      xml_space("ContinuousPanTiltVelocitySpace", "urn:deg", "<tt:Min>-90.5</tt:Min><tt:Max>+90.5</tt:Max>",
                "<tt:Min>0</tt:Min><tt:Max>360</tt:Max>") +
      xml_space("ContinuousPanTiltVelocitySpace", "urn:no-y", unit) +
      xml_space("ContinuousZoomVelocitySpace", kZoomVelocity, "<tt:Min>1</tt:Min><tt:Max>-1</tt:Max>") +
      xml_space("PanTiltSpeedSpace", "http://www.onvif.org/ver10/tptz/PanTiltSpaces/GenericSpeedSpace",
                "<tt:Min>0</tt:Min><tt:Max>1</tt:Max>") +
      "</tt:Spaces><tt:PTZTimeout><tt:Min>PT0.5S</tt:Min><tt:Max>PT1M</tt:Max></tt:PTZTimeout>"
      "</tptz:PTZConfigurationOptions></tptz:GetConfigurationOptionsResponse>");
  // Another camera's prefixes: names are matched whatever they are bound to.
  OnvifAnswerPtr node = ptz_answer(
      "<ns2:GetNodeResponse xmlns:ns2='http://www.onvif.org/ver20/ptz/wsdl'><ns2:PTZNode token='n1'>"
      "<ns3:SupportedPTZSpaces xmlns:ns3='http://www.onvif.org/ver10/schema'>"
      "<ns3:ContinuousPanTiltVelocitySpace><ns3:URI>urn:node</ns3:URI><ns3:XRange><ns3:Min>-1</ns3:Min>"
      "<ns3:Max>1</ns3:Max></ns3:XRange><ns3:YRange><ns3:Min>-1</ns3:Min><ns3:Max>1</ns3:Max></ns3:YRange>"
      "</ns3:ContinuousPanTiltVelocitySpace><ns3:ContinuousZoomVelocitySpace><ns3:URI>urn:node-zoom</ns3:URI>"
      "<ns3:XRange><ns3:Min>-1</ns3:Min><ns3:Max>1</ns3:Max></ns3:XRange></ns3:ContinuousZoomVelocitySpace>"
      "</ns3:SupportedPTZSpaces><ns3:MaximumNumberOfPresets xmlns:ns3='http://www.onvif.org/ver10/schema'>255"
      "</ns3:MaximumNumberOfPresets></ns2:PTZNode></ns2:GetNodeResponse>");
  ASSERT_TRUE(options && node);
  PtzAbilities c = ptz_abilities_merge(read_ptz_options(*options), read_ptz_node(*node));
  ASSERT_EQ(c.spaces.continuous_pan_tilt.size(), 1u);  // NaN and a missing YRange dropped; not the node's
  EXPECT_EQ(c.spaces.continuous_pan_tilt[0].uri, "urn:deg");
  EXPECT_EQ(c.spaces.continuous_pan_tilt[0].x.max, 90.5);
  EXPECT_EQ(c.spaces.continuous_pan_tilt[0].y.max, 360);
  ASSERT_EQ(c.spaces.continuous_zoom.size(), 1u);  // min > max dropped: the node's fills the kind
  EXPECT_EQ(c.spaces.continuous_zoom[0].uri, "urn:node-zoom");
  EXPECT_EQ(c.spaces.absolute_pan_tilt.size(), 1u);
  EXPECT_EQ(c.spaces.pan_tilt_speed.size(), 1u);
  EXPECT_TRUE(c.has_timeout);
  EXPECT_EQ(c.timeout.min, 0.5);
  EXPECT_EQ(c.timeout.max, 60);
  EXPECT_EQ(c.max_presets, 255);

  OnvifAnswerPtr presets = ptz_answer(
      "<tptz:GetPresetsResponse><tptz:Preset token='1'><tt:Name>Door</tt:Name><tt:PTZPosition/></tptz:Preset>"
      "<tptz:Preset><tt:Name>no token</tt:Name></tptz:Preset><tptz:Preset token='2'><tt:Name>" +
      std::string(1025, 'x') + "</tt:Name></tptz:Preset><tptz:Preset token='ndi'/></tptz:GetPresetsResponse>");
  ASSERT_TRUE(presets);
  std::vector<PtzPreset> list = read_ptz_presets(*presets);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].token, "1");
  EXPECT_EQ(list[0].name, "Door");
  EXPECT_EQ(list[1].token, "ndi");

  // The schema's own DefaultAbsolutePantTiltPositionSpace, and the spelling
  // some cameras use.
  OnvifAnswerPtr profiles = ptz_answer(
      "<trt:GetProfilesResponse><trt:Profiles token='a'><tt:PTZConfiguration token='pa'><tt:NodeToken>n1"
      "</tt:NodeToken><tt:DefaultAbsolutePanTiltPositionSpace>urn:right</tt:DefaultAbsolutePanTiltPositionSpace>"
      "</tt:PTZConfiguration></trt:Profiles><trt:Profiles token='b'><tt:Name>b</tt:Name>"
      "<tt:PTZConfiguration token='pb'><tt:NodeToken>n2</tt:NodeToken>"
      "<tt:DefaultAbsolutePantTiltPositionSpace>urn:schema</tt:DefaultAbsolutePantTiltPositionSpace>"
      "<tt:DefaultContinuousZoomVelocitySpace>urn:zoom</tt:DefaultContinuousZoomVelocitySpace>"
      "</tt:PTZConfiguration></trt:Profiles></trt:GetProfilesResponse>");
  ASSERT_TRUE(profiles);
  PtzProfile b = read_ptz_profile(*profiles, "b");
  EXPECT_EQ(b.configuration, "pb");
  EXPECT_EQ(b.node, "n2");
  EXPECT_EQ(b.default_absolute_pan_tilt, "urn:schema");
  EXPECT_EQ(b.default_continuous_zoom, "urn:zoom");
  EXPECT_EQ(read_ptz_profile(*profiles, "a").default_absolute_pan_tilt, "urn:right");
  EXPECT_TRUE(read_ptz_profile(*profiles, "c").configuration.empty());
}

// The PTZ reader (what receivers send, as the runtime hands it over) and the
// pace of ptz lines, with a clock the test moves.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ptz_rate.h"
#include "ptz_text.h"

namespace {

// The members of the line a text gives, or "ignored".
std::string read(const std::string& text) {
  PtzCommand c;
  if (!ptz_read(text.data(), text.size(), &c)) return "ignored";
  return c.members;
}

struct Case {
  const char* text;
  const char* members;
};

void check(const std::vector<Case>& cases) {
  for (const Case& k : cases) EXPECT_EQ(read(k.text), k.members) << k.text;
}

TEST(PtzRead, EachTextTheRuntimeDeliversBecomesItsLine) {
  check({
      {R"(<ntk_ptz_pan_tilt_speed pan_speed="0.500000" tilt_speed="-0.250000"/>)",
       R"("command":"pan_tilt_speed","pan_speed":0.5,"tilt_speed":-0.25)"},
      {R"(<ntk_ptz_pan_tilt_speed pan_speed="0.000000" tilt_speed="0.000000"/>)",
       R"("command":"pan_tilt_speed","pan_speed":0,"tilt_speed":0)"},
      {R"(<ntk_ptz_pan_tilt pan="0.100000" tilt="-0.200000"/>)", R"("command":"pan_tilt","pan":0.1,"tilt":-0.2)"},
      {R"(<ntk_ptz_zoom_speed zoom_speed="-0.750000"/>)", R"("command":"zoom_speed","zoom_speed":-0.75)"},
      {R"(<ntk_ptz_zoom zoom="0.600000"/>)", R"("command":"zoom","zoom":0.6)"},
      {R"(<ntk_ptz_store_preset index="7"/>)", R"("command":"store_preset","index":7)"},
      {R"(<ntk_ptz_recall_preset index="7" speed="0.800000"/>)", R"("command":"recall_preset","index":7,"speed":0.8)"},
      {R"(<ntk_ptz_focus mode="auto"/>)", R"("command":"focus","mode":"auto")"},
      {R"(<ntk_ptz_focus mode="manual" distance="0.400000"/>)", R"("command":"focus","mode":"manual","distance":0.4)"},
      {R"(<ntk_ptz_focus_speed mode="manual" distance="0.900000"/>)", R"("command":"focus_speed","speed":0.9)"},
      {R"(<ntk_ptz_white_balance mode="auto"/>)", R"("command":"white_balance","mode":"auto")"},
      {R"(<ntk_ptz_white_balance mode="indoor"/>)", R"("command":"white_balance","mode":"indoor")"},
      {R"(<ntk_ptz_white_balance mode="outdoor"/>)", R"("command":"white_balance","mode":"outdoor")"},
      {R"(<ntk_ptz_white_balance mode="one_shot"/>)", R"("command":"white_balance","mode":"one_shot")"},
      {R"(<ntk_ptz_white_balance mode="manual" red="0.300000" blue="0.600000"/>)",
       R"("command":"white_balance","mode":"manual","red":0.3,"blue":0.6)"},
      {R"(<ntk_ptz_exposure mode="auto"/>)", R"("command":"exposure","mode":"auto")"},
      {R"(<ntk_ptz_exposure mode="manual" value="0.550000"/>)", R"("command":"exposure","mode":"manual","value":0.55)"},
  });
}

TEST(PtzRead, OrderSpacingQuotesAndNumberFormsVary) {
  const char* zoom = R"("command":"zoom","zoom":0.6)";
  check({
      {R"(<ntk_ptz_pan_tilt_speed tilt_speed="-0.25" pan_speed="0.5"/>)",
       R"("command":"pan_tilt_speed","pan_speed":0.5,"tilt_speed":-0.25)"},
      {"\r\n <ntk_ptz_zoom\tzoom = '0.6'\n/> \n", zoom},
      {R"(<ntk_ptz_zoom zoom="0.6"></ntk_ptz_zoom>)", zoom},
      {R"(<ntk_ptz_zoom zoom=".6"/>)", zoom},
      {R"(<ntk_ptz_zoom zoom="+0.6"/>)", zoom},
      {R"(<ntk_ptz_zoom zoom="6E-1"/>)", zoom},
      {R"(<ntk_ptz_zoom zoom=" 0.60 "/>)", zoom},
      {R"(<ntk_ptz_zoom future="x" zoom="0.6"/>)", zoom},  // what it does not know is passed over
      {R"(<ntk_ptz_zoom zoom="1"/>)", R"("command":"zoom","zoom":1)"},
      {R"(<ntk_ptz_zoom zoom="0.123456789"/>)", R"("command":"zoom","zoom":0.123456789)"},
      {R"(<ntk_ptz_zoom zoom="1e-7"/>)", R"("command":"zoom","zoom":1e-07)"},
      {R"(<ntk_ptz_pan_tilt pan="-0" tilt="-0.0"/>)", R"("command":"pan_tilt","pan":0,"tilt":0)"},
      {R"(<ntk_ptz_store_preset index="07.0"/>)", R"("command":"store_preset","index":7)"},
      {R"(<ntk_ptz_focus distance="0.4" mode="auto"/>)", R"("command":"focus","mode":"auto")"},
      {R"(<ntk_ptz_focus_speed distance="-0.5"/>)", R"("command":"focus_speed","speed":-0.5)"},
  });
}

TEST(PtzRead, NumbersAreClampedAndPresetsOutsideTheRangeDropped) {
  check({
      {R"(<ntk_ptz_pan_tilt_speed pan_speed="1.5" tilt_speed="-3"/>)",
       R"("command":"pan_tilt_speed","pan_speed":1,"tilt_speed":-1)"},
      {R"(<ntk_ptz_pan_tilt pan="-1.000001" tilt="7e10"/>)", R"("command":"pan_tilt","pan":-1,"tilt":1)"},
      {R"(<ntk_ptz_zoom_speed zoom_speed="-2"/>)", R"("command":"zoom_speed","zoom_speed":-1)"},
      {R"(<ntk_ptz_zoom zoom="-0.2"/>)", R"("command":"zoom","zoom":0)"},
      {R"(<ntk_ptz_zoom zoom="2"/>)", R"("command":"zoom","zoom":1)"},
      {R"(<ntk_ptz_recall_preset index="99" speed="1.5"/>)", R"("command":"recall_preset","index":99,"speed":1)"},
      {R"(<ntk_ptz_recall_preset index="0" speed="-1"/>)", R"("command":"recall_preset","index":0,"speed":0)"},
      {R"(<ntk_ptz_focus mode="manual" distance="-1"/>)", R"("command":"focus","mode":"manual","distance":0)"},
      {R"(<ntk_ptz_focus_speed distance="-2"/>)", R"("command":"focus_speed","speed":-1)"},
      {R"(<ntk_ptz_white_balance mode="manual" red="2" blue="-0.5"/>)",
       R"("command":"white_balance","mode":"manual","red":1,"blue":0)"},
      {R"(<ntk_ptz_exposure mode="manual" value="1e3"/>)", R"("command":"exposure","mode":"manual","value":1)"},
      {R"(<ntk_ptz_store_preset index="100"/>)", "ignored"},
      {R"(<ntk_ptz_store_preset index="-1"/>)", "ignored"},
      {R"(<ntk_ptz_store_preset index="7.5"/>)", "ignored"},
      {R"(<ntk_ptz_recall_preset index="100" speed="0.5"/>)", "ignored"},
  });
}

TEST(PtzRead, ForeignMalformedIncompleteAndOverlongTextsAreIgnored) {
  const char* kIgnored[] = {
      // Other metadata, and near misses of a command's name.
      "", "hello", R"(<ntk_ptz enabled="true"/>)", R"(<ntk_tally_echo on_program="true"/>)",
      R"(<ntk_ptz_zoomx zoom="0.5"/>)", R"(<NTK_PTZ_ZOOM zoom="0.5"/>)", R"(<?xml version="1.0"?><ntk_ptz_zoom zoom="0.5"/>)",
      // Not one well-formed element.
      R"(<ntk_ptz_zoom zoom=0.5/>)", R"(<ntk_ptz_zoom zoom="0.5")", R"(<ntk_ptz_zoom zoom="0.5'/>)",
      R"(<ntk_ptz_pan_tilt pan="0.1"tilt="0.2"/>)", R"(<ntk_ptz_zoom zoom="0.1" zoom="0.2"/>)",
      R"(<ntk_ptz_zoom zoom="0.5"/>x)", R"(<ntk_ptz_zoom zoom="0.5"/><ntk_ptz_zoom zoom="0.6"/>)",
      R"(<ntk_ptz_zoom zoom="0.5"></ntk_ptz_pan>)", R"(<ntk_ptz_zoom zoom="0.5">x</ntk_ptz_zoom>)",
      R"(<ntk_ptz_focus mode="a&amp;"/>)", R"(< ntk_ptz_zoom zoom="0.5"/>)", R"(<ntk_ptz_zoom zoom="0.5" /)",
      // A value the command needs is missing or not one of its words.
      R"(<ntk_ptz_pan_tilt pan="0.1"/>)", R"(<ntk_ptz_focus mode="manual"/>)", R"(<ntk_ptz_focus/>)",
      R"(<ntk_ptz_white_balance mode="manual" red="0.3"/>)", R"(<ntk_ptz_recall_preset index="7"/>)",
      R"(<ntk_ptz_focus mode="Auto"/>)", R"(<ntk_ptz_white_balance mode="tungsten"/>)",
      R"(<ntk_ptz_exposure mode="manual"/>)", R"(<ntk_ptz_focus_speed mode="manual"/>)",
      // Not a finite decimal number.
      R"(<ntk_ptz_zoom zoom="nan"/>)", R"(<ntk_ptz_zoom zoom="inf"/>)", R"(<ntk_ptz_zoom zoom="1e999"/>)",
      R"(<ntk_ptz_zoom zoom="-1e999"/>)", R"(<ntk_ptz_zoom zoom="0x1p-1"/>)", R"(<ntk_ptz_zoom zoom=""/>)",
      R"(<ntk_ptz_zoom zoom="1.2.3"/>)", R"(<ntk_ptz_zoom zoom="1e"/>)", R"(<ntk_ptz_zoom zoom="--1"/>)",
      R"(<ntk_ptz_zoom zoom="0,5"/>)", R"(<ntk_ptz_zoom zoom="."/>)", R"(<ntk_ptz_zoom zoom="e5"/>)",
  };
  for (const char* text : kIgnored) EXPECT_EQ(read(text), "ignored") << text;
  EXPECT_EQ(read(std::string("<ntk_ptz_zoom zoom=\"0.5\"\0/>", 27)), "ignored");

  // The limit is on the whole text, white space included.
  std::string at_limit = R"(<ntk_ptz_zoom zoom="0.5"/>)";
  at_limit.resize(kPtzTextMaxBytes, ' ');
  EXPECT_EQ(read(at_limit), R"("command":"zoom","zoom":0.5)");
  EXPECT_EQ(read(at_limit + " "), "ignored");
}

PtzCommand speed(int i) {
  PtzCommand c;
  std::string text = "<ntk_ptz_pan_tilt_speed pan_speed=\"" + std::to_string(i) + "e-3\" tilt_speed=\"0\"/>";
  EXPECT_TRUE(ptz_read(text.data(), text.size(), &c)) << text;
  return c;
}

struct Written {
  int64_t at_ms;
  std::string members;
};

TEST(PtzRate, AThousandSpeedCommandsInASecondGiveTwentyLinesEndingWithTheLast) {
  PtzRate rate;
  ptz_rate_reset(&rate);
  std::vector<Written> out;
  PtzCommand c;
  // One command each millisecond; the writer looks for due values each time
  // it wakes, and once more each millisecond after the burst.
  for (int64_t t = 0; t < 1100; ++t) {
    while (ptz_rate_take_due(&rate, t, &c)) out.push_back({t, c.members});
    if (t < 1000) {
      PtzCommand now = speed((int)t);
      if (ptz_rate_offer(&rate, now, t)) out.push_back({t, now.members});
    }
  }
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front().at_ms, 0) << "the first line waits for nothing";
  int in_first_second = 0;
  for (const Written& w : out) in_first_second += w.at_ms < 1000;
  EXPECT_GE(in_first_second, 15);
  EXPECT_LE(in_first_second, 25);
  for (size_t i = 1; i < out.size(); ++i) EXPECT_GE(out[i].at_ms - out[i - 1].at_ms, kPtzLineGapMs);
  EXPECT_EQ(out.back().members, speed(999).members) << "the last value is written last";
  EXPECT_LE(out.back().at_ms, 999 + kPtzLineGapMs);
  EXPECT_EQ(ptz_rate_wait_ms(&rate, 1100), -1);
}

TEST(PtzRate, KindsDoNotWaitForEachOtherAndTheEndTakesWhatIsHeld) {
  PtzRate rate;
  ptz_rate_reset(&rate);
  PtzCommand zoom, stop, c;
  ASSERT_TRUE(ptz_read(R"(<ntk_ptz_zoom zoom="0.5"/>)", 26, &zoom));
  std::string stop_text = R"(<ntk_ptz_pan_tilt_speed pan_speed="0" tilt_speed="0"/>)";
  ASSERT_TRUE(ptz_read(stop_text.data(), stop_text.size(), &stop));
  EXPECT_TRUE(ptz_rate_offer(&rate, speed(500), 0));
  EXPECT_TRUE(ptz_rate_offer(&rate, zoom, 1));
  EXPECT_FALSE(ptz_rate_offer(&rate, speed(600), 10));
  EXPECT_FALSE(ptz_rate_offer(&rate, stop, 20));
  EXPECT_EQ(ptz_rate_wait_ms(&rate, 20), 30);
  EXPECT_FALSE(ptz_rate_take_due(&rate, 49, &c));
  // A stop within the gap: the held stop still goes out.
  ASSERT_TRUE(ptz_rate_take_due(&rate, INT64_MAX, &c));
  EXPECT_STREQ(c.members, stop.members);
  EXPECT_FALSE(ptz_rate_take_due(&rate, INT64_MAX, &c));
}

}  // namespace

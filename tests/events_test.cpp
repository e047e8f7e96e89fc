#include "events.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string escape(const std::string& s, size_t limit = 512) {
  std::vector<char> buf(limit + 16, '#');
  json_escape(s.c_str(), buf.data(), limit);
  EXPECT_EQ(buf[limit], '#') << "wrote past the limit";
  return std::string(buf.data());
}

// Output of one emit-based call, with the platform's CR LF reduced to LF.
template <typename F>
std::string captured(F f) {
  testing::internal::CaptureStdout();
  f();
  std::string out = testing::internal::GetCapturedStdout();
  std::string lf;
  for (size_t i = 0; i < out.size(); i++)
    if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) lf += out[i];
  return lf;
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(escape("Stage \"A\""), "Stage \\\"A\\\"");
  EXPECT_EQ(escape("C:\\x"), "C:\\\\x");
  EXPECT_EQ(escape("a\tb"), "a\\u0009b");
  EXPECT_EQ(escape("\n\x01\x1f"), "\\u000a\\u0001\\u001f");
  EXPECT_EQ(escape("\x7f /"), "\x7f /");
  EXPECT_EQ(escape(""), "");
}

TEST(JsonEscape, PassesWellFormedUtf8AndEscapesEverythingElse) {
  const std::string utf8 = "B\xc3\xbchne \xe2\x80\x94 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xa5";
  EXPECT_EQ(escape(utf8), utf8);
  // Latin-1 bytes, stray continuations, overlong forms, surrogates, values past
  // U+10FFFF and cut sequences are each written as \u00XX.
  EXPECT_EQ(escape("\xe9t\xe9"), "\\u00e9t\\u00e9");
  EXPECT_EQ(escape("\x80\xbf"), "\\u0080\\u00bf");
  EXPECT_EQ(escape("\xc0\xaf"), "\\u00c0\\u00af");
  EXPECT_EQ(escape("\xed\xa0\x80"), "\\u00ed\\u00a0\\u0080");
  EXPECT_EQ(escape("\xf4\x90\x80\x80"), "\\u00f4\\u0090\\u0080\\u0080");
  EXPECT_EQ(escape("\xe2\x80"), "\\u00e2\\u0080");
  EXPECT_EQ(escape("\xff\xfe"), "\\u00ff\\u00fe");
  EXPECT_EQ(escape("\xc3\xa9\xc3"), "\xc3\xa9\\u00c3");
}

TEST(JsonEscape, CutsBeforeTheLimitWithoutSplittingAnything) {
  // 600 letters keep their first 505.
  EXPECT_EQ(escape(std::string(600, 'a')), std::string(505, 'a'));
  // An escape still fits at the last place: at most 510 bytes.
  std::string s = std::string(504, 'a') + "\t" + std::string(100, 'b');
  EXPECT_EQ(escape(s), std::string(504, 'a') + "\\u0009");
  // A UTF-8 sequence that does not fit whole is dropped, never split: its last
  // byte must pass the same room test as a single byte would.
  const std::string cam = "\xf0\x9f\x8e\xa5", e_acute = "\xc3\xa9";
  const std::string five = cam + cam + cam + cam + cam;
  EXPECT_EQ(escape(std::string(494, 'a') + five), std::string(494, 'a') + cam + cam);
  EXPECT_EQ(escape(std::string(498, 'a') + five), std::string(498, 'a') + cam);
  EXPECT_EQ(escape(std::string(501, 'a') + five), std::string(501, 'a') + cam);
  EXPECT_EQ(escape(std::string(502, 'a') + five), std::string(502, 'a'));
  EXPECT_EQ(escape(std::string(503, 'a') + e_acute + "z"), std::string(503, 'a') + e_acute);
  EXPECT_EQ(escape(std::string(504, 'a') + e_acute), std::string(504, 'a'));
  EXPECT_EQ(escape(std::string(10, 'z'), 256), std::string(10, 'z'));
  EXPECT_EQ(escape(std::string(300, 'z'), 256), std::string(249, 'z'));
}

TEST(JsonEscape, NeverOverrunsTinyBuffers) {
  for (size_t limit = 1; limit < 12; limit++) {
    std::string out = escape("\xf0\x9f\x8e\xa5\"\t\xff", limit);
    EXPECT_LT(out.size(), limit);
  }
}

// Walks an escaped text as a JSON string body and reports whether it is one:
// no raw control bytes, only the escapes json_escape produces, valid UTF-8.
bool is_json_string_body(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = (unsigned char)s[i];
    if (c < 0x20 || c == '"') return false;
    if (c == '\\') {
      if (i + 1 >= s.size()) return false;
      char e = s[i + 1];
      if (e == '"' || e == '\\') { i += 2; continue; }
      if (e != 'u' || i + 6 > s.size()) return false;
      for (int k = 2; k < 6; k++)
        if (!isxdigit((unsigned char)s[i + k])) return false;
      i += 6;
      continue;
    }
    int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (int k = 1; k < n; k++)
      if (((unsigned char)s[i + k] >> 6) != 2) return false;
    i += n;
  }
  return true;
}

TEST(JsonEscape, RandomBytesAlwaysGiveAJsonStringWithinTheLimit) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; round++) {
    size_t len = rng() % 700;
    std::string in;
    for (size_t i = 0; i < len; i++) {
      char c = (char)(rng() % 256);
      in += c ? c : 'x';
    }
    size_t limit = 8 + rng() % 600;
    std::string out = escape(in, limit);
    ASSERT_TRUE(is_json_string_body(out)) << "round " << round;
    ASSERT_LE(out.size() + 7, limit + 6) << "round " << round;
  }
}

TEST(Events, TemplatesAreExact) {
  EXPECT_EQ(captured([] { event_started("Stage", 1920, 1080, 1, "NDI SDK 6.0"); }),
            "{\"event\":\"started\",\"name\":\"Stage\",\"width\":1920,\"height\":1080,\"audio\":true,"
            "\"ndi\":\"NDI SDK 6.0\"}\n");
  EXPECT_EQ(captured([] { event_started("", 640, 360, 0, nullptr); }),
            "{\"event\":\"started\",\"name\":\"\",\"width\":640,\"height\":360,\"audio\":false,\"ndi\":\"\"}\n");
  EXPECT_EQ(captured([] { event_status(3, 29.5, 1); }),
            "{\"event\":\"status\",\"connections\":3,\"fps\":29.5,\"audio\":true}\n");
  EXPECT_EQ(captured([] { event_status(0, 0.0, 0); }),
            "{\"event\":\"status\",\"connections\":0,\"fps\":0.0,\"audio\":false}\n");
  EXPECT_EQ(captured([] { event_exit(0, true); }), "{\"event\":\"exit\",\"ffmpeg\":0,\"requested\":true}\n");
  EXPECT_EQ(captured([] { event_exit(3221225477u, false); }),
            "{\"event\":\"exit\",\"ffmpeg\":-1073741819,\"requested\":false}\n");
  EXPECT_EQ(captured([] { event_error_ndi_runtime("NDI runtime incompatible (NDIlib_v6_load missing)"); }),
            "{\"event\":\"error\",\"code\":\"ndi_runtime\",\"message\":\"NDI runtime incompatible "
            "(NDIlib_v6_load missing)\"}\n");
  EXPECT_EQ(captured([] { event_error_ndi_sender(); }),
            "{\"event\":\"error\",\"code\":\"ndi_sender\",\"message\":\"NDI sender creation failed\"}\n");
  EXPECT_EQ(captured([] { event_error_socket(); }),
            "{\"event\":\"error\",\"code\":\"socket\",\"message\":\"cannot open local sockets\"}\n");
  EXPECT_EQ(captured([] { event_error_ffmpeg_spawn("C:\\ff \"x\".exe"); }),
            "{\"event\":\"error\",\"code\":\"ffmpeg_spawn\",\"message\":\"cannot start C:\\\\ff \\\"x\\\".exe\"}\n");
  EXPECT_EQ(captured([] { event_error_ffmpeg_connect(1); }),
            "{\"event\":\"error\",\"code\":\"ffmpeg_connect\",\"message\":\"ffmpeg did not deliver the program "
            "(exit 1)\"}\n");
}

TEST(Events, EscapeLimitsOfTheValues) {
  std::string name(600, 'n');
  std::string version(300, 'v');
  std::string out = captured([&] { event_started(name.c_str(), 2, 2, 1, version.c_str()); });
  EXPECT_NE(out.find("\"name\":\"" + std::string(505, 'n') + "\","), std::string::npos);
  EXPECT_NE(out.find("\"ndi\":\"" + std::string(249, 'v') + "\"}"), std::string::npos);
  out = captured([&] { event_error_ffmpeg_spawn(name.c_str()); });
  EXPECT_NE(out.find("cannot start " + std::string(505, 'n') + "\"}"), std::string::npos);
}

void* emit_many(void* arg) {
  int id = (int)(intptr_t)arg;
  for (int i = 0; i < 300; i++) event_status(id, i * 0.5, i & 1);
  return nullptr;
}

TEST(Events, LinesFromSeveralThreadsNeverInterleave) {
  std::string out = captured([] {
    pthread_t t[6];
    for (int i = 0; i < 6; i++) pthread_create(&t[i], nullptr, emit_many, (void*)(intptr_t)i);
    for (int i = 0; i < 6; i++) pthread_join(t[i], nullptr);
  });
  std::set<std::string> expected;
  for (int id = 0; id < 6; id++)
    for (int i = 0; i < 300; i++) {
      char line[128];
      snprintf(line, sizeof line, "{\"event\":\"status\",\"connections\":%d,\"fps\":%.1f,\"audio\":%s}", id,
               i * 0.5, (i & 1) ? "true" : "false");
      expected.insert(line);
    }
  std::istringstream lines(out);
  std::string line;
  size_t count = 0;
  while (std::getline(lines, line)) {
    ASSERT_EQ(expected.count(line), 1u) << "mangled line: " << line;
    expected.erase(line);
    count++;
  }
  EXPECT_EQ(count, 1800u);
  EXPECT_TRUE(expected.empty());
}

}  // namespace

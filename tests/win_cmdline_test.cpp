// Joining the decoder's vector into one Windows command line. Pure text: runs
// on both platforms. A splitter following the documented rules of the C runtime
// and CommandLineToArgvW checks that every element comes back whole.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "win_cmdline.h"

namespace {

// The documented split, for the elements after the program name.
std::vector<std::string> split_args(const std::string& line, size_t from) {
  std::vector<std::string> out;
  size_t i = from;
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) return out;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2) {
          arg.push_back('"');
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(backslashes, '\\');
        if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) arg.push_back(line[i++]);
      }
    }
    out.push_back(arg);
  }
}

// The program name: from the leading mark to the next one, taken as it is.
std::vector<std::string> split_line(const std::string& line) {
  if (line.empty() || line[0] != '"') return {};
  size_t close = line.find('"', 1);
  if (close == std::string::npos) return {};
  std::vector<std::string> out = {line.substr(1, close - 1)};
  for (const std::string& a : split_args(line, close + 1)) out.push_back(a);
  return out;
}

std::vector<const char*> ptrs(const std::vector<std::string>& v) {
  std::vector<const char*> p;
  for (const std::string& s : v) p.push_back(s.c_str());
  p.push_back(nullptr);
  return p;
}

TEST(WinCmdline, PlainElementsAreQuotedOnlyAndSpaceSeparated) {
  const char* argv[] = {"ffmpeg", "-hide_banner", "-i", "rtsp://cam/stream", "scale=1920:1080,format=nv12",
                        "tcp://127.0.0.1:50001", nullptr};
  std::string line;
  ASSERT_TRUE(join_win_cmdline(argv, &line));
  EXPECT_EQ(line,
            "\"ffmpeg\" \"-hide_banner\" \"-i\" \"rtsp://cam/stream\" \"scale=1920:1080,format=nv12\" "
            "\"tcp://127.0.0.1:50001\"");
}

TEST(WinCmdline, BackslashesWithoutAMarkOrAtTheEndStayAsWritten) {
  const char* argv[] = {"C:\\Program Files\\ffmpeg\\bin\\ffmpeg.exe", "-i", "\\\\server\\share\\clip.mp4",
                        "a\\b c", nullptr};
  std::string line;
  ASSERT_TRUE(join_win_cmdline(argv, &line));
  EXPECT_EQ(line, "\"C:\\Program Files\\ffmpeg\\bin\\ffmpeg.exe\" \"-i\" \"\\\\server\\share\\clip.mp4\" \"a\\b c\"");
}

TEST(WinCmdline, MarksAndTheBackslashesBeforeThemAreEscaped) {
  struct Case {
    const char* element;
    const char* quoted;
  } cases[] = {
      {"", "\"\""},
      {"a\"b", "\"a\\\"b\""},                 // a"b      -> "a\"b"
      {"a\\\"b", "\"a\\\\\\\"b\""},           // a\"b     -> "a\\\"b"
      {"end\\", "\"end\\\\\""},               // end\     -> "end\\"
      {"end\\\\", "\"end\\\\\\\\\""},         // end\\    -> "end\\\\"
      {"\"", "\"\\\"\""},                     // "        -> "\""
      {"x\" \"-y", "\"x\\\" \\\"-y\""},       // x" "-y   -> "x\" \"-y"
  };
  for (const Case& c : cases) {
    const char* argv[] = {"p", c.element, nullptr};
    std::string line;
    ASSERT_TRUE(join_win_cmdline(argv, &line)) << c.element;
    EXPECT_EQ(line, std::string("\"p\" ") + c.quoted) << c.element;
  }
}

TEST(WinCmdline, HostileElementsSplitBackWhole) {
  std::vector<std::string> v = {"C:\\Program Files\\ffmpeg\\bin\\ffmpeg.exe",
                                "-i",
                                "rtsp://cam/x\" \"-y\" \"C:\\evil",
                                "trailing\\",
                                "\\\\\"\\",
                                "tab\tand space",
                                "",
                                std::string(5000, '\\') + "\"" + std::string(3000, 'u'),
                                "-f"};
  std::string line;
  ASSERT_TRUE(join_win_cmdline(ptrs(v).data(), &line));
  EXPECT_EQ(split_line(line), v);
}

TEST(WinCmdline, RandomElementsSplitBackWhole) {
  std::mt19937 rng(12345);
  const char alphabet[] = {'a', ' ', '\t', '"', '\\', '\\', 'z'};
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> v = {"prog"};
    int count = 1 + (int)(rng() % 4);
    for (int k = 0; k < count; ++k) {
      std::string s;
      int len = (int)(rng() % 12);
      for (int i = 0; i < len; ++i) s.push_back(alphabet[rng() % sizeof alphabet]);
      v.push_back(s);
    }
    std::string line;
    ASSERT_TRUE(join_win_cmdline(ptrs(v).data(), &line));
    ASSERT_EQ(split_line(line), v) << line;
  }
}

TEST(WinCmdline, ProgramNameWithAMarkIsRefused) {
  const char* argv[] = {"C:\\odd\"name.exe", "-i", "x", nullptr};
  std::string line;
  EXPECT_FALSE(join_win_cmdline(argv, &line));
}

// "p" and a space and the quoted element: 6 characters beside the element.
TEST(WinCmdline, LineUpToTheLimitFitsOneMoreCharacterFails) {
  std::string fits(kWinCmdlineMax - 6, 'x');
  const char* argv[] = {"p", fits.c_str(), nullptr};
  std::string line;
  ASSERT_TRUE(join_win_cmdline(argv, &line));
  EXPECT_EQ(line.size(), (size_t)kWinCmdlineMax);
  EXPECT_EQ(line.substr(line.size() - 3), "xx\"");

  std::string over(kWinCmdlineMax - 5, 'x');
  argv[1] = over.c_str();
  EXPECT_FALSE(join_win_cmdline(argv, &line));
}

TEST(WinCmdline, LimitCountsTheEscapedLength) {
  // Each mark takes two characters once escaped.
  std::string fits((kWinCmdlineMax - 6) / 2, '"');
  const char* argv[] = {"p", fits.c_str(), nullptr, nullptr};
  std::string line;
  ASSERT_TRUE(join_win_cmdline(argv, &line));
  EXPECT_EQ(line.size(), (size_t)kWinCmdlineMax);

  std::string over = fits + "\"";
  argv[1] = over.c_str();
  EXPECT_FALSE(join_win_cmdline(argv, &line));
  // An over-long line is refused wherever the excess comes from: here a short
  // last element after a full one.
  argv[1] = fits.c_str();
  argv[2] = "-f";
  EXPECT_FALSE(join_win_cmdline(argv, &line));
}

}  // namespace

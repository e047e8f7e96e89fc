// A service's log file: rotated by size to .1 to .3, lines never split, and a
// rotation that a reader holds up tried again at the next line.
#include "report/log_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "file_hold.h"

static std::string scratch_path(const std::string& name) {
  std::string path = testing::TempDir() + "qor-log-" + name + ".log";
  for (const char* suffix : {"", ".1", ".2", ".3", ".4"}) std::remove((path + suffix).c_str());
  return path;
}

static std::string read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

static bool exists(const std::string& path) { return std::ifstream(path).good(); }

// One line of 1 KiB, numbered.
static std::string line(int n) {
  std::string text = std::to_string(n) + " ";
  return text + std::string(1023 - text.size(), 'x') + "\n";
}

static const int kLinesPerFile = kLogMaxBytes / 1024;

TEST(LogFile, RotatesToThreeGenerationsWithWholeLines) {
  std::string path = scratch_path("rotates");
  LogFile log;
  std::string why;
  ASSERT_TRUE(log_open(&log, path, &why)) << why;
  // Four files' worth and one line: four rotations, the first file gone.
  int lines = 4 * kLinesPerFile + 1;
  for (int n = 0; n < lines; ++n) log_write(&log, line(n));
  for (int g = 1; g <= 3; ++g) {
    std::string text = read_all(path + "." + std::to_string(g));
    ASSERT_EQ(text.size(), (size_t)kLogMaxBytes) << g;
    int first = (4 - g) * kLinesPerFile;
    EXPECT_EQ(text.substr(0, 1024), line(first)) << g;
    EXPECT_EQ(text.substr(text.size() - 1024), line(first + kLinesPerFile - 1)) << g;
  }
  EXPECT_FALSE(exists(path + ".4"));
  EXPECT_EQ(read_all(path), line(lines - 1));
  for (int g = 1; g <= 3; ++g) std::remove((path + "." + std::to_string(g)).c_str());
  std::remove(path.c_str());
}

TEST(LogFile, ARotationHeldUpByAReaderIsTriedAgainAtTheNextLine) {
  std::string path = scratch_path("held");
  LogFile log;
  std::string why;
  ASSERT_TRUE(log_open(&log, path, &why)) << why;
  int next = 0;
  for (int k = 0; k < kLinesPerFile; ++k) log_write(&log, line(next++));
  intptr_t held;
  if (!file_hold(path, &held)) GTEST_SKIP() << "no reader here keeps a file from being renamed";
  // Due to rotate, but held: the lines go on into the same file.
  log_write(&log, line(next++));
  log_write(&log, line(next++));
  file_release(held);
  EXPECT_FALSE(exists(path + ".1"));
  EXPECT_EQ(read_all(path).size(), (size_t)kLogMaxBytes + 2 * 1024);
  // Released: the next line rotates, and nothing was lost.
  log_write(&log, line(next++));
  EXPECT_EQ(read_all(path + ".1").size(), (size_t)kLogMaxBytes + 2 * 1024);
  EXPECT_EQ(read_all(path), line(next - 1));
  std::remove((path + ".1").c_str());
  std::remove(path.c_str());
}

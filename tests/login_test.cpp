// The status page's login, through the clock each call is given: sessions that
// end when unused, the wait after failed logins, and the password's hash.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>

#include "auth/login.h"
#include "auth/password.h"

using std::chrono::hours;
using std::chrono::seconds;

TEST(Sessions, EndAfterTwelveHoursUnusedAndTheOldestUnusedGoesWhenFull) {
  SessionTable table;
  LoginClock::time_point t0{};
  std::string id, csrf, other, seen;
  ASSERT_TRUE(table.open(t0, &id, &csrf));
  ASSERT_TRUE(table.open(t0, &other, &seen));
  EXPECT_GE(id.size(), 32u);  // at least 128 bits, hex
  EXPECT_NE(id, other);
  EXPECT_NE(id, csrf);
  // Each use starts the idle time again.
  ASSERT_TRUE(table.use(id, t0 + hours(11), &seen));
  EXPECT_EQ(seen, csrf);
  EXPECT_TRUE(table.use(id, t0 + hours(22), &seen));
  EXPECT_FALSE(table.use(other, t0 + hours(12), &seen));
  EXPECT_FALSE(table.use(id, t0 + hours(34), &seen));
  EXPECT_FALSE(table.use(id, t0 + hours(22), &seen));  // ended for good
  EXPECT_FALSE(table.use("", t0, &seen));

  // Full: the session unused the longest makes room.
  SessionTable full;
  std::string first, last;
  ASSERT_TRUE(full.open(t0, &first, &seen));
  for (size_t i = 1; i < kMostSessions; ++i) ASSERT_TRUE(full.open(t0 + seconds(i), &last, &seen));
  ASSERT_TRUE(full.use(first, t0 + seconds(100), &seen));  // now the second is the oldest used
  std::string newest;
  ASSERT_TRUE(full.open(t0 + seconds(101), &newest, &seen));
  EXPECT_EQ(full.size(), kMostSessions);
  EXPECT_TRUE(full.use(first, t0 + seconds(102), &seen));
  EXPECT_TRUE(full.use(last, t0 + seconds(102), &seen));
  EXPECT_TRUE(full.use(newest, t0 + seconds(102), &seen));
}

TEST(FailedLogins, FiveInARowThenWaitsDoublingToFiveMinutesPerAddress) {
  LoginFailures f;
  LoginClock::time_point t{};
  for (int i = 0; i < 4; ++i) {
    f.failed("192.0.2.1", t);
    EXPECT_EQ(f.wait("192.0.2.1", t).count(), 0) << i;
  }
  // The fifth, then each failure after a wait: 1, 2, 4 ... 256, 300, 300 s.
  std::vector<long long> waits;
  for (int i = 0; i < 12; ++i) {
    f.failed("192.0.2.1", t);
    long long w = f.wait("192.0.2.1", t).count();
    waits.push_back(w);
    EXPECT_EQ(f.wait("192.0.2.1", t + seconds(w) - std::chrono::milliseconds(1)).count(), 1);
    t += seconds(w);
    EXPECT_EQ(f.wait("192.0.2.1", t).count(), 0);
  }
  EXPECT_EQ(waits, (std::vector<long long>{1, 2, 4, 8, 16, 32, 64, 128, 256, 300, 300, 300}));
  EXPECT_EQ(f.wait("192.0.2.2", t).count(), 0);  // another address is not held
  // A login that succeeds ends the run.
  f.failed("192.0.2.1", t);
  f.succeeded("192.0.2.1");
  EXPECT_EQ(f.wait("192.0.2.1", t).count(), 0);
  for (int i = 0; i < 4; ++i) f.failed("192.0.2.1", t);
  EXPECT_EQ(f.wait("192.0.2.1", t).count(), 0);
  EXPECT_EQ(f.total(), 4u + 12u + 1u + 4u);

  // The table stays bounded: the address failed longest ago goes first.
  LoginFailures many;
  for (int i = 0; i < 5; ++i) many.failed("held", t);
  for (size_t i = 0; i < kMostFailingAddresses; ++i) many.failed("a" + std::to_string(i), t + seconds(1));
  EXPECT_EQ(many.wait("held", t).count(), 0);
}

TEST(Password, Argon2idWithItsParametersAndANewFileRefusesTheOldPassword) {
  std::string encoded;
  ASSERT_TRUE(password_hash("correct horse battery", &encoded));
  EXPECT_TRUE(std::regex_match(encoded, std::regex(R"(\$argon2id\$v=19\$m=19456,t=2,p=1\$[A-Za-z0-9+/]{22}\$[A-Za-z0-9+/]{43})")))
      << encoded;
  EXPECT_TRUE(password_verify(encoded, "correct horse battery"));
  EXPECT_FALSE(password_verify(encoded, "correct horse batterx"));
  std::string again;
  ASSERT_TRUE(password_hash("correct horse battery", &again));
  EXPECT_NE(encoded, again);  // a salt of its own

  // The file is read at each check: a new one takes over at once.
  std::string path = testing::TempDir() + "login_test_password";
  std::string read;
  std::remove(path.c_str());
  EXPECT_EQ(password_file_read(path, &read), PasswordFile::kNone);
  std::string newer;
  ASSERT_TRUE(password_hash("another long password", &newer));
  for (const std::string& hash : {encoded, newer}) {
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fputs((hash + "\r\n").c_str(), out);
    std::fclose(out);
  }
  ASSERT_EQ(password_file_read(path, &read), PasswordFile::kRead);
  EXPECT_FALSE(password_verify(read, "correct horse battery"));
  EXPECT_TRUE(password_verify(read, "another long password"));
  std::remove(path.c_str());

  EXPECT_EQ(password_refusal("123456789"), "the password is shorter than 10 characters");
  EXPECT_EQ(password_refusal("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"),
            "the password is shorter than 10 characters");  // 9 characters in 18 bytes
  EXPECT_EQ(password_refusal("1234567890"), "");
  EXPECT_EQ(password_refusal(std::string(1024, 'x')), "");
  EXPECT_EQ(password_refusal(std::string(1025, 'x')), "the password is longer than 1024 bytes");
}

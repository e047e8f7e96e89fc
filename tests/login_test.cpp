// The status page's login, through the clock each call is given: sessions that
// end 12 h after their login or with their password, the wait after failed
// logins, and the password's hash; then the login's routes as a client meets
// them.
#include "http/login_routes.h"  // first: each platform's socket headers, through httplib.h

#include <argon2.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "auth/login.h"
#include "auth/password.h"

using std::chrono::hours;
using std::chrono::seconds;

TEST(Sessions, EndTwelveHoursAfterLoginWithTheirPasswordAndTheOldestUnusedGoesWhenFull) {
  SessionTable table;
  LoginClock::time_point t0{};
  std::string id, csrf, other, seen;
  ASSERT_TRUE(table.open(t0, "hash", &id, &csrf));
  ASSERT_TRUE(table.open(t0, "hash", &other, &seen));
  EXPECT_GE(id.size(), 32u);  // at least 128 bits, hex
  EXPECT_NE(id, other);
  EXPECT_NE(id, csrf);
  ASSERT_TRUE(table.use(id, t0 + hours(11), "hash", true, &seen));
  EXPECT_EQ(seen, csrf);
  // Used at 11 h, yet 12 h after its login it has ended, and for good.
  EXPECT_FALSE(table.use(id, t0 + hours(12), "hash", true, &seen));
  EXPECT_FALSE(table.use(id, t0 + hours(11), "hash", true, &seen));
  EXPECT_FALSE(table.use(other, t0 + hours(12), "hash", true, &seen));
  EXPECT_FALSE(table.use("", t0, "hash", true, &seen));

  // Full: the session unused the longest makes room.
  SessionTable full;
  std::string first, last;
  ASSERT_TRUE(full.open(t0, "hash", &first, &seen));
  for (size_t i = 1; i < kMostSessions; ++i) ASSERT_TRUE(full.open(t0 + seconds(i), "hash", &last, &seen));
  ASSERT_TRUE(full.use(first, t0 + seconds(100), "hash", true, &seen));  // now the second is the oldest used
  std::string newest;
  ASSERT_TRUE(full.open(t0 + seconds(101), "hash", &newest, &seen));
  EXPECT_EQ(full.size(), kMostSessions);
  EXPECT_TRUE(full.use(first, t0 + seconds(102), "hash", true, &seen));
  EXPECT_TRUE(full.use(last, t0 + seconds(102), "hash", true, &seen));
  EXPECT_TRUE(full.use(newest, t0 + seconds(102), "hash", true, &seen));
}

TEST(Sessions, UsedEveryMinuteOrRefreshedEveryTwoSecondsNoneOutlivesTwelveHoursNorAnotherPassword) {
  LoginClock::time_point t0{};
  std::string seen;
  // A person's use every minute: alive until 12 h after the login, not after.
  SessionTable table;
  std::string used, refreshed, moved;
  ASSERT_TRUE(table.open(t0, "hash", &used, &seen));
  ASSERT_TRUE(table.open(t0, "hash", &refreshed, &seen));
  ASSERT_TRUE(table.open(t0, "hash", &moved, &seen));
  LoginClock::time_point t = t0;
  for (; t < t0 + hours(12); t += std::chrono::minutes(1)) ASSERT_TRUE(table.use(used, t, "hash", true, &seen));
  EXPECT_FALSE(table.use(used, t, "hash", true, &seen));
  // The page's own refresh every 2 s, for 13 h: it never keeps the session.
  bool alive_at_13h = true;
  for (t = t0; t <= t0 + hours(13); t += seconds(2)) alive_at_13h = table.use(refreshed, t, "hash", false, &seen);
  EXPECT_FALSE(alive_at_13h);
  // Another password hash (a new password, or none): ended at once and for good.
  EXPECT_FALSE(table.use(moved, t0 + seconds(1), "another hash", true, &seen));
  EXPECT_FALSE(table.use(moved, t0 + seconds(2), "hash", true, &seen));
}

TEST(FailedLogins, FiveInARowThenWaitsDoublingToFiveMinutesPerAddressIPv6ByItsSlash64) {
  LoginFailures f;
  LoginClock::time_point t{};
  // Four tries in a row may start; from the fifth on each waits: 1, 2, 4 ...
  // 256, 300, 300 s, counted from the failure's answer.
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(f.start("192.0.2.1", t).count(), 0) << i;
    f.failed("192.0.2.1", t);
  }
  std::vector<long long> waits;
  for (int i = 0; i < 12; ++i) {
    t += kBoxWindow;  // far enough apart for the box not to count them together
    ASSERT_EQ(f.start("192.0.2.1", t).count(), 0) << i;
    f.failed("192.0.2.1", t + seconds(1));  // its answer, a second later
    long long w = f.start("192.0.2.1", t + seconds(1)).count();
    waits.push_back(w);
    EXPECT_EQ(f.start("192.0.2.1", t + seconds(1 + w) - std::chrono::milliseconds(1)).count(), 1);
    t += seconds(1 + w);
  }
  EXPECT_EQ(waits, (std::vector<long long>{1, 2, 4, 8, 16, 32, 64, 128, 256, 300, 300, 300}));
  EXPECT_EQ(f.start("192.0.2.2", t).count(), 0);  // another address is not held
  f.succeeded("192.0.2.2", t);
  // A login that succeeds ends the run.
  t += kLongestWait + kBoxWindow;
  ASSERT_EQ(f.start("192.0.2.1", t).count(), 0);
  f.succeeded("192.0.2.1", t);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(f.start("192.0.2.1", t).count(), 0);
    f.failed("192.0.2.1", t);
  }
  EXPECT_EQ(f.start("192.0.2.1", t).count(), 0);
  EXPECT_EQ(f.total(), 4u + 12u + 4u);

  // IPv6: one /64 is one client, however many addresses it takes from it.
  EXPECT_EQ(login_address_key("2001:db8:1:2::5"), login_address_key("2001:DB8:1:2:ffff::7"));
  EXPECT_EQ(login_address_key("2001:db8:0001:0002:0:0:0:5"), "2001:db8:1:2::/64");
  EXPECT_NE(login_address_key("2001:db8:1:2::5"), login_address_key("2001:db8:1:3::5"));
  EXPECT_EQ(login_address_key("::ffff:192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(login_address_key("192.0.2.7"), "192.0.2.7");
  LoginFailures six;
  t += kBoxWindow;
  for (int i = 0; i < kFailuresBeforeWait; ++i) {
    std::string address = "2001:db8:1:2::" + std::to_string(i + 1);
    ASSERT_EQ(six.start(address, t).count(), 0);
    six.failed(address, t);
  }
  EXPECT_GT(six.start("2001:db8:1:2::99", t).count(), 0);
  EXPECT_EQ(six.start("2001:db8:1:3::1", t).count(), 0);

  // The table stays bounded: the address failed longest ago goes first.
  LoginFailures many;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(many.start("held", t).count(), 0);
    many.failed("held", t);
  }
  for (size_t i = 0; i < kMostFailingAddresses; ++i) {
    LoginClock::time_point later = t + kBoxWindow * static_cast<int>(i + 1);
    many.start("a" + std::to_string(i), later);
    many.failed("a" + std::to_string(i), later);
  }
  EXPECT_EQ(many.start("held", t + kBoxWindow * static_cast<int>(kMostFailingAddresses + 2)).count(), 0);
}

TEST(FailedLogins, TriesCountAsTheyStartAndTheBoxWaitsAfterTwentyInAMinute) {
  LoginFailures f;
  LoginClock::time_point t{};
  // Eight at once from one address, none answered yet: five may be checked.
  int checked = 0;
  for (int i = 0; i < 8; ++i) checked += f.start("192.0.2.1", t).count() == 0;
  EXPECT_EQ(checked, kFailuresBeforeWait);
  // 25 wrong logins from 5 addresses within a minute: a sixth address waits.
  LoginFailures box;
  for (int a = 0; a < 5; ++a) {
    for (int i = 0; i < 5; ++i) {
      std::string address = "192.0.2." + std::to_string(a + 10);
      if (box.start(address, t + seconds(a)).count() == 0) box.failed(address, t + seconds(a));
    }
  }
  long long wait = box.start("192.0.2.99", t + seconds(10)).count();
  EXPECT_GT(wait, 0);
  EXPECT_LE(wait, kBoxWindow.count());
  EXPECT_EQ(box.start("192.0.2.99", t + seconds(10) + seconds(wait)).count(), 0);
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

namespace {

// The hash is made with the least cost Argon2id takes (its parameters travel
// in the encoded string), so that the checks of many logins take no time that a
// loaded machine could stretch past the login limit's minute.
// With full_cost the hash is the one --set-password makes: logins tried at
// once are then checked side by side, as a burst from outside is.
void write_password_file(const std::string& path, const std::string& password, bool full_cost = false) {
  // A salt of its own each time, as --set-password makes: the same password
  // set again is another hash.
  uint8_t salt[16];
  std::random_device random;
  for (uint8_t& b : salt) b = static_cast<uint8_t>(random());
  char encoded[128];
  ASSERT_EQ(argon2id_hash_encoded(1, 8, 1, password.data(), password.size(), salt, sizeof salt, 32, encoded,
                                  sizeof encoded),
            ARGON2_OK);
  std::string hash = encoded;
  if (full_cost) {
    ASSERT_TRUE(password_hash(password, &hash));
  }
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fputs((hash + "\n").c_str(), out);
  std::fclose(out);
}

// A request as the page sends it, from address, with the session's cookie.
httplib::Request page_request(const std::string& address, const std::string& cookie, const std::string& body) {
  httplib::Request req;
  req.remote_addr = address;
  req.path = "/status.json";
  req.headers.emplace("Host", "127.0.0.1:8597");
  req.headers.emplace("Origin", "http://127.0.0.1:8597");
  req.headers.emplace("Content-Type", "application/json");
  if (!cookie.empty()) req.headers.emplace("Cookie", cookie);
  req.body = body;
  return req;
}

int login(const std::string& address, const std::string& password, std::string* cookie = nullptr) {
  httplib::Request req = page_request(address, "", "{\"password\": \"" + password + "\"}");
  httplib::Response res;
  answer_login(req, res, "");
  if (cookie) *cookie = res.get_header_value("Set-Cookie").substr(0, res.get_header_value("Set-Cookie").find(';'));
  return res.status;
}

bool passes(Gate gate, const std::string& cookie, std::string* csrf = nullptr) {
  httplib::Request req = page_request("127.0.0.1", cookie, "{}");
  if (csrf) req.headers.emplace("X-CSRF-Token", *csrf);
  httplib::Response res;
  std::string session;
  return gate_passed(gate, req, res, &session);
}

}  // namespace

// These share the server's own tables; ctest runs each test in a process of its own.
TEST(LoginRoutes, AnOldSessionEndsWithANewPasswordOrNoneAndNoPasswordChangesNothing) {
  std::string path = testing::TempDir() + "login_routes_password";
  login_routes_init(StatusLogin{path, nullptr});
  write_password_file(path, "the first password");
  std::string cookie;
  ASSERT_EQ(login("127.0.0.1", "the first password", &cookie), 204);
  ASSERT_TRUE(passes(Gate::kData, cookie));
  ASSERT_TRUE(passes(Gate::kSession, cookie));
  // --set-password: the old cookie reads nothing more.
  write_password_file(path, "the second password");
  EXPECT_FALSE(passes(Gate::kData, cookie));
  EXPECT_FALSE(passes(Gate::kSession, cookie));
  // A new login, its token; then the file removed: nothing can be changed.
  ASSERT_EQ(login("127.0.0.1", "the second password", &cookie), 204);
  httplib::Request ask = page_request("127.0.0.1", cookie, "");
  httplib::Response asked;
  answer_session(ask, asked, "");
  std::string csrf = nlohmann::json::parse(asked.body)["csrf"].get<std::string>();
  ASSERT_TRUE(passes(Gate::kChange, cookie, &csrf));
  std::remove(path.c_str());
  EXPECT_FALSE(passes(Gate::kChange, cookie, &csrf));
  EXPECT_FALSE(passes(Gate::kSession, cookie));
  EXPECT_TRUE(passes(Gate::kData, cookie));  // no password: the data is open to all
  // The same password set again is a new hash: the session stays ended.
  write_password_file(path, "the second password");
  EXPECT_FALSE(passes(Gate::kChange, cookie, &csrf));
  EXPECT_FALSE(passes(Gate::kData, cookie));
  std::remove(path.c_str());
}

TEST(LoginRoutes, EightWrongLoginsAtOnceFromOneAddressGetFiveChecksAtMost) {
  std::string path = testing::TempDir() + "login_routes_password_burst";
  login_routes_init(StatusLogin{path, nullptr});
  write_password_file(path, "the right password", true);
  std::vector<int> answers(8);
  std::vector<std::thread> tries;
  for (size_t i = 0; i < answers.size(); ++i) {
    tries.emplace_back([&answers, i] { answers[i] = login("127.0.0.7", "a wrong password"); });
  }
  for (std::thread& t : tries) t.join();
  EXPECT_LE(std::count(answers.begin(), answers.end(), 403), kFailuresBeforeWait);
  EXPECT_EQ(std::count(answers.begin(), answers.end(), 403) + std::count(answers.begin(), answers.end(), 429), 8);
  std::remove(path.c_str());
}

TEST(LoginRoutes, TwentyFiveWrongLoginsFromFiveAddressesMakeASixthWait) {
  std::string path = testing::TempDir() + "login_routes_password_box";
  login_routes_init(StatusLogin{path, nullptr});
  write_password_file(path, "the right password");
  for (int a = 0; a < 5; ++a) {
    for (int i = 0; i < 5; ++i) login("127.0.1." + std::to_string(a + 1), "a wrong password");
  }
  httplib::Request req = page_request("127.0.1.6", "", "{\"password\": \"the right password\"}");
  httplib::Response res;
  answer_login(req, res, "");
  EXPECT_EQ(res.status, 429);
  EXPECT_FALSE(res.get_header_value("Retry-After").empty());
  std::remove(path.c_str());
}

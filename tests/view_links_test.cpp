// The status page's view links through their store: a link opens with its
// token and under the password it was made with only, the file beside the
// password holds no token and gives the same links back after a restart, a
// last use is written now and then, and a file that is not one of links
// opens nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "auth/view_links.h"
#include "host/password_io.h"

namespace {

std::vector<std::string>& told() {
  static std::vector<std::string> lines;
  return lines;
}

void log_line(const std::string& line) { told().push_back(line); }

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void put_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Two password hashes, as the password file's line holds them.
const char kFirst[] = "$argon2id$v=19$m=19456,t=2,p=1$c2FsdHNhbHRzYWx0$Zmlyc3RmaXJzdGZpcnN0Zmlyc3Q";
const char kSecond[] = "$argon2id$v=19$m=19456,t=2,p=1$b3RoZXJvdGhlcm90aGU$c2Vjb25kc2Vjb25kc2Vjb25k";
const int64_t kT0 = 1797000000;  // 2026-12-11T14:40:00Z

}  // namespace

TEST(ViewLinks, OpenWithTheirTokenUnderTheirPasswordOnlyAndTheFileKeepsThemWithoutTokens) {
  std::string path = testing::TempDir() + "view_links_test.views.json";
  std::remove(path.c_str());
  ViewLinks links(path, password_io_write, log_line);
  ViewLink lobby;
  std::string token, why;
  ASSERT_EQ(links.create("Lobby", kFirst, kT0, &lobby, &token, &why), ViewMade::kMade) << why;
  EXPECT_EQ(token.size(), 64u);
  EXPECT_EQ(lobby.id.size(), 12u);
  EXPECT_EQ(lobby.last_used, -1);
  EXPECT_TRUE(links.open(token, kFirst, kT0 + 1, false));
  std::string wrong = token;
  wrong[63] = wrong[63] == '0' ? '1' : '0';
  EXPECT_FALSE(links.open(wrong, kFirst, kT0 + 1, false));
  EXPECT_FALSE(links.open(token.substr(0, 63), kFirst, kT0 + 1, false));
  EXPECT_FALSE(links.open(token, kSecond, kT0 + 1, false));
  EXPECT_FALSE(links.open(token, "", kT0 + 1, false));

  // The first use is written at once, later ones only once they are 10
  // minutes newer than the one written.
  ASSERT_TRUE(links.open(token, kFirst, kT0 + 5, true));
  ASSERT_TRUE(links.open(token, kFirst, kT0 + 65, true));
  EXPECT_EQ(links.list(kFirst).at(0).last_used, kT0 + 65);
  std::string text = file_text(path);
  EXPECT_EQ(text.find(token), std::string::npos) << text;
  EXPECT_NE(text.find("\"Lobby\""), std::string::npos) << text;
  {
    ViewLinks again(path, password_io_write, log_line);
    std::vector<ViewLink> seen = again.list(kFirst);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].id, lobby.id);
    EXPECT_EQ(seen[0].created, kT0);
    EXPECT_EQ(seen[0].last_used, kT0 + 5);
    EXPECT_TRUE(again.open(token, kFirst, kT0 + 70, false));
  }
  int64_t later = kT0 + 5 + kViewUseWriteSeconds + 1;
  ASSERT_TRUE(links.open(token, kFirst, later, true));
  EXPECT_EQ(ViewLinks(path, password_io_write, log_line).list(kFirst).at(0).last_used, later);

  // Revoked: refused here and after a restart; an unknown id is no change.
  ViewLink door;
  std::string door_token;
  ASSERT_EQ(links.create("Door", kFirst, kT0 + 10, &door, &door_token, &why), ViewMade::kMade) << why;
  EXPECT_NE(door.id, lobby.id);
  EXPECT_EQ(links.revoke(lobby.id, kFirst, &why), ViewRevoked::kRevoked) << why;
  EXPECT_EQ(links.revoke(lobby.id, kFirst, &why), ViewRevoked::kUnknown);
  EXPECT_FALSE(links.open(token, kFirst, kT0 + 20, false));
  EXPECT_TRUE(links.open(door_token, kFirst, kT0 + 20, false));
  EXPECT_FALSE(ViewLinks(path, password_io_write, log_line).open(token, kFirst, kT0 + 20, false));

  // A new password ends every link made under the old one, for good: it
  // cannot be revoked under the new one, and the next change forgets it.
  EXPECT_TRUE(links.list(kSecond).empty());
  EXPECT_FALSE(links.open(door_token, kSecond, kT0 + 30, false));
  EXPECT_EQ(links.revoke(door.id, kSecond, &why), ViewRevoked::kUnknown);
  ViewLink hall;
  std::string hall_token;
  ASSERT_EQ(links.create("Hall", kSecond, kT0 + 40, &hall, &hall_token, &why), ViewMade::kMade) << why;
  EXPECT_FALSE(links.open(door_token, kFirst, kT0 + 40, false));
  EXPECT_EQ(file_text(path).find("\"Door\""), std::string::npos);
  EXPECT_TRUE(ViewLinks(path, password_io_write, log_line).open(hall_token, kSecond, kT0 + 40, false));
  EXPECT_TRUE(told().empty()) << told().at(0);
  std::remove(path.c_str());
}

TEST(ViewLinks, ThirtyTwoAtMostNamesOfOneToSixtyFourCharactersAndABadFileOpensNothing) {
  std::string path = testing::TempDir() + "view_links_test_limits.views.json";
  std::remove(path.c_str());
  ViewLinks links(path, password_io_write, log_line);
  ViewLink link;
  std::string token, why;
  std::string e_acute64;
  for (int i = 0; i < 64; ++i) e_acute64 += "\xc3\xa9";  // 128 bytes, 64 characters
  for (const std::string& name : {std::string(""), std::string(65, 'x'), std::string("a\nb"), std::string("a\x7f"),
                                  std::string("\xc2\x85"), std::string("\xff"), std::string("\xc0\x80"),
                                  std::string("\xed\xa0\x80"), e_acute64 + "x"}) {
    EXPECT_EQ(links.create(name, kFirst, kT0, &link, &token, &why), ViewMade::kBadName) << name;
    EXPECT_FALSE(why.empty());
  }
  std::vector<std::string> tokens;
  for (size_t i = 0; i < kMostViewLinks; ++i) {
    std::string name = i == 0 ? e_acute64 : i == 1 ? std::string(64, 'x') : "Screen " + std::to_string(i);
    ASSERT_EQ(links.create(name, kFirst, kT0, &link, &token, &why), ViewMade::kMade) << i << ": " << why;
    tokens.push_back(token);
  }
  EXPECT_EQ(links.create("One more", kFirst, kT0, &link, &token, &why), ViewMade::kFull);
  EXPECT_NE(why.find("32"), std::string::npos) << why;
  EXPECT_EQ(ViewLinks(path, password_io_write, log_line).list(kFirst).size(), kMostViewLinks);
  // Under a new password the old 32 count for nothing.
  EXPECT_EQ(links.create("One more", kSecond, kT0, &link, &token, &why), ViewMade::kMade) << why;

  // Not JSON, another shape, a date that does not exist: no link, said once.
  std::string good = file_text(path);
  std::string created = "\"created\": \"";
  ASSERT_NE(good.find(created), std::string::npos) << good;
  std::string bad_date = good;
  bad_date.replace(bad_date.find(created) + created.size(), 10, "2026-02-30");
  for (const std::string& bad : {std::string("{\"views\": ["), std::string("[]"), bad_date}) {
    put_file(path, bad);
    told().clear();
    ViewLinks broken(path, password_io_write, log_line);
    EXPECT_TRUE(broken.list(kSecond).empty()) << bad;
    EXPECT_FALSE(broken.open(token, kSecond, kT0, true)) << bad;
    EXPECT_TRUE(broken.list(kSecond).empty()) << bad;
    ASSERT_EQ(told().size(), 1u) << bad;
    EXPECT_NE(told()[0].find(path), std::string::npos) << told()[0];
  }
  // The next link made replaces it.
  {
    ViewLinks broken(path, password_io_write, log_line);
    ASSERT_EQ(broken.create("Fresh", kSecond, kT0, &link, &token, &why), ViewMade::kMade) << why;
  }
  EXPECT_TRUE(ViewLinks(path, password_io_write, log_line).open(token, kSecond, kT0, false));
  told().clear();
  std::remove(path.c_str());
}

// The sources API as the status page's routes call it, on a file of the test's
// own: where a stored password may go, what the file's version gives away,
// and a sources file that is a symbolic link.
#include <gtest/gtest.h>

#include <nettle/sha2.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "sources/sources_api.h"
#include "sources/sources_write.h"
#include "text/json_line.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

void write_all(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

const char kFile[] =
    "{\"tool\": \"qor-ndi-send\", \"sources\": [\n"
    " {\"name\": \"Cam\", \"input\": \"rtsp://cam.invalid:554/one\", \"user\": \"op\", \"password\": \"GateSecret\"}]}\n";

std::string version_now() {
  ApiAnswer listed = sources_api_list();
  EXPECT_EQ(listed.status, 200) << listed.body;
  Json body = Json::parse(listed.body);
  return body["version"].get<std::string>();
}

ApiAnswer put_input(const std::string& input) {
  Json change{{"version", version_now()}, {"source", {{"name", "Cam"}, {"input", input}}}};
  return sources_api_put(json_text(change), "127.0.0.1");
}

}  // namespace

TEST(SourcesApi, AStoredPasswordStaysWithItsCameraAndAnotherHostNeedsItAgain) {
  std::string path = testing::TempDir() + "sources_api_password.json";
  write_all(path, kFile);
  sources_api_init(path, SourcesApiHooks());
  // Another host, port or scheme, without the password: refused, the file as it was.
  for (const char* elsewhere : {"rtsp://other.invalid:554/one", "rtsp://cam.invalid:8554/one",
                                "rtsps://cam.invalid:554/one", "rtsp://cam.invalid/one@other.invalid/x"}) {
    ApiAnswer a = put_input(elsewhere);
    EXPECT_EQ(a.status, 422) << elsewhere;
    EXPECT_NE(a.body.find("give the password again: the camera's address changed"), std::string::npos) << a.body;
    EXPECT_EQ(read_all(path), kFile) << elsewhere;
  }
  // Only the path (and the port written out as the scheme's own): kept.
  ApiAnswer a = put_input("rtsp://CAM.invalid/two");
  ASSERT_EQ(a.status, 200) << a.body;
  Json written = Json::parse(read_all(path));
  EXPECT_EQ(written["sources"][0]["input"], "rtsp://CAM.invalid/two");
  EXPECT_EQ(written["sources"][0]["password"], "GateSecret");
  // Another host with the password given again: taken.
  Json change{{"version", version_now()},
              {"source", {{"name", "Cam"}, {"input", "rtsp://other.invalid/two"}, {"password", "NewSecret"}}}};
  a = sources_api_put(json_text(change), "127.0.0.1");
  ASSERT_EQ(a.status, 200) << a.body;
  written = Json::parse(read_all(path));
  EXPECT_EQ(written["sources"][0]["password"], "NewSecret");
  std::remove(path.c_str());
  std::remove((path + ".bak").c_str());
}

// Camera names repeat: the new-source form never edits the one already named
// so. The camera a source was found on is shown, set, and removed by null.
TEST(SourcesApi, AnAdditionNeverReplacesASourceAndTheOnvifMemberIsSetAndRemoved) {
  std::string path = testing::TempDir() + "sources_api_new.json";
  write_all(path, kFile);
  sources_api_init(path, SourcesApiHooks());
  Json add{{"version", version_now()}, {"new", true}, {"source", {{"name", "Cam"}, {"input", "rtsp://x.invalid/"}}}};
  ApiAnswer a = sources_api_put(json_text(add), "127.0.0.1");
  EXPECT_EQ(a.status, 409) << a.body;
  EXPECT_EQ(read_all(path), kFile);
  Json onvif{{"device", "http://cam.invalid/onvif/device_service"}, {"profile", "prof1"}};
  add["version"] = version_now();
  add["source"] = {{"name", "Cam 2"}, {"input", "rtsp://cam.invalid:554/two"}, {"onvif", onvif}};
  a = sources_api_put(json_text(add), "127.0.0.1");
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(Json::parse(a.body)["sources"][1]["onvif"], onvif);
  Json change{{"version", version_now()}, {"source", {{"name", "Cam 2"}, {"onvif", {{"device", "ftp://x"}}}}}};
  EXPECT_EQ(sources_api_put(json_text(change), "127.0.0.1").status, 422);
  change = {{"version", version_now()}, {"source", {{"name", "Cam 2"}, {"onvif", nullptr}}}};
  a = sources_api_put(json_text(change), "127.0.0.1");
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_TRUE(Json::parse(a.body)["sources"][1]["onvif"].is_null());
  EXPECT_FALSE(Json::parse(read_all(path))["sources"][1].contains("onvif"));
  std::remove(path.c_str());
  std::remove((path + ".bak").c_str());
}

// PTZ from receivers moves the camera the source was found on: without its
// ONVIF device and profile the reader refuses it and nothing is written; off,
// the member leaves the file.
TEST(SourcesApi, PtzIsSavedOnlyWithTheCamerasOnvifDeviceAndProfileAndOffLeavesTheFile) {
  std::string path = testing::TempDir() + "sources_api_ptz.json";
  write_all(path, kFile);
  sources_api_init(path, SourcesApiHooks());
  Json change{{"version", version_now()}, {"source", {{"name", "Cam"}, {"ptz", true}}}};
  ApiAnswer a = sources_api_put(json_text(change), "127.0.0.1");
  EXPECT_EQ(a.status, 422) << a.body;
  EXPECT_NE(Json::parse(a.body)["error"].get<std::string>().find(
                "\"ptz\" needs the camera's \"onvif\" \"device\" and \"profile\""),
            std::string::npos)
      << a.body;
  EXPECT_EQ(read_all(path), kFile);
  Json onvif{{"device", "http://cam.invalid/onvif/device_service"}, {"profile", "prof1"}};
  change = {{"version", version_now()}, {"source", {{"name", "Cam"}, {"onvif", onvif}, {"ptz", true}}}};
  a = sources_api_put(json_text(change), "127.0.0.1");
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(Json::parse(a.body)["sources"][0]["ptz"], true);
  EXPECT_EQ(Json::parse(read_all(path))["sources"][0]["ptz"], true);
  change = {{"version", version_now()}, {"source", {{"name", "Cam"}, {"ptz", false}}}};
  a = sources_api_put(json_text(change), "127.0.0.1");
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(Json::parse(a.body)["sources"][0]["ptz"], false);
  EXPECT_FALSE(Json::parse(read_all(path))["sources"][0].contains("ptz"));
  std::remove(path.c_str());
  std::remove((path + ".bak").c_str());
}

TEST(SourcesApi, TheVersionIsNoPlainHashOfTheBytesAndAnotherKeyGivesAnotherVersion) {
  std::string path = testing::TempDir() + "sources_api_version.json";
  write_all(path, kFile);
  sources_api_init(path, SourcesApiHooks());
  std::string version = version_now();
  EXPECT_EQ(version.size(), 16u);
  // Not the plain SHA-256 of the bytes, which anyone who guesses them can make.
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, sizeof kFile - 1, reinterpret_cast<const uint8_t*>(kFile));
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  char hex[2 * SHA256_DIGEST_SIZE + 1];
  for (int i = 0; i < SHA256_DIGEST_SIZE; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  EXPECT_EQ(std::string(hex).find(version), std::string::npos);
  // The same bytes: the same version within this process, another under
  // another key, as a restart makes one.
  EXPECT_EQ(version_now(), version);
  std::string key;
  ASSERT_TRUE(sources_version_key(&key));
  EXPECT_EQ(key.size(), 32u);
  EXPECT_EQ(sources_version(kFile, key), version);
  EXPECT_NE(sources_version(kFile, std::string(32, 'k')), version);
  // HMAC-SHA-256 as RFC 4231 has it (test case 2), its first 64 bits.
  EXPECT_EQ(sources_version("what do ya want for nothing?", "Jefe"), "5bdcc146bf60754e");
  std::remove(path.c_str());
}

#ifndef _WIN32
TEST(SourcesApi, ASourcesFileThatIsASymbolicLinkStaysOneAndItsTargetIsWritten) {
  std::string dir = testing::TempDir() + "sources_api_link";
  std::string target_dir = dir + "/kept", target = target_dir + "/sources.json", link = dir + "/sources.json";
  std::remove(link.c_str());
  std::remove((link + ".bak").c_str());
  std::remove(target.c_str());
  mkdir(dir.c_str(), 0700);
  mkdir(target_dir.c_str(), 0700);
  write_all(target, kFile);
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(symlink("kept/sources.json", link.c_str()), 0);
  sources_api_init(link, SourcesApiHooks());
  Json change{{"version", version_now()}, {"source", {{"name", "Cam"}, {"input", "rtsp://cam.invalid/two"}}}};
  ApiAnswer a = sources_api_put(json_text(change), "127.0.0.1");
  ASSERT_EQ(a.status, 200) << a.body;
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(lstat(target.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Json::parse(read_all(target))["sources"][0]["input"], "rtsp://cam.invalid/two");
  EXPECT_EQ(read_all(link + ".bak"), kFile);  // the old file, beside the link as before
  ASSERT_EQ(lstat((link + ".bak").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_NE(lstat((target + ".tmp").c_str(), &st), 0);
  std::remove(link.c_str());
  std::remove((link + ".bak").c_str());
  std::remove(target.c_str());
  rmdir(target_dir.c_str());
  rmdir(dir.c_str());
}
#endif

// Finding and binding the NDI runtime. Each case runs the probe program in a
// process of its own with the environment it sets up, because the Linux loader
// reads LD_LIBRARY_PATH only when a process starts; the stand-in's record tells
// which copy was loaded.
#include <gtest/gtest.h>

#include <string>

#include "ndi_test_support.h"

using namespace ndi_test;

namespace {

#if defined(_WIN32)
const char kNotFoundMessage[] = "NDI runtime not found (Processing.NDI.Lib.x64.dll)";
#else
const char kNotFoundMessage[] = "NDI runtime not found (libndi.so.6)";
#endif
const char kIncompatibleMessage[] = "NDI runtime incompatible (NDIlib_v6_load missing)";
const char kInitFailedMessage[] = "NDI initialization failed (unsupported CPU?)";
const char kStandinVersion[] = "6.0.0 QOR stand-in";

struct ProbeResult {
  int exit_code = -1;
  std::string variable;  // NDI_RUNTIME_DIR_V6 as the probe saw it, or "(unset)"
  std::string message;
  std::string version;
  std::string resident;
  std::vector<RecordLine> record;
};

// The directory variable: unset, or this value (possibly empty).
struct DirVar {
  bool set;
  std::string value;
};
const DirVar kUnset{false, std::string()};
DirVar dir_var(const std::string& value) { return DirVar{true, value}; }

std::string value_after(const std::string& text, const std::string& key) {
  size_t at = text.find(key + "=");
  if (at == std::string::npos) return "<missing " + key + ">";
  at += key.size() + 1;
  return text.substr(at, text.find('\n', at) - at);
}

// Runs the probe with the directory variable, optionally a copy's directory
// first on the library search path, and extra stand-in switches.
ProbeResult run_probe(const DirVar& dir, const std::string& search_dir,
                      const std::vector<std::pair<const char*, const char*>>& switches = {}) {
  ScopedEnv env;
  std::string record_path = test_file(".record");
  clear_standin_switches(env, record_path);
  for (const auto& s : switches) env.set(s.first, s.second);
  if (dir.set)
    env.set("NDI_RUNTIME_DIR_V6", dir.value);
  else
    env.unset("NDI_RUNTIME_DIR_V6");
  if (!search_dir.empty()) env.prepend_library_path(search_dir);

  std::string result_path = test_file(".probe");
  ProbeResult r;
  r.exit_code = run_program(probe_exe(), {result_path});
  std::string text = read_file(result_path);
  r.variable = value_after(text, "variable");
  r.message = value_after(text, "message");
  r.version = value_after(text, "version");
  r.resident = value_after(text, "resident");
  r.record = read_record(record_path);
  return r;
}

// The one full copy that was loaded, by its recorded path.
std::string loaded_copy(const ProbeResult& r) {
  std::vector<RecordLine> loads = lines_of(r.record, "load");
  if (loads.size() != 1) return "<" + std::to_string(loads.size()) + " load lines>";
  return decode_text(loads[0]["path"]);
}

}  // namespace

TEST(NdiLoad, DirectoryCopyIsLoadedEvenWithAnotherCopyOnTheSearchPath) {
  ProbeResult r = run_probe(dir_var(standin_dir()), alt_dir());
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.variable, standin_dir());
  EXPECT_EQ(r.message, "ok");
  EXPECT_EQ(r.version, kStandinVersion);
  EXPECT_TRUE(same_file(loaded_copy(r), runtime_in(standin_dir()))) << loaded_copy(r);
  // The search-path copy was never even mapped.
  std::vector<RecordLine> attaches = lines_of(r.record, "attach");
  ASSERT_EQ(attaches.size(), 1u);
  EXPECT_TRUE(same_file(decode_text(attaches[0]["path"]), runtime_in(standin_dir())));
  ASSERT_EQ(lines_of(r.record, "initialize").size(), 1u);
  EXPECT_EQ(lines_of(r.record, "initialize")[0]["result"], "1");
}

TEST(NdiLoad, SearchPathCopyIsLoadedWhenTheVariableIsUnset) {
  ProbeResult r = run_probe(kUnset, alt_dir());
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.variable, "(unset)");
  EXPECT_EQ(r.message, "ok");
  EXPECT_TRUE(same_file(loaded_copy(r), runtime_in(alt_dir()))) << loaded_copy(r);
}

TEST(NdiLoad, DirectoryWithoutTheRuntimeFallsBackToTheSearchPath) {
  ProbeResult r = run_probe(dir_var(empty_dir()), alt_dir());
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.message, "ok");
  EXPECT_TRUE(same_file(loaded_copy(r), runtime_in(alt_dir()))) << loaded_copy(r);
}

TEST(NdiLoad, MissingDirectoryFallsBackToTheSearchPath) {
  ProbeResult r = run_probe(dir_var(empty_dir() + "-does-not-exist"), alt_dir());
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.message, "ok");
  EXPECT_TRUE(same_file(loaded_copy(r), runtime_in(alt_dir()))) << loaded_copy(r);
}

TEST(NdiLoad, SetButEmptyVariableFallsBackToTheSearchPath) {
  // The candidate is "<separator><file>" (checked in NdiCandidate), which is not there.
  ProbeResult r = run_probe(dir_var(""), alt_dir());
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.variable, "");
  EXPECT_EQ(r.message, "ok");
  EXPECT_TRUE(same_file(loaded_copy(r), runtime_in(alt_dir()))) << loaded_copy(r);
}

TEST(NdiLoad, NoRuntimeAnywhereGivesTheNotFoundMessage) {
  ProbeResult r = run_probe(dir_var(empty_dir()), "");
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.message, kNotFoundMessage);
  EXPECT_EQ(r.version, "(null)");
  EXPECT_EQ(r.resident, "0");
  EXPECT_TRUE(r.record.empty());
}

TEST(NdiLoad, NoVariableAndNoRuntimeOnTheSearchPathGivesTheNotFoundMessage) {
  ProbeResult r = run_probe(kUnset, "");
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.message, kNotFoundMessage);
}

TEST(NdiLoad, MissingExportGivesTheIncompatibleMessageAndUnloads) {
  // A full copy on the search path is not tried: the first copy that loads is kept.
  ProbeResult r = run_probe(dir_var(noexport_dir()), alt_dir());
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.message, kIncompatibleMessage);
  EXPECT_EQ(r.version, "(null)");
  EXPECT_EQ(r.resident, "0");
  std::vector<RecordLine> attaches = lines_of(r.record, "attach");
  ASSERT_EQ(attaches.size(), 1u);
  EXPECT_EQ(attaches[0]["build"], "noexport");
  EXPECT_TRUE(same_file(decode_text(attaches[0]["path"]), runtime_in(noexport_dir())));
  EXPECT_TRUE(lines_of(r.record, "load").empty());
}

TEST(NdiLoad, EntryPointWithoutTableGivesTheIncompatibleMessageAndUnloads) {
  ProbeResult r = run_probe(dir_var(standin_dir()), "", {{"QOR_STANDIN_NO_TABLE", "1"}});
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.message, kIncompatibleMessage);
  EXPECT_EQ(r.version, "(null)");
  EXPECT_EQ(r.resident, "0");
  std::vector<RecordLine> loads = lines_of(r.record, "load");
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0]["table"], "0");
  EXPECT_TRUE(lines_of(r.record, "initialize").empty());
}

TEST(NdiLoad, InitializeFalseGivesTheInitializationMessage) {
  ProbeResult r = run_probe(dir_var(standin_dir()), "", {{"QOR_STANDIN_INIT_FAIL", "1"}});
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.message, kInitFailedMessage);
  std::vector<RecordLine> inits = lines_of(r.record, "initialize");
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(inits[0]["result"], "0");
}

TEST(NdiLoad, RuntimeWithoutVersionTextGivesNone) {
  ProbeResult r = run_probe(dir_var(standin_dir()), "", {{"QOR_STANDIN_NO_VERSION", "1"}});
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.message, "ok");
  EXPECT_EQ(r.version, "(null)");
}

#if !defined(_WIN32)
// (Windows refuses library paths this long, so there the cut is checked only by
// NdiCandidate.)
TEST(NdiLoad, OverlongCandidateIsTriedAsItIsCut) {
  // A directory text whose first 1023 bytes, once joined with the separator and
  // the file name and cut, name the stand-in: ".../ndi-standin/./././.../libndi.so.6".
  std::string target = standin_dir();
  const size_t tail = 1 + runtime_file().size();
  while (target.size() + tail < 1023) target += (1023 - target.size() - tail) % 2 ? "/" : "/.";
  target += "/" + runtime_file();
  ASSERT_EQ(target.size(), 1023u);
  ProbeResult r = run_probe(dir_var(target + "/beyond-the-cut"), alt_dir());
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.message, "ok");
  EXPECT_TRUE(same_file(loaded_copy(r), runtime_in(standin_dir()))) << loaded_copy(r);
}
#endif

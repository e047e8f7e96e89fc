// Helpers for the NDI module's tests: where the stand-in runtime copies are,
// the environment, starting the probe program, and reading the stand-in's
// record (its format is described at the top of fakes/ndi_standin.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// fnv1a64 and float_bits, as the record gives them.
#include "fakes/ndi_standin_record.h"

namespace ndi_test {

// Directories and programs of the build tree, in the platform's own form.
std::string standin_dir();   // full stand-in, for NDI_RUNTIME_DIR_V6
std::string alt_dir();       // a second full copy, for the library search path
std::string noexport_dir();  // a copy without the entry point
std::string empty_dir();     // a directory without any runtime
std::string probe_exe();

// The runtime file name the module looks for, and "<dir><separator><file>".
std::string runtime_file();
std::string runtime_in(const std::string& dir);

// True when both name the same file.
bool same_file(const std::string& a, const std::string& b);

// A fresh (removed) file in the tests' output directory, named after the
// running test and the suffix.
std::string test_file(const char* suffix);

// Sets variables for the rest of a test (and for the programs it starts) and
// puts the old values back when it goes out of scope. A null value unsets.
// An empty value is seen as set-but-empty by programs the test starts.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();
  void set(const char* name, const char* value);
  void set(const char* name, const std::string& value) { set(name, value.c_str()); }
  void unset(const char* name) { set(name, nullptr); }
  // Puts dir first on the library search path of programs started from now on
  // (LD_LIBRARY_PATH on Linux, PATH on Windows).
  void prepend_library_path(const std::string& dir);

 private:
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

// Every stand-in switch unset, the record going to record_path.
void clear_standin_switches(ScopedEnv& env, const std::string& record_path);

// Starts the program with these arguments and the current environment and
// waits for it. Its exit code, or -1 when it could not be started.
int run_program(const std::string& exe, const std::vector<std::string>& args);

// One line of the stand-in's record.
struct RecordLine {
  std::string event;
  std::map<std::string, std::string> values;
  bool has(const std::string& key) const { return values.count(key) != 0; }
  std::string operator[](const std::string& key) const;
  long long num(const std::string& key) const;
  uint64_t hex(const std::string& key) const;  // "0x..." or bare hex
};
std::vector<RecordLine> read_record(const std::string& path);
std::vector<RecordLine> lines_of(const std::vector<RecordLine>& all, const char* event);
// Undoes the record's percent-encoding; "(null)" gives is_null = true.
std::string decode_text(const std::string& encoded, bool* is_null = nullptr);

std::string read_file(const std::string& path);

}  // namespace ndi_test

#include "ndi_test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "dynlib.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace ndi_test {

namespace {

// The build passes paths with forward slashes (prefixed with the drive that
// reaches Linux paths, under Wine).
std::string native(const char* path) {
  std::string p = path;
#if defined(_WIN32)
  for (char& c : p)
    if (c == '/') c = '\\';
#endif
  return p;
}

bool get_env(const char* name, std::string* value) {
  const char* v = getenv(name);
#if defined(_WIN32)
  // The C runtime cannot hold an empty variable; the process block can.
  if (!v) {
    char buf[2];
    SetLastError(0);
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    if (n == 0 && GetLastError() == 0) {
      *value = std::string();
      return true;
    }
  }
#endif
  if (!v) return false;
  *value = v;
  return true;
}

void put_env(const char* name, const char* value) {
#if defined(_WIN32)
  // _putenv_s with "" removes the variable from both the C runtime's copy and
  // the process block; the process block then takes the new value, which the
  // programs this process starts inherit.
  _putenv_s(name, value && *value ? value : "");
  SetEnvironmentVariableA(name, value);
#else
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

}  // namespace

std::string standin_dir() { return native(QOR_STANDIN_DIR); }
std::string alt_dir() { return native(QOR_STANDIN_ALT_DIR); }
std::string noexport_dir() { return native(QOR_STANDIN_NOEXPORT_DIR); }
std::string empty_dir() { return native(QOR_EMPTY_DIR); }
std::string probe_exe() { return native(QOR_PROBE_EXE); }

std::string runtime_file() { return kNdiRuntimeFile; }
std::string runtime_in(const std::string& dir) { return dir + kPathSeparator + kNdiRuntimeFile; }

bool same_file(const std::string& a, const std::string& b) {
#if defined(_WIN32)
  auto norm = [](std::string s) {
    for (char& c : s) c = c == '/' ? '\\' : static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
  };
  return norm(a) == norm(b);
#else
  char ra[PATH_MAX], rb[PATH_MAX];
  if (!realpath(a.c_str(), ra) || !realpath(b.c_str(), rb)) return false;
  return strcmp(ra, rb) == 0;
#endif
}

std::string test_file(const char* suffix) {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name() + suffix;
  for (char& c : name)
    if (c == '/') c = '_';
  std::string path = native(QOR_TEST_OUT_DIR) + kPathSeparator + name;
  remove(path.c_str());
  return path;
}

ScopedEnv::~ScopedEnv() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
    put_env(it->first.c_str(), it->second.first ? it->second.second.c_str() : nullptr);
}

void ScopedEnv::set(const char* name, const char* value) {
  std::string old;
  bool had = get_env(name, &old);
  saved_.push_back({name, {had, old}});
  put_env(name, value);
}

void ScopedEnv::prepend_library_path(const std::string& dir) {
#if defined(_WIN32)
  const char* name = "PATH";
  const char sep = ';';
#else
  const char* name = "LD_LIBRARY_PATH";
  const char sep = ':';
#endif
  std::string old;
  std::string value = dir;
  if (get_env(name, &old) && !old.empty()) value += sep + old;
  set(name, value);
}

void clear_standin_switches(ScopedEnv& env, const std::string& record_path) {
  static const char* const kSwitches[] = {
      "QOR_STANDIN_NO_TABLE",       "QOR_STANDIN_INIT_FAIL", "QOR_STANDIN_CREATE_FAIL",
      "QOR_STANDIN_NO_VERSION",     "QOR_STANDIN_CONNECTIONS", "QOR_STANDIN_VIDEO_DELAY_MS",
      "QOR_STANDIN_PREVIEW",        "QOR_STANDIN_PREVIEW_EVERY", "QOR_STANDIN_AUDIO_DUMP",
      "QOR_STANDIN_NO_CHECKSUM",    "QOR_STANDIN_COUNT_ONLY"};
  for (const char* name : kSwitches) env.unset(name);
  env.set("QOR_STANDIN_RECORD", record_path);
}

int run_program(const std::string& exe, const std::vector<std::string>& args) {
#if defined(_WIN32)
  std::string cmd = "\"" + exe + "\"";
  for (const std::string& a : args) cmd += " \"" + a + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return -1;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
#else
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
}

std::string RecordLine::operator[](const std::string& key) const {
  auto it = values.find(key);
  return it == values.end() ? std::string("<missing ") + key + ">" : it->second;
}

long long RecordLine::num(const std::string& key) const {
  return strtoll((*this)[key].c_str(), nullptr, 10);
}

uint64_t RecordLine::hex(const std::string& key) const {
  return strtoull((*this)[key].c_str(), nullptr, 16);
}

std::vector<RecordLine> read_record(const std::string& path) {
  std::vector<RecordLine> out;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    RecordLine r;
    std::istringstream words(line);
    std::string word;
    words >> r.event;
    while (words >> word) {
      size_t eq = word.find('=');
      if (eq == std::string::npos)
        r.values[word] = "<no value>";
      else
        r.values[word.substr(0, eq)] = word.substr(eq + 1);
    }
    out.push_back(r);
  }
  return out;
}

std::vector<RecordLine> lines_of(const std::vector<RecordLine>& all, const char* event) {
  std::vector<RecordLine> out;
  for (const RecordLine& r : all)
    if (r.event == event) out.push_back(r);
  return out;
}

std::string decode_text(const std::string& encoded, bool* is_null) {
  if (is_null) *is_null = encoded == "(null)";
  if (encoded == "(null)") return std::string();
  std::string out;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size()) {
      out += static_cast<char>(strtol(encoded.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += encoded[i];
    }
  }
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace ndi_test

// console_event OUT MODE PROGRAM [ARGS...]   (Windows build only)
// Starts PROGRAM on this program's console, in the same process group, with
// its stdout in the file OUT and its stdin a pipe held open here, then sends
// the console's Ctrl-C to the group (GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)):
//   MODE started  once, when OUT holds its first line
//   MODE twice    after 2 s, and again 2 s later
// It waits up to 30 s for PROGRAM (then closes its stdin), writes PROGRAM's
// exit code in decimal to OUT.code and exits 0; 3 when PROGRAM cannot start.
//
// Under Wine 8 a console delivers Ctrl-C between processes only when it sits
// on a Unix terminal (run this under `script`), and Ctrl-Break not at all.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

static bool has_line(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  bool found = false;
  for (int c; !found && (c = fgetc(f)) != EOF;) found = c == '\n';
  fclose(f);
  return found;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: console_event OUT started|twice PROGRAM [ARGS...]\n");
    return 64;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE in_read, in_write;
  if (out == INVALID_HANDLE_VALUE || !CreatePipe(&in_read, &in_write, &inherit, 0)) return 3;
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);

  std::string line;
  for (int i = 3; i < argc; ++i) line += std::string(i > 3 ? " \"" : "\"") + argv[i] + "\"";
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in_read;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 3;
  CloseHandle(in_read);
  // The event goes to every process on the console, this one included; set
  // only now, since a child inherits it.
  SetConsoleCtrlHandler(nullptr, TRUE);

  int sends = 1;
  if (strcmp(argv[2], "twice") == 0) {
    sends = 2;
    Sleep(2000);
  } else {
    for (int i = 0; i < 300 && !has_line(argv[1]); ++i) Sleep(100);
  }
  for (int i = 0; i < sends; ++i) {
    if (i > 0) Sleep(2000);
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  }
  if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
    CloseHandle(in_write);
    WaitForSingleObject(pi.hProcess, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  std::string code_path = std::string(argv[1]) + ".code";
  FILE* f = fopen(code_path.c_str(), "w");
  if (!f) return 3;
  fprintf(f, "%lu\n", (unsigned long)code);
  fclose(f);
  return 0;
}

// spawn_probe PIDFILE DECODER [ARGS...]
// Starts DECODER ARGS the way the tool starts its decoder (start_child), writes
// the decoder's process id to PIDFILE and to stdout, then waits for it and exits
// with its exit code. Killing the probe from outside must take the decoder with
// it; the tests (and whole-process checks) use this to show the binding works.
#include <cstdio>
#include <string>

#include "process.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: spawn_probe PIDFILE DECODER [ARGS...]\n");
    return 64;
  }
  if (!start_child(argv + 2)) {
    fprintf(stderr, "spawn_probe: cannot start %s\n", argv[2]);
    return 3;
  }
  std::string tmp = std::string(argv[1]) + ".part";
  if (FILE* f = fopen(tmp.c_str(), "w")) {
    fprintf(f, "%u\n", child_pid());
    fclose(f);
    remove(argv[1]);
    rename(tmp.c_str(), argv[1]);
  }
  printf("%u\n", child_pid());
  fflush(stdout);
  return (int)wait_child();
}

// The current directory is wherever the controller happened to be, possibly a
// folder that others can write to, and by default Windows looks there both for
// libraries loaded by bare name and for a program started by bare name. Neither
// the NDI runtime nor the decoder is taken from it; the tool's own folder, the
// system folders and the absolute entries of PATH are still searched.
#include "startup.h"

#include <windows.h>

#include <string>

#include "win_path.h"

// PATH entries that are not absolute name the current directory again: they
// are dropped from the tool's PATH (which the decoder inherits).
static void drop_relative_path_entries() {
  bool dropped = false;
  std::string kept;
  for (const std::string& dir : win_absolute_path_entries(&dropped)) {
    if (!kept.empty()) kept += ';';
    kept += dir;
  }
  if (dropped) SetEnvironmentVariableA("PATH", kept.c_str());
}

void startup_init() {
  // Every later load by bare name, the runtime's own included, searches the
  // tool's folder and the system folder only; dynlib_open looks the runtime up
  // on PATH itself.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  // CreateProcess skips the current directory in its search for a program
  // named without a path once this is set in the environment of the process
  // that calls it. The decoder inherits it, which only narrows its own search.
  SetEnvironmentVariableA("NoDefaultCurrentDirectoryInExePath", "1");
  drop_relative_path_entries();
}

// Run-time loading through LoadLibraryExA/GetProcAddress/FreeLibrary.
//
// The usual search for a library named without a path includes the current
// directory, which may be a folder that others can write to. Here a bare name
// is looked for in the tool's folder and the system folder, then in each
// absolute PATH entry, and loaded by its full path. A library loaded by path
// takes its own dependencies from its folder, the tool's folder and the system
// folder, never from the current directory or PATH.
#include "dynlib.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "qor_ndi_abi.h"
#include "win_path.h"

const char kNdiRuntimeFile[] = QOR_NDI_RUNTIME_FILE;
const char kPathSeparator = '\\';

namespace {

const DWORD kByPath = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

// A path (relative ones against the current directory, as the caller named
// them) made full, as LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR requires.
HMODULE load_by_path(const char* path) {
  DWORD size = GetFullPathNameA(path, 0, nullptr, nullptr);
  if (size == 0) return nullptr;
  std::string full(size, '\0');
  DWORD len = GetFullPathNameA(path, size, &full[0], nullptr);
  if (len == 0 || len >= size) return nullptr;
  full.resize(len);
  return LoadLibraryExA(full.c_str(), nullptr, kByPath);
}

HMODULE load_by_name(const char* name) {
  HMODULE lib = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (lib) return lib;
  for (std::string dir : win_absolute_path_entries(nullptr)) {
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
    dir += name;
    // A copy that does not load (another architecture, say) is passed over.
    lib = LoadLibraryExA(dir.c_str(), nullptr, kByPath);
    if (lib) return lib;
  }
  return nullptr;
}

}  // namespace

void* dynlib_open(const char* path) {
  bool bare = !strpbrk(path, "\\/:");
  return reinterpret_cast<void*>(bare ? load_by_name(path) : load_by_path(path));
}

void* dynlib_symbol(void* lib, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

void dynlib_close(void* lib) { FreeLibrary(static_cast<HMODULE>(lib)); }

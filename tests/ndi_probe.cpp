// Loads the NDI runtime the way the tool does, in a process of its own, so the
// loader meets the environment (and, on Linux, the library search path read at
// process start) that the test set up. Usage: ndi_probe <result-file>
// The result file gets four lines:
//   variable=<NDI_RUNTIME_DIR_V6 as this process sees it | (unset)>
//   message=<ok | the loader's message>
//   version=<the runtime's version text | (null)>
//   resident=<1 | 0>   whether a library under the runtime's file name is still mapped
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dynlib.h"
#include "qor_ndi.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <link.h>
#endif

namespace {

bool runtime_resident() {
#if defined(_WIN32)
  return GetModuleHandleA(kNdiRuntimeFile) != nullptr;
#else
  bool found = false;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const char* name = info->dlpi_name ? info->dlpi_name : "";
        const char* slash = strrchr(name, '/');
        if (strcmp(slash ? slash + 1 : name, kNdiRuntimeFile) == 0) *static_cast<bool*>(data) = true;
        return 0;
      },
      &found);
  return found;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: ndi_probe <result-file>\n");
    return 64;
  }
  const char* variable = getenv("NDI_RUNTIME_DIR_V6");
  const char* message = qor_ndi_load();
  const char* version = qor_ndi_version();
  FILE* out = fopen(argv[1], "wb");
  if (!out) return 1;
  fprintf(out, "variable=%s\nmessage=%s\nversion=%s\nresident=%d\n", variable ? variable : "(unset)",
          message ? message : "ok",
          version ? version : "(null)", runtime_resident() ? 1 : 0);
  return fclose(out) == 0 ? 0 : 1;
}

// The NDI runtime binding: finds the runtime library (directory variable first,
// then the system's library search), takes its function table from the one
// export and initialises it. Loaded once per run, never unloaded after success.
#include <cstdio>
#include <cstdlib>

#include "dynlib.h"
#include "qor_ndi.h"
#include "qor_ndi_internal.h"

void* gLib = nullptr;
const NDIlib_v6* gNDI = nullptr;

namespace {

const char kDirVariable[] = "NDI_RUNTIME_DIR_V6";
const char kNotFound[] = "NDI runtime not found (" QOR_NDI_RUNTIME_FILE ")";
const char kIncompatible[] = "NDI runtime incompatible (" QOR_NDI_ENTRY_POINT " missing)";
const char kInitFailed[] = "NDI initialization failed (unsupported CPU?)";

void unload() {
  gNDI = nullptr;
  dynlib_close(gLib);
  gLib = nullptr;
}

}  // namespace

void qor_ndi_dir_candidate(char (&buf)[kNdiCandidateSize], const char* dir) {
  // snprintf cuts a longer result to the buffer less its terminator.
  snprintf(buf, sizeof buf, "%s%c%s", dir, kPathSeparator, kNdiRuntimeFile);
}

const char* qor_ndi_load() {
  if (gNDI) return nullptr;

  const char* dir = getenv(kDirVariable);
  if (dir) {
    char candidate[kNdiCandidateSize];
    qor_ndi_dir_candidate(candidate, dir);
    gLib = dynlib_open(candidate);
  }
  if (!gLib) gLib = dynlib_open(kNdiRuntimeFile);
  if (!gLib) return kNotFound;

  auto entry = reinterpret_cast<NDIlib_v6_load_t>(dynlib_symbol(gLib, QOR_NDI_ENTRY_POINT));
  if (!entry) {
    unload();
    return kIncompatible;
  }
  gNDI = entry();
  if (!gNDI) {
    unload();
    return kIncompatible;
  }
  if (!gNDI->initialize()) return kInitFailed;
  return nullptr;
}

const char* qor_ndi_version() { return gNDI ? gNDI->version() : nullptr; }

void qor_ndi_reset_for_tests() {
  if (gLib) dynlib_close(gLib);
  gLib = nullptr;
  gNDI = nullptr;
}

// Run-time loading through LoadLibraryA/GetProcAddress/FreeLibrary.
#include "dynlib.h"

#include <windows.h>

#include "qor_ndi_abi.h"

const char kNdiRuntimeFile[] = QOR_NDI_RUNTIME_FILE;
const char kPathSeparator = '\\';

void* dynlib_open(const char* path) { return reinterpret_cast<void*>(LoadLibraryA(path)); }

void* dynlib_symbol(void* lib, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

void dynlib_close(void* lib) { FreeLibrary(static_cast<HMODULE>(lib)); }

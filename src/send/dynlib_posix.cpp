// Run-time loading through dlopen/dlsym/dlclose.
#include "dynlib.h"

#include <dlfcn.h>

#include "qor_ndi_abi.h"

const char kNdiRuntimeFile[] = QOR_NDI_RUNTIME_FILE;
const char kPathSeparator = '/';

void* dynlib_open(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* dynlib_symbol(void* lib, const char* name) { return dlsym(lib, name); }

void dynlib_close(void* lib) { dlclose(lib); }

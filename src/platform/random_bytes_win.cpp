#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include "random_bytes.h"

bool random_bytes(size_t n, std::string* out) {
  out->assign(n, '\0');
  if (n == 0) return true;
  return BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&(*out)[0]), static_cast<ULONG>(n),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

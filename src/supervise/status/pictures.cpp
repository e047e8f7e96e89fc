#include "status/pictures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <system_error>

#include "text/address.h"

namespace fs = std::filesystem;

namespace {
std::string gDir;          // empty: no pictures
bool gDirMadeHere = false;  // removed at the end

const char kPicturePrefix[] = "/picture?name=";

// FNV-1a over 8 bytes at a time (the last few bytes alone), fed piece by
// piece: enough to tell one picture from the next at an eighth of the cost of
// a byte at a time; nobody chooses the bytes to make two collide to any gain.
void fnv1a(uint64_t* h, const char* bytes, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    *h ^= word;
    *h *= 1099511628211ull;
  }
  for (; i < n; ++i) {
    *h ^= static_cast<unsigned char>(bytes[i]);
    *h *= 1099511628211ull;
  }
}

// Reads a picture of ours piece by piece into take; false when the file
// cannot be read, is larger than a picture of ours or is no BMP. C's stdio
// rather than a stream: the program's other code uses it already, so reading
// maps no more of the C++ library into memory.
template <typename Take>
bool read_picture(const std::string& file, Take take) {
  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(file.c_str(), "rb"), std::fclose);
  if (!in) return false;
  char buf[16384];  // a multiple of 8, so that every piece but the last hashes whole words
  size_t total = 0, n;
  while ((n = std::fread(buf, 1, sizeof buf, in.get())) > 0) {
    if (total == 0 && (n < 2 || buf[0] != 'B' || buf[1] != 'M')) return false;
    total += n;
    if (total > kPictureMaxBytes) return false;
    take(buf, n);
  }
  return total > 0 && !std::ferror(in.get());
}
}  // namespace

bool pictures_open(std::string* why, const std::string& folder) {
  std::error_code ec;
  if (!folder.empty()) {
    fs::create_directory(folder, ec);
    if (ec) {
      *why = "cannot make the folder for the pictures " + folder + ": " + ec.message();
      return false;
    }
    gDir = folder;
    gDirMadeHere = true;
    return true;
  }
  if (const char* runtime = std::getenv("RUNTIME_DIRECTORY")) {
    // systemd lists every runtime directory of the unit, separated by colons.
    std::string first(runtime);
    first = first.substr(0, first.find(':'));
    if (!first.empty()) {
      gDir = first;
      return true;
    }
  }
  fs::path base = fs::temp_directory_path(ec);
  if (ec) {
    *why = "no temporary folder for the pictures: " + ec.message();
    return false;
  }
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[40];
    snprintf(name, sizeof name, "qor-ndi-supervise-%08x%08x", random(), random());
    fs::path dir = base / name;
    // A folder that exists already (another user's, perhaps) is never used.
    if (!fs::create_directory(dir, ec)) {
      if (ec) break;
      continue;
    }
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    gDir = dir.string();
    gDirMadeHere = true;
    return true;
  }
  *why = "cannot make a folder for the pictures in " + base.string() + (ec ? ": " + ec.message() : "");
  return false;
}

std::string pictures_file(uint64_t n) {
  if (gDir.empty()) return std::string();
  return (fs::path(gDir) / (std::to_string(n) + ".bmp")).string();
}

void pictures_remove(const std::string& file) {
  if (file.empty()) return;
  std::error_code ec;
  fs::remove(file, ec);
  fs::remove(file + ".tmp", ec);
}

void pictures_close() {
  if (!gDirMadeHere) return;
  std::error_code ec;
  fs::remove_all(gDir, ec);
}

bool pictures_look(const std::string& file, PictureSeen* seen) {
  if (file.empty()) return false;
  std::error_code ec;
  fs::file_time_type written = fs::last_write_time(file, ec);
  if (ec || (seen->any && written == seen->written)) return false;
  uint64_t hash = 14695981039346656037ull;
  if (!read_picture(file, [&hash](const char* p, size_t n) { fnv1a(&hash, p, n); })) return false;
  seen->any = true;
  seen->written = written;
  seen->hash = hash;
  return true;
}

std::shared_ptr<FILE> pictures_open_file(const std::string& file, size_t* size) {
  if (file.empty()) return nullptr;
  std::shared_ptr<FILE> in(std::fopen(file.c_str(), "rb"), [](FILE* f) {
    if (f) std::fclose(f);
  });
  char magic[2];
  if (!in || std::fread(magic, 1, 2, in.get()) != 2 || magic[0] != 'B' || magic[1] != 'M' ||
      std::fseek(in.get(), 0, SEEK_END) != 0) {
    return nullptr;
  }
  long end = std::ftell(in.get());
  if (end <= 0 || end > kPictureMaxBytes || std::fseek(in.get(), 0, SEEK_SET) != 0) return nullptr;
  *size = static_cast<size_t>(end);
  return in;
}

std::string pictures_url(const std::string& name) { return kPicturePrefix + percent_encode(name); }

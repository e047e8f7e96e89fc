#include "auth/view_links.h"

#include <nettle/sha2.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>

#include "auth/login.h"
#include "random_bytes.h"
#include "utc_text.h"

namespace {

// A file of 32 links is a few KiB: anything past this is not one of ours.
constexpr size_t kFileMostBytes = 256 * 1024;

std::string sha256_hex(const std::string& data) {
  sha256_ctx ctx;
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_init(&ctx);
  sha256_update(&ctx, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
  sha256_digest(&ctx, sizeof digest, digest);
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

bool is_hex(const std::string& text, size_t size) {
  return text.size() == size && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// "YYYY-MM-DDTHH:MM:SSZ" as utc_text writes it, and only that: written back,
// it must be the same text, so that no 30 February or hour 24 gets through.
bool utc_seconds(const std::string& text, int64_t* out) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  auto number = [&](size_t at, size_t n) { return std::stoi(text.substr(at, n)); };
  int month = number(5, 2), day = number(8, 2);
  if (month < 1 || month > 12 || day < 1) return false;
  int64_t days = utc_days_from_civil(number(0, 4), static_cast<unsigned>(month), static_cast<unsigned>(day));
  int64_t seconds = days * 86400 + number(11, 2) * 3600 + number(14, 2) * 60 + number(17, 2);
  if (utc_text(seconds) != text) return false;
  *out = seconds;
  return true;
}

// The whole file; false when it cannot be read (*missing: there is none).
bool read_file(const std::string& path, std::string* text, bool* missing, std::string* why) {
  FILE* in = std::fopen(path.c_str(), "rb");
  *missing = !in && errno == ENOENT;
  if (!in) {
    *why = std::strerror(errno);
    return false;
  }
  char buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0 && text->size() <= kFileMostBytes) text->append(buf, n);
  bool ok = !std::ferror(in) && text->size() <= kFileMostBytes;
  std::fclose(in);
  if (!ok) *why = text->size() > kFileMostBytes ? "larger than 256 KiB" : "a read failed";
  return ok;
}

}  // namespace

std::string view_name_refusal(const std::string& name) {
  const char* bad = "the name is not valid UTF-8";
  size_t chars = 0;
  for (size_t i = 0; i < name.size(); ++chars) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > name.size()) return bad;
    uint32_t code = n == 1 ? c : c & (0xFF >> (n + 1));
    for (size_t k = 1; k < n; ++k) {
      unsigned char more = static_cast<unsigned char>(name[i + k]);
      if ((more & 0xC0) != 0x80) return bad;
      code = code << 6 | (more & 0x3F);
    }
    // Overlong forms, UTF-16's surrogates and past U+10FFFF.
    if ((n == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (n == 4 && (code < 0x10000 || code > 0x10FFFF))) {
      return bad;
    }
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return "the name holds a control character";
    i += n;
  }
  if (chars == 0) return "a view link needs a name";
  if (chars > kViewNameMostChars) return "the name is longer than 64 characters";
  return std::string();
}

std::string view_links_path(const std::string& password_path) { return password_path + ".views.json"; }

ViewLinks::ViewLinks(std::string path, ViewLinksWrite write, void (*log)(const std::string& line))
    : path_(std::move(path)), write_(write), log_(log) {}

// Under the lock. Once: from then on this process is the file's only writer.
void ViewLinks::load() {
  if (loaded_) return;
  loaded_ = true;
  std::string text, why;
  bool missing = false;
  if (!read_file(path_, &text, &missing, &why)) {
    if (!missing && log_) log_("status page: cannot read the view links in " + path_ + " (" + why + "): none works");
    return;
  }
  nlohmann::json file = nlohmann::json::parse(text, nullptr, false);
  std::vector<Stored> read;
  bool good = file.is_object() && file.contains("views") && file["views"].is_array() &&
              file["views"].size() <= kMostViewLinks;
  for (size_t i = 0; good && i < file["views"].size(); ++i) {
    const nlohmann::json& v = file["views"][i];
    auto text_of = [&v](const char* key) {
      return v.is_object() && v.contains(key) && v[key].is_string() ? v[key].get<std::string>() : std::string();
    };
    Stored s;
    s.link.id = text_of("id");
    s.link.name = text_of("name");
    s.token_sha256 = text_of("token_sha256");
    s.password_sha256 = text_of("password_sha256");
    bool never = v.is_object() && v.contains("last_used") && v["last_used"].is_null();
    good = is_hex(s.link.id, 12) && view_name_refusal(s.link.name).empty() && is_hex(s.token_sha256, 64) &&
           is_hex(s.password_sha256, 64) && utc_seconds(text_of("created"), &s.link.created) &&
           (never || utc_seconds(text_of("last_used"), &s.link.last_used));
    s.written_use = s.link.last_used;
    read.push_back(s);
  }
  if (!good) {
    if (log_) {
      log_("status page: " + path_ +
           " holds no view links as this program writes them: none works, and the next link made replaces it");
    }
    return;
  }
  links_ = read;
}

void ViewLinks::forget_ended(const std::string& password_sha256) {
  links_.erase(std::remove_if(links_.begin(), links_.end(),
                              [&](const Stored& s) { return !login_same(s.password_sha256, password_sha256); }),
               links_.end());
}

bool ViewLinks::save(std::string* why) {
  nlohmann::json views = nlohmann::json::array();
  for (const Stored& s : links_) {
    nlohmann::json used = s.link.last_used < 0 ? nlohmann::json() : nlohmann::json(utc_text(s.link.last_used));
    views.push_back({{"id", s.link.id},
                     {"name", s.link.name},
                     {"created", utc_text(s.link.created)},
                     {"last_used", used},
                     {"token_sha256", s.token_sha256},
                     {"password_sha256", s.password_sha256}});
  }
  if (!write_) {
    *why = "the view links have no file";
    return false;
  }
  if (!write_(path_, nlohmann::json{{"views", views}}.dump(1) + "\n", why)) return false;
  for (Stored& s : links_) s.written_use = s.link.last_used;
  return true;
}

ViewMade ViewLinks::create(const std::string& name, const std::string& hash, int64_t now, ViewLink* link,
                           std::string* token, std::string* why) {
  *why = view_name_refusal(name);
  if (!why->empty()) return ViewMade::kBadName;
  std::string password = sha256_hex(hash);
  std::lock_guard<std::mutex> hold(lock_);
  load();
  forget_ended(password);
  if (links_.size() >= kMostViewLinks) {
    *why = "there are 32 view links already, the most there may be: revoke one first";
    return ViewMade::kFull;
  }
  Stored s;
  if (!random_hex(32, token)) {
    *why = "no random bytes from the system for a view link";
    return ViewMade::kFailed;
  }
  // 48 bits: an id only names a link among 32, it opens nothing.
  do {
    if (!random_hex(6, &s.link.id)) {
      *why = "no random bytes from the system for a view link";
      return ViewMade::kFailed;
    }
  } while (std::any_of(links_.begin(), links_.end(), [&](const Stored& o) { return o.link.id == s.link.id; }));
  s.link.name = name;
  s.link.created = now;
  s.token_sha256 = sha256_hex(*token);
  s.password_sha256 = password;
  links_.push_back(s);
  if (!save(why)) {
    links_.pop_back();
    token->clear();
    return ViewMade::kFailed;
  }
  *link = s.link;
  return ViewMade::kMade;
}

bool ViewLinks::open(const std::string& token, const std::string& hash, int64_t now, bool used) {
  if (!is_hex(token, 64) || hash.empty()) return false;
  std::string token_sha256 = sha256_hex(token), password = sha256_hex(hash);
  std::lock_guard<std::mutex> hold(lock_);
  load();
  for (Stored& s : links_) {
    if (!login_same(s.token_sha256, token_sha256) || !login_same(s.password_sha256, password)) continue;
    if (!used) return true;
    s.link.last_used = std::max(s.link.last_used, now);
    if (s.written_use >= 0 && s.link.last_used - s.written_use <= kViewUseWriteSeconds) return true;
    std::string why;
    if (!save(&why)) {
      // Tried again after the same while, not at the screen's next poll.
      s.written_use = s.link.last_used;
      if (log_) log_("status page: the last use of the view links is not written: " + why);
    }
    return true;
  }
  return false;
}

std::vector<ViewLink> ViewLinks::list(const std::string& hash) {
  std::string password = sha256_hex(hash);
  std::lock_guard<std::mutex> hold(lock_);
  load();
  std::vector<ViewLink> out;
  for (const Stored& s : links_) {
    if (login_same(s.password_sha256, password)) out.push_back(s.link);
  }
  return out;
}

ViewRevoked ViewLinks::revoke(const std::string& id, const std::string& hash, std::string* why) {
  std::string password = sha256_hex(hash);
  std::lock_guard<std::mutex> hold(lock_);
  load();
  forget_ended(password);
  auto it = std::find_if(links_.begin(), links_.end(), [&](const Stored& s) { return s.link.id == id; });
  if (it == links_.end()) return ViewRevoked::kUnknown;
  Stored gone = *it;
  size_t at = static_cast<size_t>(it - links_.begin());
  links_.erase(it);
  if (!save(why)) {
    links_.insert(links_.begin() + static_cast<long>(at), gone);
    return ViewRevoked::kFailed;
  }
  return ViewRevoked::kRevoked;
}

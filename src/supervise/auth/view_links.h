// The status page's view links: read-only links for a wall screen, which
// holds no session (a session ends 12 h after its login). Each is a name and a
// long random token that the screen keeps in its address; the box keeps only
// the token's SHA-256, beside the SHA-256 of the password hash the link was
// made under, so that a new password, or none, ends every link. The links live
// in a file of their own beside the password file, written whole; their last
// use is kept in memory and written now and then, not at every poll.
// view_links.cpp.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

constexpr size_t kMostViewLinks = 32;
constexpr size_t kViewNameMostChars = 64;
// A last use is written once it is this much newer than the one in the file.
constexpr int64_t kViewUseWriteSeconds = 10 * 60;

struct ViewLink {
  std::string id;          // 12 hex digits: how the page names it to revoke it
  std::string name;        // 1 to 64 characters of UTF-8, no control characters
  int64_t created = 0;     // UTC, seconds since 1970
  int64_t last_used = -1;  // UTC, seconds since 1970; -1: never used
};

// Writes text whole over path (the password file's own writer, so that the
// links get the same access); false with *why.
using ViewLinksWrite = bool (*)(const std::string& path, const std::string& text, std::string* why);

enum class ViewMade { kMade, kBadName, kFull, kFailed };
enum class ViewRevoked { kRevoked, kUnknown, kFailed };

// Every call takes the password hash as the password file holds it now, and
// the time; connection threads call it at once, so each call holds a lock.
class ViewLinks {
 public:
  // The links of the file at path, read at the first call. A file that is
  // not one of links counts as none, and is said once to log; the next change
  // writes over it.
  ViewLinks(std::string path, ViewLinksWrite write, void (*log)(const std::string& line));

  // A new link named name, made under hash: *link, and *token, its token (64
  // hex digits, 256 bits from the system's generator), which nothing keeps.
  // kBadName and kFull with *why a sentence for the operator; kFailed with
  // *why when no random bytes came or the file could not be written (the
  // link is then not made).
  ViewMade create(const std::string& name, const std::string& hash, int64_t now, ViewLink* link,
                  std::string* token, std::string* why);

  // Whether token opens a link made under hash. used: the request counts as
  // the link's last use.
  bool open(const std::string& token, const std::string& hash, int64_t now, bool used);

  // The links made under hash, oldest first.
  std::vector<ViewLink> list(const std::string& hash);

  // Ends the link id made under hash. kFailed with *why when the file could not
  // be written (the link then still works).
  ViewRevoked revoke(const std::string& id, const std::string& hash, std::string* why);

 private:
  struct Stored {
    ViewLink link;
    std::string token_sha256;     // hex
    std::string password_sha256;  // hex, of the password hash it was made under
    int64_t written_use = -1;     // the last use the file holds
  };
  void load();
  void forget_ended(const std::string& password_sha256);
  bool save(std::string* why);

  std::mutex lock_;
  std::string path_;
  ViewLinksWrite write_;
  void (*log_)(const std::string& line);
  bool loaded_ = false;
  std::vector<Stored> links_;
};

// Empty when name may be a link's name; else why not (a sentence).
std::string view_name_refusal(const std::string& name);

// The file of the view links beside the password file at password_path.
std::string view_links_path(const std::string& password_path);

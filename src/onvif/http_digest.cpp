#include "http_digest.h"

#include <httplib.h>

#include <map>

#include "hashes.h"
#include "random_bytes.h"

static bool upper_equal(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; i++) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

bool digest_challenge_pick(const std::vector<std::string>& values, DigestChallenge* out) {
  bool found = false;
  for (const std::string& v : values) {
    // httplib's reader is a regular expression, whose matching recurses per
    // character: a hostile header is never handed to it whole.
    if (v.size() > 2048) continue;
    httplib::Response res;
    res.set_header("WWW-Authenticate", v);
    std::map<std::string, std::string> auth;
    if (!httplib::detail::parse_www_authenticate(res, auth, false)) continue;
    DigestChallenge c;
    c.realm = auth["realm"];
    c.nonce = auth["nonce"];
    c.opaque = auth["opaque"];
    c.algorithm = auth.count("algorithm") ? auth["algorithm"] : "MD5";
    std::string qop = auth["qop"];
    if (c.nonce.empty()) continue;
    if (!qop.empty()) {
      // "auth" among the offered ones; "auth-int" alone is not one we answer.
      bool has_auth = false;
      size_t i = 0;
      while (i <= qop.size()) {
        size_t e = qop.find(',', i);
        if (e == std::string::npos) e = qop.size();
        std::string one = qop.substr(i, e - i);
        one.erase(0, one.find_first_not_of(' '));
        one.erase(one.find_last_not_of(' ') + 1);
        if (one == "auth") has_auth = true;
        i = e + 1;
      }
      if (!has_auth) continue;
      c.qop = "auth";
    }
    if (upper_equal(c.algorithm, "SHA-256")) {
      *out = c;
      return true;
    }
    if (upper_equal(c.algorithm, "MD5") && !found) {
      *out = c;
      found = true;
    }
  }
  return found;
}

// A quoted-string's content: the user name is the one value here of ours.
static std::string quoted(const std::string& s) {
  std::string out;
  for (char ch : s) {
    if (ch == '"' || ch == '\\') out += '\\';
    out += ch;
  }
  return out;
}

std::string digest_authorization(const DigestChallenge& c, const std::string& user, const std::string& password,
                                 const std::string& method, const std::string& uri) {
  bool sha256 = upper_equal(c.algorithm, "SHA-256");
  auto h = [sha256](const std::string& s) { return sha256 ? sha256_hex(s) : md5_hex(s); };
  std::string raw;
  if (!random_bytes(16, &raw)) return std::string();
  std::string cnonce = md5_hex(raw).substr(0, 16), nc = "00000001";
  std::string ha1 = h(user + ":" + c.realm + ":" + password), ha2 = h(method + ":" + uri);
  std::string response = c.qop.empty() ? h(ha1 + ":" + c.nonce + ":" + ha2)
                                       : h(ha1 + ":" + c.nonce + ":" + nc + ":" + cnonce + ":" + c.qop + ":" + ha2);
  std::string v = "Digest username=\"" + quoted(user) + "\", realm=\"" + quoted(c.realm) + "\", nonce=\"" +
                  quoted(c.nonce) + "\", uri=\"" + quoted(uri) + "\", algorithm=" + (sha256 ? "SHA-256" : "MD5") +
                  ", response=\"" + response + "\"";
  if (!c.qop.empty()) v += ", qop=" + c.qop + ", nc=" + nc + ", cnonce=\"" + cnonce + "\"";
  if (!c.opaque.empty()) v += ", opaque=\"" + quoted(c.opaque) + "\"";
  return v;
}

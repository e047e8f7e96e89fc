#include "text/address.h"

#include "text/ascii.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string mask_input(const std::string& url) {
  size_t sep = url.find("://");
  if (sep == std::string::npos) return url;
  std::string scheme = url.substr(0, sep), rest = url.substr(sep + 3);
  size_t at = rest.rfind('@');
  if (at == std::string::npos) return url;
  std::string userinfo = rest.substr(0, at), hostpart = rest.substr(at + 1);
  size_t colon = userinfo.find(':');
  std::string user = userinfo.substr(0, colon);
  return scheme + "://" + user + (colon != std::string::npos ? ":***" : "") + "@" + hostpart;
}

std::string mask_password(const std::string& line, const std::string& address) {
  size_t sep = address.find("://");
  if (sep == std::string::npos) return line;
  std::string rest = address.substr(sep + 3);
  size_t at = rest.rfind('@');
  if (at == std::string::npos) return line;
  size_t colon = rest.substr(0, at).find(':');
  if (colon == std::string::npos) return line;
  std::string password = rest.substr(colon + 1, at - colon - 1);
  return replace_all(replace_all(line, password, "***"), percent_decode(password), "***");
}

std::string compose_input(const std::string& input, const std::string& user, const std::string& password) {
  size_t sep = input.find("://");
  if (user.empty() || sep == std::string::npos) return input;
  std::string rest = input.substr(sep + 3);
  // The authority ends at the first / ? or #; a userinfo in it ends at its last @.
  size_t end = rest.find_first_of("/?#");
  size_t at = rest.substr(0, end).rfind('@');
  std::string hostpart = at == std::string::npos ? rest : rest.substr(at + 1);
  std::string userinfo = percent_encode(user);
  if (!password.empty()) userinfo += ":" + percent_encode(password);
  return input.substr(0, sep + 3) + userinfo + "@" + hostpart;
}

namespace {

// host[:port] as written, with the scheme's port when none is.
std::string host_port(const std::string& hostpart, const std::string& scheme) {
  std::string h = ascii_lower(hostpart.substr(0, hostpart.find_first_of("/?#")));
  size_t colon = h.rfind(':');
  bool has_port = colon != std::string::npos && (h.find(']') == std::string::npos || colon > h.find(']'));
  if (has_port && colon + 1 < h.size()) return h;
  if (has_port) h.pop_back();  // "host:" is host with the scheme's port
  return h + ":" + (scheme == "rtsps" ? "322" : scheme == "rtsp" ? "554" : "");
}

}  // namespace

std::string address_place(const std::string& url) {
  size_t sep = url.find("://");
  if (sep == std::string::npos) return ascii_lower(url);
  std::string scheme = ascii_lower(url.substr(0, sep)), rest = url.substr(sep + 3);
  std::string authority = rest.substr(0, rest.find_first_of("/?#"));
  size_t at = authority.rfind('@');
  std::string first = at == std::string::npos ? authority : authority.substr(at + 1);
  size_t last_at = rest.rfind('@');
  std::string last = last_at == std::string::npos ? rest : rest.substr(last_at + 1);
  return scheme + "://" + host_port(first, scheme) + " " + host_port(last, scheme);
}

bool is_rtsp_address(const std::string& input) {
  std::string t = ascii_lower(input.substr(0, 8));
  return t.compare(0, 7, "rtsp://") == 0 || t.compare(0, 8, "rtsps://") == 0;
}

std::string percent_encode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string percent_decode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    int high = text[i] == '%' && i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
    int low = high >= 0 ? hex_value(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

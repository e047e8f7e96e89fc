#include "readdress.h"

namespace {

// Where url's host starts and ends; false when it has no "scheme://".
bool host_span(const std::string& url, size_t* start, size_t* end) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  size_t b = scheme + 3;
  size_t e = url.find_first_of("/?#", b);
  if (e == std::string::npos) e = url.size();
  size_t at = url.rfind('@', e);
  if (at != std::string::npos && at >= b) b = at + 1;
  if (b < e && url[b] == '[') {
    size_t close = url.find(']', b);
    if (close == std::string::npos || close > e) return false;
    *start = b;
    *end = close + 1;
    return true;
  }
  size_t colon = url.find(':', b);
  *start = b;
  *end = colon != std::string::npos && colon < e ? colon : e;
  return true;
}

}  // namespace

std::string url_host(const std::string& url) {
  size_t b, e;
  if (!host_span(url, &b, &e)) return std::string();
  if (e > b && url[b] == '[') return url.substr(b + 1, e - b - 2);
  return url.substr(b, e - b);
}

std::string url_with_host(const std::string& url, const std::string& host) {
  size_t b, e;
  if (!host_span(url, &b, &e)) return url;
  std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return url.substr(0, b) + h + url.substr(e);
}

std::string service_at(const std::string& url, const HttpAddress& answered) {
  HttpAddress a;
  if (!http_address_read(url, &a)) return url;
  a.host = answered.host;
  a.port = answered.port;
  return http_address_text(a);
}

bool host_reachable(const std::string& host, const std::vector<Ipv4Interface>& networks) {
  uint32_t ip;
  return !ipv4_read(host, &ip) || ipv4_on_networks(ip, networks);
}

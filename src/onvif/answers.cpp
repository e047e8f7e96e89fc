#include "answers.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "answer_nodes.h"
#include "utc_text.h"

void OnvifAnswerDeleter::operator()(OnvifAnswer* a) const { delete a; }

// The namespace that the element's prefix (or the default) is bound to on it
// or an ancestor.
static std::string namespace_of(pugi::xml_node n) {
  const char* colon = std::strchr(n.name(), ':');
  std::string attr = colon ? "xmlns:" + std::string(n.name(), colon) : std::string("xmlns");
  for (pugi::xml_node p = n; p; p = p.parent()) {
    pugi::xml_attribute a = p.attribute(attr.c_str());
    if (a) return a.value();
  }
  return std::string();
}

OnvifAnswerPtr onvif_answer_read(const std::string& body, std::string* why) {
  if (body.size() > kOnvifMaxAnswerBytes) {
    *why = "the answer is larger than 1 MiB";
    return nullptr;
  }
  OnvifAnswerPtr a(new OnvifAnswer);
  // No DOCTYPE handling beyond skipping it: pugixml expands no entities.
  pugi::xml_parse_result r = a->doc.load_buffer(body.data(), body.size(), pugi::parse_default);
  if (!r) {
    *why = std::string("the answer is not XML (") + r.description() + ")";
    return nullptr;
  }
  pugi::xml_node env = a->doc.document_element();
  std::string ns = namespace_of(env);
  if (!is(env, "Envelope") ||
      (ns != "http://www.w3.org/2003/05/soap-envelope" && ns != "http://schemas.xmlsoap.org/soap/envelope/")) {
    *why = "the answer is not a SOAP envelope";
    return nullptr;
  }
  a->body = child(env, "Body");
  if (!a->body) {
    *why = "the answer has no SOAP body";
    return nullptr;
  }
  return a;
}

static bool names_not_authorized(const std::string& value) {
  return std::strcmp(local_name(value.c_str()), "NotAuthorized") == 0;
}

OnvifFault onvif_fault(const OnvifAnswer& a) {
  OnvifFault f;
  pugi::xml_node fault = child(a.body, "Fault");
  if (!fault) return f;
  f.present = true;
  // SOAP 1.2: Code/Value with nested Subcode/Value; SOAP 1.1: faultcode. Some
  // cameras put ter:NotAuthorized in the detail instead.
  for (pugi::xml_node n = next_in(fault, fault); n; n = next_in(fault, n)) {
    if ((is(n, "Value") || is(n, "faultcode") || is(n, "Subcode")) && names_not_authorized(text(n))) {
      f.not_authorized = true;
    }
  }
  pugi::xml_node reason = path(fault, {"Reason", "Text"});
  f.text = reason ? text(reason) : text(child(fault, "faultstring"));
  if (f.text.size() > 200) f.text.resize(200);
  return f;
}

std::vector<ProbeMatch> read_probe_matches(const OnvifAnswer& a) {
  std::vector<ProbeMatch> out;
  pugi::xml_node matches = child(a.body, "ProbeMatches");
  for (pugi::xml_node m = matches.first_child(); m && out.size() < kOnvifMaxDevices; m = m.next_sibling()) {
    if (!is(m, "ProbeMatch")) continue;
    ProbeMatch p;
    p.endpoint = text(path(m, {"EndpointReference", "Address"}));
    p.scopes = text(child(m, "Scopes"));
    std::string xaddrs = text(child(m, "XAddrs"));
    size_t i = 0;
    while (i < xaddrs.size() && p.xaddrs.size() < 8) {
      size_t b = xaddrs.find_first_not_of(" \t\r\n", i);
      if (b == std::string::npos) break;
      size_t e = xaddrs.find_first_of(" \t\r\n", b);
      if (e == std::string::npos) e = xaddrs.size();
      p.xaddrs.push_back(xaddrs.substr(b, e - b));
      i = e;
    }
    if (!p.endpoint.empty() || !p.xaddrs.empty()) out.push_back(std::move(p));
  }
  return out;
}

std::string read_relates_to(const OnvifAnswer& a) {
  return text(path(a.body.parent(), {"Header", "RelatesTo"}));
}

bool read_system_time(const OnvifAnswer& a, int64_t* utc_seconds) {
  pugi::xml_node dt = path(a.body, {"GetSystemDateAndTimeResponse", "SystemDateAndTime"});
  // A camera without UTC time gives its local time: taken as it is, the offset
  // then holds its time zone too, which is what its checks compare with.
  pugi::xml_node when = child(dt, "UTCDateTime");
  if (!when) when = child(dt, "LocalDateTime");
  pugi::xml_node date = child(when, "Date"), time = child(when, "Time");
  long y = number(child(date, "Year"), 1970, 9999, -1), mo = number(child(date, "Month"), 1, 12, -1),
       d = number(child(date, "Day"), 1, 31, -1), h = number(child(time, "Hour"), 0, 23, -1),
       mi = number(child(time, "Minute"), 0, 59, -1), s = number(child(time, "Second"), 0, 60, -1);
  if (y < 0 || mo < 0 || d < 0 || h < 0 || mi < 0 || s < 0) return false;
  *utc_seconds = utc_days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 +
                 mi * 60 + s;
  return true;
}

DeviceInfo read_device_info(const OnvifAnswer& a) {
  DeviceInfo info;
  pugi::xml_node r = child(a.body, "GetDeviceInformationResponse");
  info.maker = text(child(r, "Manufacturer"));
  info.model = text(child(r, "Model"));
  info.firmware = text(child(r, "FirmwareVersion"));
  info.serial = text(child(r, "SerialNumber"));
  return info;
}

ServiceAddresses read_services(const OnvifAnswer& a) {
  ServiceAddresses s;
  pugi::xml_node r = child(a.body, "GetServicesResponse");
  for (pugi::xml_node n = r.first_child(); n; n = n.next_sibling()) {
    if (!is(n, "Service")) continue;
    std::string ns = text(child(n, "Namespace")), addr = text(child(n, "XAddr"));
    if (ns == "http://www.onvif.org/ver10/media/wsdl") s.media = addr;
    if (ns == "http://www.onvif.org/ver20/ptz/wsdl") s.ptz = addr;
  }
  return s;
}

ServiceAddresses read_capabilities(const OnvifAnswer& a) {
  ServiceAddresses s;
  pugi::xml_node caps = path(a.body, {"GetCapabilitiesResponse", "Capabilities"});
  s.media = text(path(caps, {"Media", "XAddr"}));
  s.ptz = text(path(caps, {"PTZ", "XAddr"}));
  return s;
}

std::vector<MediaProfile> read_profiles(const OnvifAnswer& a) {
  std::vector<MediaProfile> out;
  pugi::xml_node r = child(a.body, "GetProfilesResponse");
  for (pugi::xml_node n = r.first_child(); n && out.size() < kOnvifMaxProfiles; n = n.next_sibling()) {
    if (!is(n, "Profiles")) continue;
    MediaProfile p;
    p.token = n.attribute("token").value();
    if (p.token.empty()) continue;  // nothing to ask for without it
    p.name = text(child(n, "Name"));
    p.video_source = text(path(n, {"VideoSourceConfiguration", "SourceToken"}));
    pugi::xml_node enc = child(n, "VideoEncoderConfiguration");
    p.encoding = text(child(enc, "Encoding"));
    p.width = static_cast<int>(number(path(enc, {"Resolution", "Width"}), 1, 65535, 0));
    p.height = static_cast<int>(number(path(enc, {"Resolution", "Height"}), 1, 65535, 0));
    std::string rate = text(path(enc, {"RateControl", "FrameRateLimit"}));
    // Read without the C locale's say in the decimal point.
    double v = 0;
    std::from_chars_result r = std::from_chars(rate.data(), rate.data() + rate.size(), v);
    if (!rate.empty() && r.ec == std::errc() && r.ptr == rate.data() + rate.size() && v > 0 && v <= 1000) {
      p.rate = v;
    }
    pugi::xml_node ptz = child(n, "PTZConfiguration");
    p.ptz = static_cast<bool>(ptz);
    p.ptz_configuration = ptz.attribute("token").value();
    out.push_back(std::move(p));
  }
  return out;
}

std::string read_media_uri(const OnvifAnswer& a) {
  pugi::xml_node r = a.body.first_child();
  if (!is(r, "GetStreamUriResponse") && !is(r, "GetSnapshotUriResponse")) return std::string();
  return text(path(r, {"MediaUri", "Uri"}));
}

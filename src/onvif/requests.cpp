#include "requests.h"

#include <pugixml.hpp>

#include <chrono>
#include <cstdio>
#include <sstream>

#include "hashes.h"
#include "random_bytes.h"
#include "utc_text.h"

const char kDeviceNs[] = "http://www.onvif.org/ver10/device/wsdl";
const char kMediaNs[] = "http://www.onvif.org/ver10/media/wsdl";

static const char kSoap12[] = "http://www.w3.org/2003/05/soap-envelope";
static const char kWsse[] = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
static const char kWsu[] = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
static const char kDigestType[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest";
static const char kBase64Type[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-soap-message-security-1.0#Base64Binary";

std::string soap_text(const pugi::xml_document& doc) {
  std::ostringstream out;
  doc.save(out, "", pugi::format_raw);
  return out.str();
}

std::string random_urn() {
  std::string b;
  if (!random_bytes(16, &b)) return std::string();
  b[6] = static_cast<char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<char>((b[8] & 0x3f) | 0x80);
  static const char kDigits[] = "0123456789abcdef";
  std::string out = "urn:uuid:";
  for (size_t i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kDigits[(b[i] >> 4) & 15];
    out += kDigits[b[i] & 15];
  }
  return out;
}

std::string probe_request(const std::string& message_id) {
  pugi::xml_document doc;
  pugi::xml_node env = doc.append_child("s:Envelope");
  env.append_attribute("xmlns:s") = kSoap12;
  env.append_attribute("xmlns:a") = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
  env.append_attribute("xmlns:d") = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
  env.append_attribute("xmlns:dn") = "http://www.onvif.org/ver10/network/wsdl";
  pugi::xml_node head = env.append_child("s:Header");
  head.append_child("a:MessageID").text() = message_id.c_str();
  head.append_child("a:To").text() = "urn:schemas-xmlsoap-org:ws:2005:04:discovery";
  head.append_child("a:Action").text() = "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe";
  env.append_child("s:Body").append_child("d:Probe").append_child("d:Types").text() = "dn:NetworkVideoTransmitter";
  return soap_text(doc);
}

pugi::xml_node soap_envelope(pugi::xml_document* doc, const UsernameToken* token) {
  pugi::xml_node env = doc->append_child("s:Envelope");
  env.append_attribute("xmlns:s") = kSoap12;
  if (token) {
    std::string nonce;
    if (!random_bytes(16, &nonce)) return pugi::xml_node();
    int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    std::string created = utc_text(now + token->camera_offset);
    pugi::xml_node sec = env.append_child("s:Header").append_child("wsse:Security");
    sec.append_attribute("xmlns:wsse") = kWsse;
    sec.append_attribute("xmlns:wsu") = kWsu;
    sec.append_attribute("s:mustUnderstand") = "1";
    pugi::xml_node ut = sec.append_child("wsse:UsernameToken");
    ut.append_child("wsse:Username").text() = token->user.c_str();
    pugi::xml_node pw = ut.append_child("wsse:Password");
    pw.append_attribute("Type") = kDigestType;
    pw.text() = base64_encode(sha1_raw(nonce + created + token->password)).c_str();
    pugi::xml_node n = ut.append_child("wsse:Nonce");
    n.append_attribute("EncodingType") = kBase64Type;
    n.text() = base64_encode(nonce).c_str();
    ut.append_child("wsu:Created").text() = created.c_str();
  }
  return env.append_child("s:Body");
}

std::string soap_request(const std::string& action_element, const char* action_ns, const std::string& token_value,
                         const char* token_element, const UsernameToken* token) {
  pugi::xml_document doc;
  pugi::xml_node body = soap_envelope(&doc, token);
  if (!body) return std::string();
  pugi::xml_node act = body.append_child(("m:" + action_element).c_str());
  act.append_attribute("xmlns:m") = action_ns;
  if (token_element) {
    if (action_element == "GetStreamUri") {
      // RTP over unicast UDP, set up with RTSP: what every Profile S camera gives.
      pugi::xml_node setup = act.append_child("m:StreamSetup");
      pugi::xml_node stream = setup.append_child("sc:Stream");
      stream.append_attribute("xmlns:sc") = "http://www.onvif.org/ver10/schema";
      stream.text() = "RTP-Unicast";
      pugi::xml_node transport = setup.append_child("sc:Transport");
      transport.append_attribute("xmlns:sc") = "http://www.onvif.org/ver10/schema";
      pugi::xml_node proto = transport.append_child("sc:Protocol");
      proto.text() = "RTSP";
    }
    act.append_child(("m:" + std::string(token_element)).c_str()).text() = token_value.c_str();
  }
  if (action_element == "GetServices") act.append_child("m:IncludeCapability").text() = "false";
  if (action_element == "GetCapabilities") act.append_child("m:Category").text() = "All";
  return soap_text(doc);
}

# The ONVIF client (src/onvif): finding cameras and asking them for their
# profiles and stream addresses. It stands apart from the supervisor's loop:
# qor-ndi-supervise --find-cameras is its first user.
add_library(qor_onvif STATIC
  src/onvif/answers.cpp src/onvif/requests.cpp src/onvif/hashes.cpp
  src/onvif/http_digest.cpp src/onvif/bounded_client.cpp src/onvif/soap_call.cpp src/onvif/readdress.cpp
  src/onvif/camera.cpp src/onvif/ptz_soap.cpp src/onvif/ptz_camera.cpp
  src/onvif/udp.cpp src/onvif/udp_${QOR_PLATFORM}.cpp src/onvif/discovery.cpp src/onvif/find_cameras.cpp)
target_include_directories(qor_onvif PUBLIC src/onvif)
target_link_libraries(qor_onvif PUBLIC qor_pugixml qor_nettle qor_httplib qor_json qor_platform)
# The system's random generator (bcrypt) and the interfaces' list (iphlpapi).
if(WIN32)
  target_link_libraries(qor_onvif PUBLIC bcrypt iphlpapi ws2_32)
endif()

# The libraries from Debian's archive that qor-ndi-supervise is written with,
# as interface targets that serve every preset, cross builds included:
#   qor_json     nlohmann-json (nlohmann-json3-dev), header-only.
#   qor_httplib  cpp-httplib's single header, from Debian's source package
#                cpp-httplib 0.11.4+ds-1+deb12u1 (Debian builds it only as a
#                shared library with TLS, zlib and brotli, and for no cross
#                target); scripts/setup-debian.sh fetches it with apt-get
#                source into build/third_party. Used without TLS, zlib or
#                brotli, so the programs need no library beyond the system's.
#   qor_pugixml  pugixml 1.13-0.2 from Debian's source package, built here
#                (Debian's libpugixml-dev exists for no cross target): the
#                reader of the cameras' answers and the writer of our requests.
#   qor_nettle   the hashes and Base64 of nettle 3.8.1-2 (LGPL-3+ or GPL-2+),
#                from Debian's source package: the portable C files only, the
#                same in every target (Debian has no ARM64 or Windows build of
#                it for a cross compiler).
#   qor_argon2   Argon2's reference implementation (CC0-1.0 or Apache-2.0), the
#                original tarball of Debian's source package argon2
#                0~20190702+dfsg-4: the portable C files (ref.c, never the
#                SSE one), without threads, as every password hash takes one
#                lane; the hash of the status page's password.
# scripts/setup-debian.sh fetches the four sources.
# Both headers are copied into this build's tree, so that a cross compiler
# never searches the host's /usr/include.
include_guard(GLOBAL)
get_filename_component(_qor_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

set(QOR_NLOHMANN_JSON_DIR /usr/include/nlohmann CACHE PATH "Folder of nlohmann-json's headers (json.hpp)")
set(QOR_HTTPLIB_DIR "${_qor_root}/build/third_party/cpp-httplib-0.11.4+ds" CACHE PATH
    "Folder of cpp-httplib's unpacked Debian source package (httplib.h)")

set(QOR_PUGIXML_DIR "${_qor_root}/build/third_party/pugixml-1.13" CACHE PATH
    "Folder of pugixml's unpacked Debian source package")
set(QOR_NETTLE_DIR "${_qor_root}/build/third_party/nettle-3.8.1" CACHE PATH
    "Folder of nettle's unpacked Debian source package")
set(QOR_ARGON2_DIR "${_qor_root}/build/third_party/phc-winner-argon2-20190702" CACHE PATH
    "Folder of argon2's unpacked Debian original tarball")

if(NOT EXISTS "${QOR_NLOHMANN_JSON_DIR}/json.hpp")
  message(FATAL_ERROR "nlohmann-json not found in ${QOR_NLOHMANN_JSON_DIR}: run scripts/setup-debian.sh build as root")
endif()
if(NOT EXISTS "${QOR_HTTPLIB_DIR}/httplib.h")
  message(FATAL_ERROR "cpp-httplib's header not found in ${QOR_HTTPLIB_DIR}: run scripts/setup-debian.sh build as root")
endif()

if(NOT EXISTS "${QOR_PUGIXML_DIR}/src/pugixml.cpp" OR NOT EXISTS "${QOR_NETTLE_DIR}/sha1-compress.c"
   OR NOT EXISTS "${QOR_ARGON2_DIR}/src/argon2.c")
  message(FATAL_ERROR "pugixml's, nettle's or argon2's source not found in build/third_party: run scripts/setup-debian.sh build as root")
endif()

set(QOR_THIRD_PARTY_INCLUDE "${PROJECT_BINARY_DIR}/third_party/include")
file(COPY "${QOR_NLOHMANN_JSON_DIR}/" DESTINATION "${QOR_THIRD_PARTY_INCLUDE}/nlohmann")
configure_file("${QOR_HTTPLIB_DIR}/httplib.h" "${QOR_THIRD_PARTY_INCLUDE}/httplib.h" COPYONLY)

add_library(qor_json INTERFACE)
target_include_directories(qor_json SYSTEM INTERFACE "${QOR_THIRD_PARTY_INCLUDE}")

add_library(qor_httplib INTERFACE)
target_include_directories(qor_httplib SYSTEM INTERFACE "${QOR_THIRD_PARTY_INCLUDE}")
target_link_libraries(qor_httplib INTERFACE Threads::Threads)
# The same settings in every file that includes the header. A header line may
# be as long as the whole head the status server allows (it answers 431 past
# that); the backlog is the one the status server has always had.
target_compile_definitions(qor_httplib INTERFACE CPPHTTPLIB_HEADER_MAX_LENGTH=65536 CPPHTTPLIB_LISTEN_BACKLOG=64)
if(WIN32)
  target_link_libraries(qor_httplib INTERFACE ws2_32)
else()
  # poll() rather than select(), which fails on descriptors past 1023; and a
  # client gone mid-answer is an error, never SIGPIPE.
  target_compile_definitions(qor_httplib INTERFACE CPPHTTPLIB_USE_POLL CPPHTTPLIB_SEND_FLAGS=MSG_NOSIGNAL)
endif()

add_library(qor_pugixml STATIC "${QOR_PUGIXML_DIR}/src/pugixml.cpp")
target_include_directories(qor_pugixml SYSTEM PUBLIC "${QOR_PUGIXML_DIR}/src")
# Position-independent like the rest, so that a sanitizer or fuzzing build links it.
set_target_properties(qor_pugixml PROPERTIES POSITION_INDEPENDENT_CODE ON)

# Only what the two password schemes use; every target is little-endian, which
# is what these files assume without a config.h.
set(_qor_nettle_files sha1.c sha1-compress.c md5.c md5-compress.c sha256.c sha256-compress.c
    base64-encode.c write-be32.c write-le32.c hmac.c hmac-sha256.c sha256-meta.c memxor.c)
list(TRANSFORM _qor_nettle_files PREPEND "${QOR_NETTLE_DIR}/")
add_library(qor_nettle STATIC ${_qor_nettle_files})
set_target_properties(qor_nettle PROPERTIES POSITION_INDEPENDENT_CODE ON)
# Its own code, as released: its warnings are not ours to fix.
target_compile_options(qor_nettle PRIVATE -w)
# Its headers under nettle/, as an installed nettle has them (hmac.h names every
# hash it has a MAC for).
foreach(h sha1.h md5.h sha2.h base64.h nettle-types.h hmac.h nettle-meta.h gosthash94.h ripemd160.h streebog.h
          sm3.h)
  configure_file("${QOR_NETTLE_DIR}/${h}" "${QOR_THIRD_PARTY_INCLUDE}/nettle/${h}" COPYONLY)
endforeach()
target_include_directories(qor_nettle SYSTEM PUBLIC "${QOR_THIRD_PARTY_INCLUDE}")

set(_qor_argon2_files argon2.c core.c encoding.c ref.c blake2/blake2b.c)
list(TRANSFORM _qor_argon2_files PREPEND "${QOR_ARGON2_DIR}/src/")
add_library(qor_argon2 STATIC ${_qor_argon2_files})
target_compile_definitions(qor_argon2 PRIVATE ARGON2_NO_THREADS)
# Its own code, as released: its warnings are not ours to fix.
target_compile_options(qor_argon2 PRIVATE -w)
target_include_directories(qor_argon2 PRIVATE "${QOR_ARGON2_DIR}/src")
set_target_properties(qor_argon2 PROPERTIES POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden)
configure_file("${QOR_ARGON2_DIR}/include/argon2.h" "${QOR_THIRD_PARTY_INCLUDE}/argon2.h" COPYONLY)
target_include_directories(qor_argon2 SYSTEM PUBLIC "${QOR_THIRD_PARTY_INCLUDE}")

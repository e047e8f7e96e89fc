# The status page of qor-ndi-supervise (src/supervise/http/page.*), built into
# the program as one text with the policy that lets exactly its style and
# script run, and its icon (favicon.svg) beside it:
# ${PROJECT_BINARY_DIR}/supervise/page_text.h.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/third_party.cmake)
get_filename_component(_qor_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# base64 of the bytes that hex spells, as a Content-Security-Policy hash is written.
function(qor_base64_of_hex hex out_var)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${hex}" length)
  set(out "")
  set(at 0)
  while(at LESS length)
    # Three bytes (six hex digits) make four characters; a last group of one
    # or two bytes is padded with zero bits and written with = for the rest.
    math(EXPR left "${length} - ${at}")
    if(left GREATER 6)
      set(left 6)
    endif()
    string(SUBSTRING "${hex}" ${at} ${left} group)
    math(EXPR value "(0x${group}) << ((6 - ${left}) * 4)")
    math(EXPR shown "${left} / 2 + 1")
    foreach(i 0 1 2 3)
      if(i LESS shown)
        math(EXPR index "(${value} >> (18 - 6 * ${i})) & 63")
        string(SUBSTRING "${alphabet}" ${index} 1 char)
        string(APPEND out "${char}")
      else()
        string(APPEND out "=")
      endif()
    endforeach()
    math(EXPR at "${at} + 6")
  endwhile()
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

# The page: page.html with page.css and page.js put inline, and the policy
# that lets exactly that style and script run.
set(_page_dir "${_qor_root}/src/supervise/http")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${_page_dir}/page.html" "${_page_dir}/page.css" "${_page_dir}/page.js" "${_page_dir}/favicon.svg")
file(READ "${_page_dir}/page.html" QOR_PAGE)
file(READ "${_page_dir}/page.css" _page_style)
file(READ "${_page_dir}/page.js" _page_script)
file(READ "${_page_dir}/favicon.svg" QOR_PAGE_ICON)
string(SHA256 _style_hex "${_page_style}")
string(SHA256 _script_hex "${_page_script}")
qor_base64_of_hex(${_style_hex} _style_hash)
qor_base64_of_hex(${_script_hex} _script_hash)
string(REPLACE "<style></style>" "<style>${_page_style}</style>" QOR_PAGE "${QOR_PAGE}")
string(REPLACE "<script></script>" "<script>${_page_script}</script>" QOR_PAGE "${QOR_PAGE}")
set(QOR_PAGE_POLICY "default-src 'none'; script-src 'sha256-${_script_hash}'; style-src 'sha256-${_style_hash}'; \
connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/supervise/page_text.h" @ONLY CONTENT [==[
// Made by cmake/page.cmake from src/supervise/http/page.html, page.css, page.js and favicon.svg.
#pragma once
static const char kPageText[] = R"qor_page(@QOR_PAGE@)qor_page";
static const char kPageIcon[] = R"qor_page(@QOR_PAGE_ICON@)qor_page";
static const char kPagePolicy[] = "@QOR_PAGE_POLICY@";
]==])


# Run with cmake -P at build time: writes the preview page templates (TEMPLATES, *.html.in) into
# OUTPUT_DIR without their ".in", with
#   @TESSARO_SCRIPT_HASHES@  the Content-Security-Policy sources of the page's scripts (SCRIPTS),
#                            which the page code inlines whole between <script> and </script>;
#   @TESSARO_HANDLER_HASH@   the source of the one inline handler the table rows carry;
#   @TESSARO_PAGE_STYLE@     the text of STYLE, the style both pages share;
#   @TESSARO_INLINE_SCRIPTS@ the scripts of INLINE_SCRIPTS (optional), each whole in a script
#                            element: they are in the template before the page code fills in its
#                            values, so they may hold no percent sign (nothing in them can then
#                            read as a placeholder). Their hashes join the page scripts'.
# A file is only rewritten when its text changes.
cmake_policy(SET CMP0057 NEW)  # if(IN_LIST), which a script run with -P does not get by default
foreach(_var TEMPLATES SCRIPTS STYLE OUTPUT_DIR)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "PageTemplates: ${_var} is not set")
  endif()
endforeach()

# The rows' fold toggle: onClick="tggl(this);" (the handler's text is what the browser hashes).
set(_handler_text "tggl(this);")

# Base64 of the bytes a text of hexadecimal digits spells (a digest, so always whole bytes).
function(_tessaro_hex_to_base64 hex out_var)
  set(_alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${hex}" _length)
  set(_result "")
  set(_pos 0)
  while(_pos LESS _length)
    math(EXPR _left "${_length} - ${_pos}")
    if(_left GREATER 6)
      set(_left 6)
    endif()
    string(SUBSTRING "${hex}" ${_pos} ${_left} _group)
    math(EXPR _bytes "${_left} / 2")
    # Three bytes make four characters; a short last group is padded with zero bits and "=".
    while(_left LESS 6)
      string(APPEND _group "0")
      math(EXPR _left "${_left} + 1")
    endwhile()
    math(EXPR _value "0x${_group}")
    math(EXPR _characters "${_bytes} + 1")
    foreach(_i RANGE 0 3)
      if(_i LESS _characters)
        math(EXPR _index "(${_value} >> (18 - 6 * ${_i})) & 63")
        string(SUBSTRING "${_alphabet}" ${_index} 1 _character)
        string(APPEND _result "${_character}")
      else()
        string(APPEND _result "=")
      endif()
    endforeach()
    math(EXPR _pos "${_pos} + 6")
  endwhile()
  set(${out_var} "${_result}" PARENT_SCOPE)
endfunction()

function(_tessaro_csp_source hex out_var)
  _tessaro_hex_to_base64("${hex}" _base64)
  set(${out_var} "'sha256-${_base64}'" PARENT_SCOPE)
endfunction()

set(TESSARO_SCRIPT_HASHES "")
set(TESSARO_INLINE_SCRIPTS "")
foreach(_script IN LISTS SCRIPTS INLINE_SCRIPTS)
  file(READ "${_script}" _text)
  # The browser hashes the script element's text as parsed: a carriage return would be dropped
  # before hashing, and "</script" or "<!--" would end or change the element early.
  string(TOLOWER "${_text}" _lower)
  if(_text MATCHES "\r" OR _lower MATCHES "</script" OR _lower MATCHES "<!--")
    message(FATAL_ERROR "PageTemplates: ${_script} holds a carriage return, \"</script\" or \"<!--\"")
  endif()
  file(SHA256 "${_script}" _hex)
  _tessaro_csp_source("${_hex}" _source)
  list(APPEND TESSARO_SCRIPT_HASHES "${_source}")
  if(_script IN_LIST INLINE_SCRIPTS)
    if(_text MATCHES "%")
      message(FATAL_ERROR "PageTemplates: ${_script} is put into the template whole and may hold no \"%\"")
    endif()
    string(APPEND TESSARO_INLINE_SCRIPTS "<script>${_text}</script>\n")
  endif()
endforeach()
list(JOIN TESSARO_SCRIPT_HASHES " " TESSARO_SCRIPT_HASHES)
string(SHA256 _hex "${_handler_text}")
_tessaro_csp_source("${_hex}" TESSARO_HANDLER_HASH)
file(READ "${STYLE}" TESSARO_PAGE_STYLE)

file(MAKE_DIRECTORY "${OUTPUT_DIR}")
foreach(_template IN LISTS TEMPLATES)
  get_filename_component(_name "${_template}" NAME)
  string(REGEX REPLACE "\\.in$" "" _name "${_name}")
  file(READ "${_template}" _page)
  foreach(_token TESSARO_SCRIPT_HASHES TESSARO_HANDLER_HASH TESSARO_PAGE_STYLE TESSARO_INLINE_SCRIPTS)
    string(REPLACE "@${_token}@" "${${_token}}" _page "${_page}")
  endforeach()
  if(_page MATCHES "@TESSARO_[A-Z_]+@")
    message(FATAL_ERROR "PageTemplates: ${_template} uses an unknown @TESSARO_...@ token")
  endif()
  set(_output "${OUTPUT_DIR}/${_name}")
  set(_old "")
  if(EXISTS "${_output}")
    file(READ "${_output}" _old)
  endif()
  if(NOT _old STREQUAL _page)
    file(WRITE "${_output}" "${_page}")
  endif()
endforeach()

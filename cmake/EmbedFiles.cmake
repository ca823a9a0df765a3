# Writes OUTPUT, a C++ file that holds the files of FILES (a ;-list,
# relative to DIR) as a table that station/web_assets.h declares: one per
# page, its look-up function FUNCTION (FindWebAsset unless given) serving
# INDEX (index.html unless given) at "/".
# Run as `cmake -DDIR=... -DFILES=... -DOUTPUT=... [-DFUNCTION=... -DINDEX=...]
# -P EmbedFiles.cmake`.
if(NOT FUNCTION)
  set(FUNCTION FindWebAsset)
endif()
if(NOT INDEX)
  set(INDEX index.html)
endif()
set(table "")
set(arrays "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ "${DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  # Long lines stay readable in a debugger and below compilers' limits.
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND arrays "constexpr char kFile${index}[] = {\n${bytes}'\\0'};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", {kFile${index}, ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
set(text "// Generated from src/station/web at build time; do not edit.
#include \"station/web_assets.h\"

#include <iterator>

namespace quelmar::station {
namespace {
${arrays}
constexpr WebAsset kAssets[] = {
${table}};
}  // namespace

const WebAsset* ${FUNCTION}(std::string_view path) {
  if (path == \"/\") path = \"/${INDEX}\";
  for (const WebAsset& asset : kAssets)
    if (asset.path == path) return &asset;
  return nullptr;
}

}  // namespace quelmar::station
")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")

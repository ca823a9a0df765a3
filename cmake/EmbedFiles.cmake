# Writes OUTPUT, a C++ file that holds the files of FILES (a ;-list,
# relative to DIR) as the table that station/web_assets.h declares.
# Run as `cmake -DDIR=... -DFILES=... -DOUTPUT=... -P EmbedFiles.cmake`.
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

const WebAsset* FindWebAsset(std::string_view path) {
  if (path == \"/\") path = \"/index.html\";
  for (const WebAsset& asset : kAssets)
    if (asset.path == path) return &asset;
  return nullptr;
}

}  // namespace quelmar::station
")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")

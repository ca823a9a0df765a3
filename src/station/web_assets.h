// The pages: files of src/station/web compiled into the program at build
// time, so nothing is fetched or read from disk at run time.
#pragma once

#include <cstddef>
#include <string_view>

namespace quelmar::station {

struct WebAsset {
  std::string_view path;          // "/app.js"
  std::string_view content_type;  // "text/javascript; charset=utf-8"
  std::string_view body;
};

// The station's page: the asset served at `path`, or null.
const WebAsset* FindWebAsset(std::string_view path);
// The line's page, likewise (its own files and the ones both pages share).
const WebAsset* FindLineAsset(std::string_view path);

}  // namespace quelmar::station

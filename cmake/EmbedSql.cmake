# Writes OUTPUT, a C++ file defining the function FUNCTION that returns the
# text of the SQL file INPUT, for the schema's steps (src/line/sql).
# Run as `cmake -DINPUT=... -DOUTPUT=... -DFUNCTION=... -P EmbedSql.cmake`.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
set(text "// Generated from src/line/sql/${name} at build time; do not edit.
namespace quelmar::line {
namespace {
constexpr char kText[] = {
${bytes}'\\0'};
}  // namespace

const char* ${FUNCTION}() {
  return kText;
}

}  // namespace quelmar::line
")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")

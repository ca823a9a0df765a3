// A list file's values, read by the rules every list source shares (the
// state files here, a line's database pool): one value per line, used in
// order; a UTF-8 byte order mark and empty lines skipped; each value taken
// as what the field's format makes of it, so one value is never there twice
// under two spellings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "production/fields.h"

namespace quelmar::production {

struct ListValue {
  // from_list; text is the canonical text, number the value of a number
  // format (a MAC, u32le, text:PATTERN).
  FieldValue value;
  std::string canonical;
  size_t line = 0;  // counted from 1 in the file
};

// The value's canonical text: what decides that two values are one. A MAC
// as "02:51:4D:00:00:2A" (whatever the case, ':' or '-'); a number in
// decimal, by value ("16", "0x10" and "016" are all 16: leading zeros are
// decimal, never octal); text as it stands. A counter's value the same way.
std::string CanonicalText(const FieldDef& def, const FieldValue& value);

// Reads the list's bytes for the field. Refused, with one line in *why
// naming file_name and the line: a line that is not UTF-8, a value that is
// not of the format or does not fit the field, a value that is there twice
// (naming both lines), and for text a value that begins or ends with a
// blank or holds a control character.
bool ReadValueList(const FieldDef& def, std::string_view bytes, const std::string& file_name,
                   std::vector<ListValue>* values, std::string* why);

}  // namespace quelmar::production

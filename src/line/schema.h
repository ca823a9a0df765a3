// The line's tables, version by version. Private to src/line.
#pragma once

#include <string>
#include <vector>

namespace quelmar::line {

// Step i brings the schema from version i to version i + 1; there are
// kSchemaVersion of them. Each is one text of statements run inside the
// caller's transaction.
const std::vector<std::string>& SchemaSteps();

}  // namespace quelmar::line

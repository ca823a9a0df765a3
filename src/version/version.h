// The program's version: the project's release number, with the checkout's
// `git describe` after a '+' when the build is not of that release's tag.
#pragma once

namespace quelmar {

const char* VersionString();

}  // namespace quelmar

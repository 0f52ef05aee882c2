#pragma once
// What the library's file calls cannot say through their own results.

namespace vardo::loader {

// True when the file opened with BSL_openTI_TextForRead stopped at a malformed
// line: "no more data" then does not mean the whole image was read.
bool textFileFailed();

} // namespace vardo::loader

// The project's version, as the build stamped it, for every program's --version.
#pragma once

namespace host {

// E.g. "1.0.0 (commit 0166604)", or "1.0.0" when the build did not know its commit (a source
// tree outside git); "-dirty" marks a commit built with local changes.
const char* ProjectVersion();

}  // namespace host

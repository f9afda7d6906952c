// What runs at process start and normal exit: the framework's own start-up
// and teardown, and around them the start-up and exit work of the source
// units that have any. Tests that replace platform services run them again
// under the replacements.
#pragma once

namespace hwds {

void processStartup();
void processExit();  // the framework's teardown first, then the units'

}  // namespace hwds

// Advice that depends on the system a person runs the programs on.
#pragma once

namespace platform {

// What commonly keeps a user from a device on this system, for a person told
// that access to it was refused.
const char* accessDeniedHint();

}  // namespace platform

#pragma once
#include <QString>
#include <memory>

#include "platform/platform.h"

namespace nimbo {

// The registry filled with the real Linux services. Nothing, with the
// reason in `error`, when the X display cannot be reached.
std::unique_ptr<Platform> makeLinuxPlatform(QString* error);

}  // namespace nimbo

#pragma once
#include <memory>

#include "core/seams.h"

namespace nimbo {

// The real implementations of the product's seams: the share uploader, the
// editor window, the selection overlay and message-box dialogs.
std::unique_ptr<Seams> makeProductSeams();

}  // namespace nimbo

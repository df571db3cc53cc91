// What a share server answers the app: any bytes are read without crashing,
// and what is accepted is what the app can act on (a recording's upload
// address is absolute with a host, a token is never empty).
#include <QByteArray>

#include <cstdint>
#include <cstdlib>

#include "sharing/share_replies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace nimbo::ShareReplies;
  const QByteArray body(reinterpret_cast<const char*>(data), int(size));
  (void)uploadedImageUrl(body);
  if (const auto slot = recordingSlot(body))
    if (!slot->uploadUrl.isValid() || slot->uploadUrl.isRelative() || slot->uploadUrl.host().isEmpty()) std::abort();
  if (const auto token = registeredToken(body))
    if (token->isEmpty()) std::abort();
  return 0;
}

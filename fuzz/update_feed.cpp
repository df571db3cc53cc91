// The update feed and its signature fields: any bytes are read without
// crashing, and every item accepted is one the updater can act on safely
// (a version that is a plain folder name, an absolute URL with a host, a
// length within bounds, a 64-byte signature). The signature check itself
// gets the same bytes as key, signature and message.
#include <QByteArray>

#include <cstdint>
#include <cstdlib>

#include "sharing/update_feed.h"
#include "sharing/update_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace nimbo;
  const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
  const Result<std::vector<UpdateItem>> items = UpdateFeed::parse(bytes);
  if (items.ok()) {
    for (const UpdateItem& item : items.value()) {
      for (const QString& v : {item.version, item.displayVersion})
        if (v.isEmpty() || v.contains(u'/') || v.contains(QLatin1String("..")) || v.startsWith(u'.')) std::abort();
      if (!item.url.isValid() || item.url.isRelative() || item.url.host().isEmpty()) std::abort();
      if (item.length <= 0 || item.length > UpdateFeed::kMaxArchiveBytes) std::abort();
      if (item.signature.size() != 64) std::abort();
    }
    (void)UpdateFeed::newest(items.value(), QStringLiteral("1"));
  }
  if (size >= 96) {
    // A forged signature never verifies by accident.
    const QByteArray key = bytes.left(32), signature = bytes.mid(32, 64), message = bytes.mid(96);
    (void)UpdateSignature::verify(message, key, signature);
  }
  return 0;
}

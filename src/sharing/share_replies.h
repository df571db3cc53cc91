#pragma once
// What the share server answers, read from the bytes it sent. Anything
// missing or of the wrong kind gives nothing: the caller reports a malformed
// reply.
#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace nimbo::ShareReplies {

// POST /api/upload: {"url": "…"}, the link exactly as sent.
std::optional<QString> uploadedImageUrl(const QByteArray& body);

// POST /api/recordings/create: where to PUT the video (an absolute URL with
// a host; it carries its own permission) and the link it will have.
struct RecordingSlot {
  QString slug;
  QString shareUrl;
  QUrl uploadUrl;
};
std::optional<RecordingSlot> recordingSlot(const QByteArray& body);

// POST /api/register: {"token": "…"}, never empty.
std::optional<QString> registeredToken(const QByteArray& body);

}  // namespace nimbo::ShareReplies

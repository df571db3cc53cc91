#include "sharing/share_uploader.h"
#include "sharing/share_replies.h"


#include "sharing/device_token.h"
#include "sharing/share_api.h"
#include "util/preferences.h"

namespace nimbo {
namespace {

// The steps both uploads start with, in their fixed order: an endpoint at
// all, a token (registering when there is none), then an endpoint that parses.
void authorise(std::function<void(Result<std::pair<QUrl, QString>>)> next) {
  const QString raw = Preferences::stringValue(Preferences::kUploadEndpoint);
  if (raw.isEmpty()) return next(uploadError(UploadErrorKind::notConfigured));
  auto withToken = [raw, next](const QString& token) {
    const std::optional<QUrl> base = ShareApi::parseEndpoint(raw);
    if (!base) return next(uploadError(UploadErrorKind::invalidEndpoint));
    next(std::make_pair(*base, token));
  };
  const std::optional<QString> stored = DeviceToken::get();
  if (stored && !stored->isEmpty()) return withToken(*stored);
  DeviceRegistration::registerDevice([withToken, next](std::optional<QString> token) {
    if (!token || token->isEmpty()) return next(uploadError(UploadErrorKind::notConfigured));
    withToken(*token);
  });
}

// An HTTP answer turned into the uploads' errors: transport errors pass
// through with their own text, statuses outside 2xx carry the body.
std::optional<Error> failure(const ShareApi::HttpResult& res) {
  if (!res.isHttp) {
    if (!res.transportError.isEmpty()) return Error{res.transportError};
    return uploadError(UploadErrorKind::malformedResponse);
  }
  if (res.status < 200 || res.status > 299) return uploadError(UploadErrorKind::badStatus, res.status, res.body);
  return std::nullopt;
}

}  // namespace

void ShareUploader::uploadImage(const QByteArray& png, Callback<QString> done) {
  authorise([png, done](Result<std::pair<QUrl, QString>> auth) {
    if (!auth.ok()) return done(auth.error());
    ShareApi::HttpRequest r;
    r.verb = "POST";
    r.url = ShareApi::apiUrl(auth.value().first, QStringLiteral("api/upload"));
    r.headers = {{"Authorization", "Bearer " + auth.value().second.toUtf8()}, {"Content-Type", "image/png"}};
    r.body = png;
    r.timeoutSeconds = ShareApi::kUploadTimeout;
    ShareApi::send(r, [done](ShareApi::HttpResult res) {
      if (auto e = failure(res)) return done(*e);
      const std::optional<QString> url = ShareReplies::uploadedImageUrl(res.body);
      if (!url) return done(uploadError(UploadErrorKind::malformedResponse));
      done(*url);  // exactly as received
    });
  });
}

void ShareUploader::uploadVideo(const QString& path, Callback<QString> done) {
  authorise([path, done](Result<std::pair<QUrl, QString>> auth) {
    if (!auth.ok()) return done(auth.error());
    ShareApi::HttpRequest create;
    create.verb = "POST";
    create.url = ShareApi::apiUrl(auth.value().first, QStringLiteral("api/recordings/create"));
    create.headers = {{"Authorization", "Bearer " + auth.value().second.toUtf8()}};
    create.timeoutSeconds = ShareApi::kUploadTimeout;
    ShareApi::send(create, [path, done](ShareApi::HttpResult res) {
      if (auto e = failure(res)) return done(*e);
      const std::optional<ShareReplies::RecordingSlot> slot = ShareReplies::recordingSlot(res.body);
      if (!slot) return done(uploadError(UploadErrorKind::malformedResponse));
      // The upload URL carries its own permission: no Authorization header.
      ShareApi::HttpRequest put;
      put.verb = "PUT";
      put.url = slot->uploadUrl;
      put.headers = {{"Content-Type", "video/mp4"}};
      put.bodyFile = path;
      put.timeoutSeconds = ShareApi::kVideoTimeout;
      ShareApi::send(put, [shareUrl = slot->shareUrl, done](ShareApi::HttpResult res) {
        if (auto e = failure(res)) return done(*e);
        done(shareUrl);
      });
    });
  });
}

}  // namespace nimbo

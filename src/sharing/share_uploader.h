#pragma once
#include "core/seams.h"
#include "platform/platform.h"

namespace nimbo {

// Image and video uploads to the share server (the real Uploader).
class ShareUploader : public Uploader {
 public:
  void uploadImage(const QByteArray& png, Callback<QString> done) override;
  void uploadVideo(const QString& path, Callback<QString> done) override;
};

}  // namespace nimbo

// Uploads one large MP4 through the app's video uploader and reports how much
// the process's peak memory grew: the file must stream from disk.
//   upload_bench ENDPOINT FILE
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/fake/fake_platform.h"
#include "sharing/share_uploader.h"
#include "util/preferences.h"

namespace {
long peakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}
}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: upload_bench ENDPOINT FILE\n");
    return 2;
  }
  // The keyring and the rest are not under test: in-memory stand-ins.
  nimbo::fake::installFakes();
  nimbo::Preferences::setValue(nimbo::Preferences::kUploadEndpoint, QString::fromLocal8Bit(argv[1]));
  const QString file = QString::fromLocal8Bit(argv[2]);
  const long before = peakKiB();
  QElapsedTimer t;
  t.start();
  int rc = 1;
  nimbo::ShareUploader().uploadVideo(file, [&](nimbo::Result<QString> r) {
    const long after = peakKiB();
    if (r.ok()) {
      std::printf("uploaded %.1f MiB in %.1f s -> %s\n", QFile(file).size() / 1048576.0, t.elapsed() / 1000.0,
                  qPrintable(r.value()));
      std::printf("peak memory: %.1f MiB before, %.1f MiB after: grew %.1f MiB (goal: under 64 MiB)\n",
                  before / 1024.0, after / 1024.0, (after - before) / 1024.0);
      rc = 0;
    } else {
      std::fprintf(stderr, "upload failed: %s\n", qPrintable(r.error().description));
    }
    QCoreApplication::quit();
  });
  app.exec();
  return rc;
}

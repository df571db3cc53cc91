#include "capture/pasteboard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMimeData>
#include <QUrl>

#include "platform/platform.h"
#include "util/preferences.h"
#include "util/paths.h"

namespace nimbo::Pasteboard {
namespace {

constexpr char kPng[] = "image/png";
constexpr char kUriList[] = "text/uri-list";
// What GNOME Files, Nautilus forks and others read to paste a copied file.
constexpr char kGnomeFiles[] = "x-special/gnome-copied-files";

void addFile(QMimeData* mime, const QString& path) {
  const QByteArray url = QUrl::fromLocalFile(path).toEncoded();
  mime->setData(kUriList, url + "\r\n");
  mime->setData(kGnomeFiles, "copy\n" + url);
}

}  // namespace

QString formattedURLString(const QString& url, Dimensions dimensions) {
  if (!Preferences::boolValue(Preferences::kMarkdownEmbedOnCopy, false)) return url;
  const QString link = url.endsWith(QStringLiteral(".png")) ? url : url + ".png";
  if (dimensions)
    return QStringLiteral("![%1\u00D7%2](%3)").arg(dimensions->first).arg(dimensions->second).arg(link);
  return "![](" + link + ")";
}

QString temporaryPNGPath(const QDateTime& when) {
  const QString stamp =
      QLocale::c().toString(when.toLocalTime(), QStringLiteral("yyyy-MM-dd-'at'-HH.mm.ss"));
  return paths::privateTempDir() + "/Nimbo-" + stamp + ".png";
}

void pruneTemporaryPNGs(const QString& keep) {
  // The copies only need to outlive the paste they were made for.
  QDir dir(QFileInfo(keep).path());
  const QFileInfoList files =
      dir.entryInfoList({QStringLiteral("Nimbo-*.png")}, QDir::Files | QDir::NoSymLinks, QDir::Time);
  const QDateTime dayAgo = QDateTime::currentDateTime().addDays(-1);
  int kept = 0;
  for (const QFileInfo& f : files) {
    if (f.absoluteFilePath() == QFileInfo(keep).absoluteFilePath()) continue;
    if (++kept >= kTemporaryPNGsKept || f.lastModified() < dayAgo) QFile::remove(f.absoluteFilePath());
  }
}

std::optional<QString> temporaryPNGFile(const QByteArray& png) {
  if (paths::privateTempDir().isEmpty()) return std::nullopt;  // no private folder to be had
  const QString path = temporaryPNGPath(QDateTime::currentDateTime());
  QFile f(path);
  const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate, ownerOnly)) return std::nullopt;
  f.setPermissions(ownerOnly);  // a file of the same second may exist already
  if (f.write(png) != png.size()) return std::nullopt;
  f.close();
  pruneTemporaryPNGs(path);
  return path;
}

void writeImage(const QByteArray& png) {
  auto* mime = new QMimeData;
  mime->setData(kPng, png);
  if (auto file = temporaryPNGFile(png)) addFile(mime, *file);
  platform().clipboard->setMimeData(mime);
}

void writeImageAndURL(const QByteArray& png, const QString& url, Dimensions dimensions) {
  auto* mime = new QMimeData;
  mime->setData(kPng, png);
  mime->setText(formattedURLString(url, dimensions));
  if (auto file = temporaryPNGFile(png)) addFile(mime, *file);
  platform().clipboard->setMimeData(mime);
}

void writeVideoAndURL(const QString& videoPath, const std::optional<QString>& url) {
  auto* mime = new QMimeData;
  addFile(mime, videoPath);
  if (url) mime->setText(*url);  // never Markdown: a video is no image embed
  platform().clipboard->setMimeData(mime);
}

void writeURL(const QString& url, Dimensions dimensions) {
  auto* mime = new QMimeData;
  mime->setText(formattedURLString(url, dimensions));
  platform().clipboard->setMimeData(mime);
}

void writeString(const QString& text) {
  auto* mime = new QMimeData;
  mime->setText(text);
  platform().clipboard->setMimeData(mime);
}

}  // namespace nimbo::Pasteboard

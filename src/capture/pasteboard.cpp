#include "capture/pasteboard.h"

#include <QFile>
#include <QLocale>
#include <QMimeData>
#include <QUrl>

#include "platform/platform.h"
#include "shell/preferences.h"
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
  return paths::tempDir() + "/Nimbo-" + stamp + ".png";
}

std::optional<QString> temporaryPNGFile(const QByteArray& png) {
  const QString path = temporaryPNGPath(QDateTime::currentDateTime());
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return std::nullopt;
  if (f.write(png) != png.size()) return std::nullopt;
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

}  // namespace nimbo::Pasteboard

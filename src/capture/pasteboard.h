#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>
#include <utility>

namespace nimbo::Pasteboard {

using Dimensions = std::optional<std::pair<qint64, qint64>>;

void writeImage(const QByteArray& png);
void writeImageAndURL(const QByteArray& png, const QString& url, Dimensions dimensions);
void writeVideoAndURL(const QString& videoPath, const std::optional<QString>& url);
// Puts only the link, formatted by the Markdown setting, on the clipboard.
void writeURL(const QString& url, Dimensions dimensions);
// Puts `text` on the clipboard as plain text, unformatted.
void writeString(const QString& text);

QString formattedURLString(const QString& url, Dimensions dimensions);

// "Nimbo-yyyy-MM-dd-at-HH.mm.ss.png" in the user's private temporary folder
// (paths::privateTempDir), for `when` in local time.
QString temporaryPNGPath(const QDateTime& when);
// Writes the copy (readable by the user alone) and returns its path; nothing
// when it could not be written. Copies beyond the newest few, or older than
// a day, are removed.
inline constexpr int kTemporaryPNGsKept = 10;
std::optional<QString> temporaryPNGFile(const QByteArray& png);

}  // namespace nimbo::Pasteboard

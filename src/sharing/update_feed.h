#pragma once
// The update feed: an RSS "appcast" whose items each announce one release
// archive, and the rules for choosing among them.
//
//   <rss version="2.0" xmlns:nimbo="https://nimbo.vantori.com/xml/appcast">
//     <channel>
//       <item>
//         <title>Nimbo 0.2.0</title>
//         <nimbo:version>2</nimbo:version>                      build number
//         <nimbo:shortVersionString>0.2.0</nimbo:shortVersionString>
//         <enclosure url="https://…/nimbo-0.2.0-linux-x86_64.tar.xz" length="123456"
//                    type="application/x-xz" nimbo:edSignature="base64 of 64 bytes"/>
//       </item>
//     </channel>
//   </rss>
//
// The version fields may also be attributes of the enclosure; their
// namespace prefix is not checked, only their names.
#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

#include "util/result.h"

namespace nimbo {

struct UpdateItem {
  QString version;         // build number, compared with the running build's
  QString displayVersion;  // what people see; also the install folder's name
  QUrl url;                // the signed .tar.xz archive
  qint64 length = 0;       // its exact size in bytes
  QByteArray signature;    // raw Ed25519 signature of the archive (64 bytes)
};

namespace UpdateFeed {

// The largest feed read, and the largest archive accepted.
inline constexpr qint64 kMaxFeedBytes = 1 << 20;
inline constexpr qint64 kMaxArchiveBytes = qint64(512) << 20;

// The items that announce a complete, well-formed release. An item missing
// a field, with a bad length, URL or signature, or a version that could name
// a folder outside the install (".." or "/"), is skipped; text that is not
// an RSS feed is an error.
Result<std::vector<UpdateItem>> parse(const QByteArray& xml);

// Compares dotted versions part by part, numerically where both parts are
// numbers ("1.10" > "1.9"; "2" > "1.9.9"), as text otherwise; missing parts
// count as 0. <0, 0, >0 like strcmp.
int compareVersions(const QString& a, const QString& b);

// The item with the highest version above `runningBuild`, if any.
std::optional<UpdateItem> newest(const std::vector<UpdateItem>& items, const QString& runningBuild);

// Feeds and archives come over HTTPS; plain HTTP only from this machine
// (a test feed on loopback).
bool transportAllowed(const QUrl& url);

}  // namespace UpdateFeed
}  // namespace nimbo

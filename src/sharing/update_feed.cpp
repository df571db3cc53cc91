#include "sharing/update_feed.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringList>
#include <QXmlStreamReader>

namespace nimbo::UpdateFeed {

namespace {

Error feedError(const QString& why) { return Error{why, QStringLiteral("Nimbo.Updates"), -1}; }

// A version becomes a folder name: letters, digits and a few separators, no
// leading dot.
bool safeVersion(const QString& v) {
  static const QRegularExpression ok(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._+~-]{0,63}$"));
  return ok.match(v).hasMatch() && !v.contains(QLatin1String(".."));
}

struct Draft {
  QString version, displayVersion, url, length, signature;
};

void takeAttributes(const QXmlStreamAttributes& attrs, Draft& d) {
  for (const QXmlStreamAttribute& a : attrs) {
    const QStringView name = a.name();
    const QString value = a.value().toString().trimmed();
    if (name == QLatin1String("url") && a.prefix().isEmpty()) d.url = value;
    else if (name == QLatin1String("length") && a.prefix().isEmpty()) d.length = value;
    else if (name == QLatin1String("version")) d.version = value;
    else if (name == QLatin1String("shortVersionString")) d.displayVersion = value;
    else if (name == QLatin1String("edSignature")) d.signature = value;
  }
}

std::optional<UpdateItem> finish(const Draft& d) {
  UpdateItem item;
  item.version = d.version;
  item.displayVersion = d.displayVersion.isEmpty() ? d.version : d.displayVersion;
  if (!safeVersion(item.version) || !safeVersion(item.displayVersion)) return std::nullopt;
  item.url = QUrl(d.url, QUrl::StrictMode);
  if (!item.url.isValid() || item.url.isRelative() || item.url.host().isEmpty()) return std::nullopt;
  bool ok = false;
  item.length = d.length.toLongLong(&ok);
  if (!ok || item.length <= 0 || item.length > kMaxArchiveBytes) return std::nullopt;
  const auto decoded = QByteArray::fromBase64Encoding(d.signature.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded || decoded.decoded.size() != 64) return std::nullopt;
  item.signature = decoded.decoded;
  return item;
}

}  // namespace

Result<std::vector<UpdateItem>> parse(const QByteArray& xml) {
  if (xml.size() > kMaxFeedBytes) return feedError(QStringLiteral("the feed is larger than 1 MB"));
  QXmlStreamReader r(xml);
  // No DTDs: entity expansion is how a small feed becomes a huge one.
  std::vector<UpdateItem> items;
  bool sawRss = false;
  std::optional<Draft> draft;
  QString field;  // the element whose text is being read inside an item
  while (!r.atEnd()) {
    switch (r.readNext()) {
      case QXmlStreamReader::DTD:
        return feedError(QStringLiteral("the feed declares a DTD"));
      case QXmlStreamReader::StartElement:
        if (!sawRss) {
          if (r.name() != QLatin1String("rss")) return feedError(QStringLiteral("not an RSS feed"));
          sawRss = true;
        } else if (r.name() == QLatin1String("item") && r.prefix().isEmpty()) {
          draft = Draft{};
        } else if (draft) {
          if (r.name() == QLatin1String("enclosure")) takeAttributes(r.attributes(), *draft);
          field = r.name().toString();
        }
        break;
      case QXmlStreamReader::Characters:
        if (draft && !r.isWhitespace()) {
          const QString text = r.text().toString().trimmed();
          if (field == QLatin1String("version")) draft->version = text;
          else if (field == QLatin1String("shortVersionString")) draft->displayVersion = text;
        }
        break;
      case QXmlStreamReader::EndElement:
        if (draft && r.name() == QLatin1String("item") && r.prefix().isEmpty()) {
          if (auto item = finish(*draft)) items.push_back(std::move(*item));
          draft.reset();
        }
        field.clear();
        break;
      default:
        break;
    }
  }
  if (r.hasError()) return feedError(QStringLiteral("the feed is not well-formed XML: ") + r.errorString());
  if (!sawRss) return feedError(QStringLiteral("not an RSS feed"));
  return items;
}

int compareVersions(const QString& a, const QString& b) {
  const QStringList pa = a.split(QLatin1Char('.')), pb = b.split(QLatin1Char('.'));
  for (qsizetype i = 0; i < std::max(pa.size(), pb.size()); ++i) {
    const QString x = i < pa.size() ? pa[i] : QStringLiteral("0");
    const QString y = i < pb.size() ? pb[i] : QStringLiteral("0");
    bool xn = false, yn = false;
    const qulonglong xv = x.toULongLong(&xn), yv = y.toULongLong(&yn);
    if (xn && yn) {
      if (xv != yv) return xv < yv ? -1 : 1;
    } else if (const int c = x.compare(y); c != 0) {
      return c < 0 ? -1 : 1;
    }
  }
  return 0;
}

std::optional<UpdateItem> newest(const std::vector<UpdateItem>& items, const QString& runningBuild) {
  std::optional<UpdateItem> best;
  for (const UpdateItem& item : items) {
    if (compareVersions(item.version, runningBuild) <= 0) continue;
    if (!best || compareVersions(item.version, best->version) > 0) best = item;
  }
  return best;
}

bool transportAllowed(const QUrl& url) {
  if (url.scheme() == QLatin1String("https")) return true;
  if (url.scheme() != QLatin1String("http")) return false;
  if (url.host() == QLatin1String("localhost")) return true;
  const QHostAddress host(url.host());
  return !host.isNull() && host.isLoopback();
}

}  // namespace nimbo::UpdateFeed

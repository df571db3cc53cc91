#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <csignal>

#include "capture/capture_history.h"
#include "support.h"

namespace nimbo {
namespace {

using test::PlatformTest;

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(bytes);
}

CaptureItem image(int n) { return CaptureItem::newImage(100 + n, 50 + n); }
CaptureItem video(const QString& path) {
  CaptureItem v = CaptureItem::newImage(640, 480);
  v.mediaType = MediaType::video;
  v.videoPath = path;
  return v;
}

class CaptureHistoryTest : public PlatformTest {
 protected:
  QString base() const { return paths::appSupportDir(); }
};

TEST_F(CaptureHistoryTest, RecordRoundTripsThroughTheIndexWithOptionalKeysLeftOut) {
  CaptureItem rec = video("/tmp/x.mp4");
  rec.durationMS = 4200;
  rec.shareURL = "https://s.example/v/abc";
  const CaptureItem plain = image(1);
  {
    CaptureHistory h(base());
    h.add(rec, std::nullopt, "thumb");
    h.add(plain, QByteArray("orig"), "thumb");
  }
  const QJsonArray arr = QJsonDocument::fromJson(readAll(base() + "/history.json")).array();
  ASSERT_EQ(arr.size(), 2);
  const QJsonObject first = arr[0].toObject();
  EXPECT_EQ(first["id"].toString(), plain.id);
  EXPECT_EQ(first["mediaType"].toString(), "image");
  for (const char* key : {"shareURL", "durationMS", "videoPath"}) EXPECT_FALSE(first.contains(key)) << key;
  EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$)").match(first["createdAt"].toString()).hasMatch());

  CaptureHistory reloaded(base());
  ASSERT_EQ(reloaded.items().size(), 2u);
  EXPECT_EQ(reloaded.items()[0], plain);
  EXPECT_EQ(reloaded.items()[1], rec);
  EXPECT_EQ(readAll(reloaded.originalPath(plain.id)), "orig");
  EXPECT_FALSE(QFile::exists(reloaded.originalPath(rec.id)));
}

TEST_F(CaptureHistoryTest, LegacyEntriesDecodeAndBadOnesMakeTheWholeIndexUnreadable) {
  const QByteArray legacy =
      R"([{"id":"0F6A7B9C-1234-4ABC-8DEF-0123456789AB","createdAt":"2024-05-01T09:30:00Z","width":10,"height":20}])";
  auto decoded = decodeHistory(legacy);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->at(0).mediaType, MediaType::image);
  EXPECT_FALSE(decoded->at(0).shareURL);
  EXPECT_EQ(decoded->at(0).createdAt, QDateTime(QDate(2024, 5, 1), QTime(9, 30), Qt::UTC));

  for (const char* bad : {R"([{"id":"A","createdAt":"2024-05-01T09:30:00Z","height":20}])",
                          R"([{"id":"A","createdAt":"2024-05-01T09:30:00Z","width":1,"height":2,"mediaType":"gif"}])",
                          R"([{"id":"A","createdAt":"yesterday","width":1,"height":2}])",
                          R"([{"id":"A","createdAt":"2024-05-01T09:30:00Z","width":1.5,"height":2}])", R"({"id":"A"})"})
    EXPECT_FALSE(decodeHistory(bad)) << bad;
}

TEST_F(CaptureHistoryTest, UnreadableIndexIsSetAsideNotOverwritten) {
  const QByteArray broken = R"([{"id":"A","createdAt":"2024-05-01T09:30:00Z","height":20}])";
  writeAll(base() + "/history.json", broken);
  CaptureHistory h(base());
  EXPECT_TRUE(h.items().empty());
  const QStringList aside = QDir(base()).entryList({"history.json.unreadable-*"}, QDir::Files);
  ASSERT_EQ(aside.size(), 1);
  EXPECT_EQ(readAll(base() + "/" + aside[0]), broken);
  EXPECT_TRUE(test::logged().join('\n').contains("history index could not be read"));

  h.add(image(1), QByteArray("o"), "t");
  EXPECT_EQ(readAll(base() + "/" + aside[0]), broken);  // a later save leaves it alone
}

TEST_F(CaptureHistoryTest, The31stCaptureEvictsTheOldestRecordAndItsFilesButNotItsVideo) {
  CaptureHistory h(base());
  const QString mp4 = base() + "/keep.mp4";
  writeAll(mp4, "video");
  const CaptureItem oldestVideo = video(mp4), secondOldest = image(0);
  h.add(oldestVideo, std::nullopt, "thumb");
  h.add(secondOldest, QByteArray("png"), "thumb");
  for (int i = 1; i < 29; ++i) h.add(image(i), QByteArray("png"), "thumb");
  ASSERT_EQ(h.items().size(), 30u);

  h.add(image(99), QByteArray("png"), "thumb");
  ASSERT_EQ(h.items().size(), 30u);
  EXPECT_FALSE(h.find(oldestVideo.id));
  EXPECT_FALSE(QFile::exists(h.thumbnailPath(oldestVideo.id)));
  EXPECT_TRUE(QFile::exists(mp4));
  EXPECT_EQ(h.items().back().id, secondOldest.id);

  h.add(image(100), QByteArray("png"), "thumb");
  EXPECT_FALSE(QFile::exists(h.originalPath(secondOldest.id)));
  EXPECT_FALSE(QFile::exists(h.thumbnailPath(secondOldest.id)));
  EXPECT_EQ(CaptureHistory(base()).items().size(), 30u);
}

TEST_F(CaptureHistoryTest, ReplaceContentsKeepsIdentityAndPlaceButDropsTheLink) {
  CaptureHistory h(base());
  CaptureItem a = image(1), b = image(2);
  h.add(a, QByteArray("a1"), "ta1");
  h.add(b, QByteArray("b1"), "tb1");
  h.updateShareURL(a.id, "https://x/i/a");
  EXPECT_TRUE(h.replaceContents(a.id, "a2", "ta2"));
  ASSERT_EQ(h.items().size(), 2u);
  const CaptureItem& after = h.items()[1];
  EXPECT_EQ(after.id, a.id);
  EXPECT_EQ(after.createdAt, a.createdAt);
  EXPECT_FALSE(after.shareURL);
  EXPECT_EQ(readAll(h.originalPath(a.id)), "a2");
  EXPECT_EQ(readAll(h.thumbnailPath(a.id)), "ta2");

  h.remove(a);  // a record that is gone says so and gets no file
  EXPECT_FALSE(h.replaceContents(a.id, "a3", "ta3"));
  EXPECT_FALSE(QFile::exists(h.originalPath(a.id)));
}

TEST_F(CaptureHistoryTest, DeleteRemovesFilesEvenWhenAlreadyGoneAndUnknownIdsChangeNothing) {
  CaptureHistory h(base());
  h.clearAll();  // an empty history still writes an empty index
  EXPECT_TRUE(QJsonDocument::fromJson(readAll(h.historyFile())).isArray());
  const QString mp4 = base() + "/rec.mp4";
  writeAll(mp4, "video");
  const CaptureItem v = video(mp4), gone = image(3);
  h.add(v, std::nullopt, "t");
  h.add(gone, QByteArray("o"), "t");
  QFile::remove(h.originalPath(gone.id));
  QFile::remove(h.thumbnailPath(gone.id));

  h.remove(v);
  EXPECT_FALSE(QFile::exists(mp4));
  h.remove(gone);
  EXPECT_TRUE(h.items().empty());
  EXPECT_EQ(QJsonDocument::fromJson(readAll(h.historyFile())).array().size(), 0);

  h.add(image(4), QByteArray("o"), "t");
  const QByteArray before = readAll(h.historyFile());
  h.updateShareURL("UNKNOWN", "https://x");
  EXPECT_EQ(readAll(h.historyFile()), before);
}

TEST(CaptureItemTest, RelativeTimeLabelBoundaries) {
  const QDateTime now(QDate(2024, 5, 10), QTime(12, 0), Qt::UTC);
  const std::pair<qint64, const char*> cases[] = {{-5000, "just now"}, {59900, "just now"}, {60000, "1m"},
                                                  {3599000, "59m"},    {3600000, "1h"},      {86400000 - 1, "23h"},
                                                  {6 * 86400000LL + 86399000, "6d"},       {7 * 86400000LL, "old"}};
  for (const auto& [ago, label] : cases) {
    CaptureItem item;
    item.createdAt = now.addMSecs(-ago);
    EXPECT_EQ(item.relativeTimeLabel(now), label) << ago;
  }
}

// A fresh upload, a linked capture and a recording whose file is gone: through the capture menu (popover_history_test).
TEST_F(CaptureHistoryTest, UploadExistingFollowsItsOrderOfChecks) {
  CaptureHistory& h = CaptureHistory::shared();
  std::optional<Result<QString>> got;
  auto capture = [&](Result<QString> r) { got = r; };
  h.uploadExisting("MISSING", capture);
  ASSERT_TRUE(got && !got->ok());
  EXPECT_EQ(got->error(), (Error{"Capture is no longer in history.", "Nimbo", -1}));

  CaptureItem noFile = image(2);
  h.add(noFile, QByteArray("o"), "t");
  QFile::remove(h.originalPath(noFile.id));
  h.uploadExisting(noFile.id, capture);
  EXPECT_EQ(got->error(), (Error{"Couldn't read the original PNG for this capture.", "Nimbo", -2}));
}

TEST_F(CaptureHistoryTest, IdsThatAreNotUuidsNeverBecomePaths) {
  // Files a hostile index would reach through its ids and video paths.
  const QString outside = base() + "/../outside";
  writeAll(outside + "/x.png", "keep");
  writeAll(outside + "/clip.mp4", "keep");
  const CaptureItem good = image(1);
  writeAll(base() + "/originals/" + good.id + ".png", "o");
  writeAll(base() + "/history.json", QStringLiteral(R"([
    {"id":"../../outside/x","createdAt":"2024-05-01T09:30:00Z","width":1,"height":2},
    {"id":"%1","createdAt":"2024-05-01T09:30:00Z","width":3,"height":4,"mediaType":"video",
     "videoPath":"%2"},
    {"id":"%3","createdAt":"2024-05-01T09:30:00Z","width":5,"height":6}
  ])").arg(CaptureItem::newId(), outside + "/clip.mp4", good.id).toUtf8());

  CaptureHistory h(base());
  ASSERT_EQ(h.items().size(), 2u);  // the rest of the history still loads
  EXPECT_EQ(h.items()[1].id, good.id);
  h.remove(h.items()[0]);           // its video lies outside our folder
  EXPECT_TRUE(QFile::exists(outside + "/clip.mp4"));
  CaptureItem hostile = image(2);
  hostile.id = "../../outside/x";
  EXPECT_FALSE(h.add(hostile, QByteArray("o"), "t"));
  h.remove(hostile);
  h.clearAll();
  EXPECT_TRUE(QFile::exists(outside + "/x.png"));
  EXPECT_FALSE(QFile::exists(h.originalPath(good.id)));
  EXPECT_TRUE(isValidCaptureId(CaptureItem::newId()));
  EXPECT_FALSE(isValidCaptureId(CaptureItem::newId() + "/.."));
}

TEST_F(CaptureHistoryTest, ACaptureWhosePictureCannotBeWrittenIsNotFiled) {
  CaptureHistory h(base());
  const CaptureItem kept = image(1);
  h.add(kept, QByteArray("o"), "t");
  CaptureItem broken = image(2);
  QDir().mkpath(h.originalPath(broken.id));  // a folder where the file would go
  EXPECT_FALSE(h.add(broken, QByteArray("o"), "t"));
  ASSERT_EQ(h.items().size(), 1u);
  EXPECT_EQ(h.items()[0].id, kept.id);
}

// Only the child of the test below: clears, deletes the newest or adds a 31st, and is killed at the first deletion.
TEST(CaptureHistoryChild, ChangesTheHistoryUntilKilled) {
  const QString dir = qEnvironmentVariable("NIMBO_HISTORY_CHILD_DIR");
  if (dir.isEmpty()) GTEST_SKIP() << "run by AKillWhileRecordsGoNeverLeavesOneWithoutItsFiles";
  CaptureHistory h(dir);
  const QString what = qEnvironmentVariable("NIMBO_HISTORY_CHILD");
  if (what == "clear") h.clearAll();
  else if (what == "delete") h.remove(CaptureItem(h.items().front()));
  else h.add(image(99), QByteArray("png"), "thumb");
  ::pause();  // the kill comes
}

// Files go only once the index no longer names them: a kill at the first deletion leaves every record whole.
TEST(CaptureHistoryKill, AKillWhileRecordsGoNeverLeavesOneWithoutItsFiles) {
  for (const char* what : {"clear", "delete", "evict"}) {
    for (int round = 0; round < 3; ++round) {
      QTemporaryDir dir;
      {
        CaptureHistory h(dir.path());
        for (int i = 0; i < CaptureHistory::maxItems; ++i) h.add(image(i), QByteArray("png"), "thumb");
      }
      const int watch = inotify_init1(IN_CLOEXEC);
      ASSERT_GE(watch, 0);
      for (const char* folder : {"/originals", "/thumbnails"})
        ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(dir.path() + folder).constData(), IN_DELETE), 0);
      // A new process of this binary, not a fork of this threaded one.
      QProcess child;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert("NIMBO_HISTORY_CHILD_DIR", dir.path());
      env.insert("NIMBO_HISTORY_CHILD", what);
      child.setProcessEnvironment(env);
      child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
      child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=CaptureHistoryChild.*"});
      ASSERT_TRUE(child.waitForStarted());
      pollfd first{watch, POLLIN, 0};
      const int deleted = ::poll(&first, 1, 30000);
      ::kill(pid_t(child.processId()), SIGKILL);
      child.waitForFinished();
      ::close(watch);
      ASSERT_EQ(deleted, 1) << what << ": nothing was deleted";
      const std::optional<std::vector<CaptureItem>> index = decodeHistory(readAll(dir.path() + "/history.json"));
      ASSERT_TRUE(index) << what;
      for (const CaptureItem& item : *index) {
        EXPECT_TRUE(QFile::exists(dir.path() + "/originals/" + item.id + ".png")) << what << ", round " << round;
        EXPECT_TRUE(QFile::exists(dir.path() + "/thumbnails/" + item.id + ".png")) << what << ", round " << round;
      }
    }
  }
}

}  // namespace
}  // namespace nimbo

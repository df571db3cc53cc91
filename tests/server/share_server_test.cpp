// nimbo-share-server driven over HTTP: the answers a client relies on. Hostile clients at scale are attack_test.py's.
#include <atomic>
#include <set>

#include "server_harness.h"

using namespace nimbo::servertest;

namespace {

TEST(ShareServerTest, TokensAreLongRandomAndOnlyTheirHashIsStored) {
  Server s;
  const std::string a = s.token(), b = s.token();
  EXPECT_TRUE(std::regex_match(a, std::regex("[A-Za-z0-9_-]{22,}"))) << a;  // 128 bits or more, URL-safe base64
  EXPECT_NE(a, b);
  EXPECT_EQ(readFile(s.dir / "share.db").find(a), std::string::npos);
}

TEST(ShareServerTest, RefusedUploadsAnswerWhyAndLeaveNothing) {
  Server s({"--max-image-bytes", "5000", "--max-video-bytes", "100000"});
  const std::string t = s.token();
  const auto image = [&](const httplib::Headers& h, const std::string& png) {
    return status(s.client().Post("/api/upload", h, png, "image/png"));
  };
  EXPECT_EQ(image({}, pngBytes(100, 1)), 401) << "no token";
  EXPECT_EQ(image(Server::bearer(t), "GIF89a-not-a-png"), 415) << "not a PNG";
  EXPECT_EQ(image(Server::bearer(t), pngBytes(9000, 2)), 413) << "image too large";
  EXPECT_EQ(status(s.client().Put(s.slot(t).upload, mp4Bytes(200000), "video/mp4")), 413) << "video too large";
  for (const char* folder : {"images", "videos", "incoming"}) EXPECT_EQ(filesIn(s.dir / folder), 0u) << folder;
}

TEST(ShareServerTest, TwoHundredConcurrentUploadsAreEachStoredOnceAndIntact) {
  Server s;
  const std::string t = s.token();
  constexpr int kUploads = 200;
  std::vector<std::string> urls(kUploads);
  std::vector<std::thread> clients;
  for (int i = 0; i < kUploads; ++i)
    clients.emplace_back([&, i] {
      auto r = s.client().Post("/api/upload", Server::bearer(t), pngBytes(20000 + i, 100 + i), "image/png");
      if (status(r) == 201) urls[i] = field(r->body, "url");
    });
  for (auto& th : clients) th.join();
  EXPECT_EQ(filesIn(s.dir / "images"), size_t(kUploads));
  for (int i = 0; i < kUploads; ++i) {
    ASSERT_FALSE(urls[i].empty()) << "upload " << i << " was not stored";
    auto r = s.client().Get(s.pathOf(urls[i]) + ".png");
    ASSERT_TRUE(r && r->body == pngBytes(20000 + i, 100 + i)) << i;
  }
  EXPECT_EQ(std::set<std::string>(urls.begin(), urls.end()).size(), size_t(kUploads));
}

// An address gets 20 registrations at once, then one every three minutes.
TEST(ShareServerTest, AnAddressThatRegistersTooOftenIsHeldBack) {
  Server s;
  std::map<int, int> answers;
  std::string retryAfter;
  for (int i = 0; i < 25; ++i) {
    auto r = s.client().Post("/api/register");
    ++answers[status(r)];
    if (r && r->status == 429) retryAfter = r->get_header_value("Retry-After");
  }
  EXPECT_EQ(answers, (std::map<int, int>{{200, 20}, {429, 5}}));
  EXPECT_EQ(retryAfter, "180");
}

// Thirty wrong tokens get 401, then 429 whatever the token until the bucket refills, one a second. Guesses sent
// together on the last try used to all pass when each looked before another took.
TEST(ShareServerTest, GuessesSentTogetherCannotShareTheLastTryOfTheBucket) {
  Server s;
  const auto create = [&](const std::string& token) {
    return status(s.client().Post("/api/recordings/create", Server::bearer(token), "", "text/plain"));
  };
  const std::string good = s.token();
  for (int i = 0; i < 29; ++i) ASSERT_EQ(create("guess"), 401);
  std::atomic<int> unauthorised{0}, held{0};
  std::vector<std::thread> guessers;
  for (int i = 0; i < 32; ++i)
    guessers.emplace_back([&, i] {
      const int got = create("guess" + std::to_string(i));
      unauthorised += got == 401;
      held += got == 429;
    });
  for (auto& g : guessers) g.join();
  EXPECT_GE(unauthorised.load(), 1);
  EXPECT_LE(unauthorised.load(), 2);  // two if the bucket refilled meanwhile
  EXPECT_EQ(unauthorised + held, 32);
  std::this_thread::sleep_for(1100ms);
  EXPECT_EQ(create(good), 201);
}

// A SIGTERM at any moment of the start, up to the port file appearing, ends the server (one that came between the
// handler being set and the accept loop running used to be lost).
TEST(ShareServerTest, ATermSignalAtAnyMomentOfTheStartEndsTheServer) {
  using Clock = std::chrono::steady_clock;
  TempDir tmp;
  const fs::path portFile = tmp.path / "port";
  const int rounds = 40;
  Clock::duration start{};  // how long a start takes here, measured in round -1
  for (int round = -1; round <= rounds; ++round) {
    fs::remove(portFile);
    const auto spawned = Clock::now();
    const pid_t pid = spawn({NIMBO_SHARE_SERVER, "--listen", "127.0.0.1:0", "--data", (tmp.path / "data").string(),
                             "--port-file", portFile.string()});
    ASSERT_GT(pid, 0);
    if (round < 0) {
      while (!fs::exists(portFile) && Clock::now() - spawned < 10s) std::this_thread::sleep_for(100us);
      start = Clock::now() - spawned;
      ASSERT_TRUE(fs::exists(portFile));
    }
    std::this_thread::sleep_until(spawned + start * std::max(round, 0) / rounds);
    kill(pid, SIGTERM);
    int st = 0;
    pid_t done = 0;
    for (int i = 0; i < 1000 && (done = waitpid(pid, &st, WNOHANG)) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (done == 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    ASSERT_EQ(done, pid) << "still running 10 s after a SIGTERM sent " << round << "/" << rounds << " into its start";
    // Before its main() runs the signal's default action ends it; after, it exits cleanly.
    EXPECT_TRUE((WIFEXITED(st) && WEXITSTATUS(st) == 0) || (WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM))
        << "round " << round << ", status " << st;
  }
}

}  // namespace

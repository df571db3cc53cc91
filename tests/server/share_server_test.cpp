// nimbo-share-server as a process on loopback, driven over HTTP. What an
// attacker sends (wrong tokens by the thousand, forged, expired and replayed
// upload links, paths out of the shares, cut-off bodies, slow and oversized
// heads) is attack_test.py's; here the answers a client relies on.
#include <atomic>
#include <set>

#include "server_harness.h"

using namespace nimbo::servertest;

namespace {

TEST(ShareServerTest, TokensAreLongRandomAndOnlyTheirHashIsStored) {
  Server s;
  const std::string a = s.token(), b = s.token();
  EXPECT_GE(a.size(), 22u);  // at least 128 bits in URL-safe base64
  EXPECT_NE(a, b);
  EXPECT_TRUE(std::regex_match(a, std::regex("[A-Za-z0-9_-]+")));
  EXPECT_EQ(readFile(s.dir / "share.db").find(a), std::string::npos);
}

TEST(ShareServerTest, RefusedUploadsAnswerWhyAndLeaveNothing) {
  Server s({"--max-image-bytes", "5000", "--max-video-bytes", "100000"});
  const std::string t = s.token();
  auto expect = [](const httplib::Result& r, int want, const char* what) { EXPECT_EQ(status(r), want) << what; };
  expect(s.client().Post("/api/upload", pngBytes(100, 1), "image/png"), 401, "no token");
  expect(s.client().Post("/api/upload", Server::bearer(t), std::string("GIF89a-not-a-png"), "image/png"), 415,
         "not a PNG");
  expect(s.client().Post("/api/upload", Server::bearer(t), pngBytes(9000, 2), "image/png"), 413, "image too large");
  auto slot = s.client().Post("/api/recordings/create", Server::bearer(t), "", "application/json");
  ASSERT_EQ(status(slot), 201);
  expect(s.client().Put(s.pathOf(field(slot->body, "uploadUrl")), mp4Bytes(200000), "video/mp4"), 413,
         "video too large");
  EXPECT_EQ(filesIn(s.dir / "images"), 0u);
  EXPECT_EQ(filesIn(s.dir / "videos"), 0u);
  EXPECT_EQ(filesIn(s.dir / "incoming"), 0u);
}

TEST(ShareServerTest, TwoHundredConcurrentUploadsAreEachStoredOnceAndIntact) {
  Server s;
  const std::string t = s.token();
  constexpr int kUploads = 200;
  std::vector<std::string> urls(kUploads);
  std::vector<std::thread> clients;
  std::atomic<int> created{0};
  for (int i = 0; i < kUploads; ++i)
    clients.emplace_back([&, i] {
      auto r = s.client().Post("/api/upload", Server::bearer(t), pngBytes(20000 + i, 100 + i), "image/png");
      if (!r) std::fprintf(stderr, "upload %d: %s\n", i, httplib::to_string(r.error()).c_str());
      else if (r->status != 201) std::fprintf(stderr, "upload %d: status %d\n", i, r->status);
      if (r && r->status == 201) {
        urls[i] = field(r->body, "url");
        ++created;
      }
    });
  for (auto& th : clients) th.join();
  EXPECT_EQ(created.load(), kUploads);
  EXPECT_EQ(filesIn(s.dir / "images"), size_t(kUploads));
  std::set<std::string> distinct(urls.begin(), urls.end());
  EXPECT_EQ(distinct.size(), size_t(kUploads));
  for (int i = 0; i < kUploads; ++i) {
    auto r = s.client().Get(s.pathOf(urls[i]) + ".png");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->body, pngBytes(20000 + i, 100 + i)) << i;
  }
}

// An address gets 20 registrations at once, then one every three minutes.
TEST(ShareServerTest, AnAddressThatRegistersTooOftenIsHeldBack) {
  Server s;
  int registered = 0, held = 0;
  std::string retryAfter;
  for (int i = 0; i < 25; ++i) {
    auto r = s.client().Post("/api/register");
    ASSERT_TRUE(r);
    registered += r->status == 200;
    if (r->status == 429) ++held, retryAfter = r->get_header_value("Retry-After");
  }
  EXPECT_EQ(registered, 20);
  EXPECT_EQ(held, 5);
  EXPECT_EQ(retryAfter, "180");
}

// Thirty wrong tokens are answered 401, then 429 whatever the token until the
// bucket refills, one a second (attack_test.py holds the right token back too).
TEST(ShareServerTest, GuessesSentTogetherCannotShareTheLastTryOfTheBucket) {
  Server s;
  const std::string good = s.token();
  for (int i = 0; i < 29; ++i)
    ASSERT_EQ(status(s.client().Post("/api/recordings/create", Server::bearer("guess"), "", "text/plain")), 401);
  // One try is left: of 32 guesses at once, one gets it (two if the bucket
  // refilled meanwhile); before, every guess that looked before another took
  // was let through.
  std::atomic<int> unauthorised{0}, held{0};
  std::vector<std::thread> guessers;
  for (int i = 0; i < 32; ++i)
    guessers.emplace_back([&, i] {
      auto r = s.client().Post("/api/recordings/create", Server::bearer("guess" + std::to_string(i)), "", "text/plain");
      if (r && r->status == 401) ++unauthorised;
      if (r && r->status == 429) ++held;
    });
  for (auto& g : guessers) g.join();
  EXPECT_GE(unauthorised.load(), 1);
  EXPECT_LE(unauthorised.load(), 2);
  EXPECT_EQ(unauthorised + held, 32);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(status(s.client().Post("/api/recordings/create", Server::bearer(good), "", "text/plain")), 201);
}

pid_t spawnServer(const fs::path& dir, const fs::path& portFile) {
  return spawn({NIMBO_SHARE_SERVER, "--listen", "127.0.0.1:0", "--data", dir.string(), "--port-file", portFile.string()});
}

// A SIGTERM at any moment of the server's start ends it: sent at times
// spread over the start, up to the port file appearing (a stop that came
// between the handler being set and the accept loop running used to be
// lost, and the server ran on).
TEST(ShareServerTest, ATermSignalAtAnyMomentOfTheStartEndsTheServer) {
  using Clock = std::chrono::steady_clock;
  const fs::path dir = fs::temp_directory_path() / ("nimbo-server-early-stop-" + std::to_string(getpid()));
  const fs::path portFile = dir.string() + ".port";
  // How long a start takes here, to the port file.
  fs::remove_all(dir);
  fs::remove(portFile);
  const auto t0 = Clock::now();
  pid_t pid = spawnServer(dir, portFile);
  ASSERT_GT(pid, 0);
  while (!fs::exists(portFile) && Clock::now() - t0 < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  const auto start = Clock::now() - t0;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(fs::exists(portFile));

  const int rounds = 40;
  for (int round = 0; round <= rounds; ++round) {
    fs::remove(portFile);
    const auto spawned = Clock::now();
    pid = spawnServer(dir, portFile);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_until(spawned + start * round / rounds);
    kill(pid, SIGTERM);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1000 && (done = waitpid(pid, &status, WNOHANG)) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    ASSERT_EQ(done, pid) << "still running 10 s after a SIGTERM sent " << round << "/" << rounds << " into its start";
    // Before its main() runs the signal's default action ends it; after, it
    // stops and exits cleanly.
    EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) || (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM))
        << "round " << round << ", status " << status;
  }
  fs::remove(portFile);
  fs::remove_all(dir);
}

}  // namespace

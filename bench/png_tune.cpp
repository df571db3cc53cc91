// Measures the PNG writer's settings on real screenshots: size and time for
// each filter choice, zlib level and strategy, beside the input file's own
// size (for screens kept by bench/png_varied.sh, that is scrot's file).
//   build/png_tune [--threads N] [--runs N] [--only FILTER:LEVEL:STRATEGY]
//                  [--photo-below N] [--photo-matches-below N] [--no-verify] shot.png…
// Times are the best of RUNS encodes (default 3) with N threads (default 1,
// so that the figures are the work done, not the cores free). --only measures
// one setting, e.g. `--only up:1:lz`, `--only up/paeth:1:auto` or
// `--only up/paeth:1:auto-fast` (our own LZ77 on interface bands), for
// instruction counts under callgrind. --photo-below sets the automatic
// strategy's threshold (share of bytes equal to the byte above or on the
// left, in 1/256), --photo-matches-below its second one (share of pixel
// pairs met earlier in a sampled row, in 1/256).
// Each output is decoded and compared with the input unless --no-verify
// (for callgrind, whose counts should be the encoder's alone).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/png_writer.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int threads = 1, runs = 3, photoBelow = -1, photoMatchesBelow = -1;
  bool verify = true;
  std::string only;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) threads = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
    else if (!std::strcmp(argv[i], "--photo-below") && i + 1 < argc) photoBelow = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--photo-matches-below") && i + 1 < argc)
      photoMatchesBelow = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--no-verify")) verify = false;
    else files.push_back(argv[i]);
  }
  if (files.empty()) {
    std::fprintf(stderr,
                 "usage: png_tune [--threads N] [--runs N] [--only FILTER:LEVEL:STRATEGY] [--photo-below N] "
                 "[--photo-matches-below N] [--no-verify] IMAGE…\n");
    return 2;
  }
  const char* names[] = {"none", "sub", "up", "average", "paeth", "adaptive"};
  const char* strategies[] = {"lz", "rle", "huffman", "auto", "fast"};
  using F = nimbo::png::Filter;
  using S = nimbo::png::Strategy;
  struct Config {
    F filter;
    int level;
    S strategy;
    F photoFilter = F::paeth;
    S interfaceStrategy = S::lz;  // automatic's interface bands
  };
  const std::vector<Config> configs = {
      {F::up, 1, S::rle},          {F::up, 1, S::lz},           {F::adaptive, 1, S::lz},
      {F::adaptive, 2, S::lz},     {F::adaptive, 4, S::lz},     {F::paeth, 1, S::lz},
      {F::up, 1, S::huffman},      {F::sub, 1, S::huffman},     {F::average, 1, S::huffman},
      {F::paeth, 1, S::huffman},   {F::adaptive, 1, S::huffman}, {F::up, 1, S::automatic, F::sub},
      {F::up, 1, S::automatic, F::average}, {F::up, 1, S::automatic, F::paeth},
      {F::up, 1, S::automatic, F::adaptive},
      {F::up, 1, S::fast},         {F::adaptive, 1, S::fast},   {F::paeth, 1, S::fast},
      {F::up, 1, S::automatic, F::paeth, S::fast}, {F::adaptive, 1, S::automatic, F::paeth, S::fast},
  };
  const nimbo::png::Options defaults;
  for (const char* file : files) {
    const QImage img = QImage(file).convertToFormat(QImage::Format_RGB32);
    if (img.isNull()) {
      std::fprintf(stderr, "png_tune: cannot read %s\n", file);
      return 1;
    }
    const long long given = QFileInfo(file).size();
    std::printf("%s %dx%d, file %lld bytes\n", file, img.width(), img.height(), given);
    std::printf("  %-14s %5s %9s %9s %12s %8s\n", "filter", "level", "strategy", "ms(best)", "bytes", "vs file");
    auto measure = [&](nimbo::png::Options o, const std::string& filter, const std::string& strategy,
                       const char* mark) {
      double best = 1e9;
      std::vector<uint8_t> out;
      for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        out = nimbo::png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, o);
        best = std::min(best, t.nsecsElapsed() / 1e6);
      }
      const size_t bytes = out.size();
      // Every setting must give back the same pixels.
      if (verify && QImage::fromData(out.data(), int(out.size()), "PNG").convertToFormat(QImage::Format_RGB32) != img) {
        std::fprintf(stderr, "png_tune: %s with %s does not decode to the same pixels\n", file, filter.c_str());
        std::exit(1);
      }
      std::printf("  %-14s %5d %9s %9.1f %12zu %8.3f%s\n", filter.c_str(), o.level, strategy.c_str(), best,
                  bytes, double(bytes) / double(given), mark);
    };
    for (const Config& c : configs) {
      nimbo::png::Options o;
      o.filter = c.filter;
      o.photoFilter = c.photoFilter;
      o.level = c.level;
      o.strategy = c.strategy;
      o.interfaceStrategy = c.interfaceStrategy;
      o.threads = threads;
      if (photoBelow >= 0) o.photoBelow = photoBelow;
      if (photoMatchesBelow >= 0) o.photoMatchesBelow = photoMatchesBelow;
      std::string filter = names[int(c.filter)];
      if (c.strategy == S::automatic) filter += std::string("/") + names[int(c.photoFilter)];
      std::string strategy = strategies[int(c.strategy)];
      if (c.strategy == S::automatic && c.interfaceStrategy != S::lz)
        strategy += std::string("-") + strategies[int(c.interfaceStrategy)];
      const std::string key = filter + ":" + std::to_string(c.level) + ":" + strategy;
      if (!only.empty() && key != only) continue;
      const bool isDefault = c.filter == defaults.filter && c.level == defaults.level &&
                             c.strategy == defaults.strategy &&
                             (c.strategy != S::automatic || (c.photoFilter == defaults.photoFilter &&
                                                              c.interfaceStrategy == defaults.interfaceStrategy));
      measure(o, filter, strategy, isDefault ? "  (default)" : "");
    }
  }
  return 0;
}

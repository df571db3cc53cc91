// Measures the PNG writer's settings on real screenshots: size and time for
// each filter choice, zlib level and strategy, beside the input file's own
// size (for screens kept by bench/png_varied.sh, that is scrot's file).
//   build/png_tune [--threads N] [--runs N] [--only FILTER:LEVEL:RLE] shot.png…
// Times are the best of RUNS encodes (default 3) with N threads (default 1,
// so that the figures are the work done, not the cores free). --only measures
// one setting, e.g. `--only up:1:no`, for instruction counts under callgrind.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture/png_writer.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int threads = 1, runs = 3;
  std::string only;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) threads = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
    else files.push_back(argv[i]);
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: png_tune [--threads N] [--runs N] IMAGE…\n");
    return 2;
  }
  const char* names[] = {"none", "sub", "up", "average", "paeth", "adaptive"};
  struct Config {
    nimbo::png::Filter filter;
    int level;
    bool rle;
  };
  using F = nimbo::png::Filter;
  const std::vector<Config> configs = {
      {F::up, 1, true},       {F::paeth, 1, true},     {F::adaptive, 1, true}, {F::up, 1, false},
      {F::adaptive, 1, false}, {F::adaptive, 2, false}, {F::adaptive, 3, false}, {F::adaptive, 4, false},
      {F::adaptive, 6, false}, {F::paeth, 1, false},
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
    std::printf("  %-9s %5s %6s %9s %12s %8s\n", "filter", "level", "rle", "ms(best)", "bytes", "vs file");
    auto measure = [&](nimbo::png::Options o, const char* mark) {
      double best = 1e9;
      size_t bytes = 0;
      for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        auto out = nimbo::png::encode(img.constBits(), img.width(), img.height(), int(img.bytesPerLine()), true, o);
        best = std::min(best, t.nsecsElapsed() / 1e6);
        bytes = out.size();
      }
      std::printf("  %-9s %5d %6s %9.1f %12zu %8.3f%s\n", names[int(o.filter)], o.level,
                  o.rle ? "yes" : "no", best,
                  bytes, double(bytes) / double(given), mark);
    };
    for (const Config& c : configs) {
      nimbo::png::Options o;
      o.filter = c.filter;
      o.level = c.level;
      o.rle = c.rle;
      o.threads = threads;
      const std::string key =
          std::string(names[int(c.filter)]) + ":" + std::to_string(c.level) + ":" +
          (c.rle ? "yes" : "no");
      if (!only.empty() && key != only) continue;
      const bool isDefault = c.filter == defaults.filter && c.level == defaults.level && c.rle == defaults.rle;
      measure(o, isDefault ? "  (default)" : "");
    }
  }
  return 0;
}

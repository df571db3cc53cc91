#pragma once
// What shows that a recording is coming or running: the 3-2-1 countdown,
// the floating pill with the time, the level bars and Stop, and the bars
// themselves (also used by the recorder panel).
#include <QColor>
#include <QVariantAnimation>
#include <QWidget>

#include <array>
#include <functional>

class QScreen;

namespace nimbo {

// Five bars of growing height, lit from the left as the level passes each
// threshold.
class LevelBars : public QWidget {
  Q_OBJECT
 public:
  static constexpr std::array<float, 5> kThresholds{0.06f, 0.18f, 0.34f, 0.52f, 0.72f};
  LevelBars(QColor activeColor, qreal barWidth, qreal barSpacing, qreal maxHeight, QWidget* parent = nullptr);
  void setLevel(float level);
  // The level the bars are heading for (they get there within 80 ms).
  float level() const { return target_; }
  // How many bars a level lights.
  static int litBars(float level);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QColor active_;
  qreal barWidth_, barSpacing_, maxHeight_;
  float level_ = 0, target_ = 0;
  QVariantAnimation animation_;
};

namespace RecordingPill {
// Shows the pill 12 points below the top of the screen's work area, centred.
// `made` learns the pill's window before it is shown.
void show(QScreen* screen, std::function<void(quint64 windowID)> made = {});
void hide();
QWidget* panel();
}  // namespace RecordingPill

namespace CountdownOverlay {
// Counts `seconds` down in the middle of `screen`, then calls `completion`,
// unless cancelled or superseded by another run first. The number is
// cleared (on GNOME's Wayland session, the window hidden) a moment before
// the end (ScreenStreamService::kFreshMs), so the display server has shown
// the screen without it by the time a recording's first picture is taken (a
// compositor puts our windows in a screen cast, and a stream connected
// during the countdown starts with a picture that came after it went).
void run(int seconds, QScreen* screen, std::function<void()> completion);
void cancel();
bool isShowing();
}  // namespace CountdownOverlay

}  // namespace nimbo

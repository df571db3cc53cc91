#include "recording/recorder_panel.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>
#include <memory>

#include "core/seams.h"
#include "platform/platform.h"
#include "recording/panel_mic_monitor.h"
#include "recording/recording_flow.h"
#include "recording/recording_indicators.h"
#include "recording/screen_recorder.h"
#include "recording/window_picker.h"
#include "ui/design_system.h"
#include "util/preferences.h"

namespace nimbo {
namespace RecorderPanel {

QString shareHost() {
  const QUrl endpoint(Preferences::stringValue(Preferences::kUploadEndpoint).trimmed());
  const QString host = endpoint.host();
  return host.isEmpty() ? QStringLiteral("127.0.0.1") : host;
}

bool startBlocked(const RecorderConfig& c) {
  return (c.target == RecordTarget::window && !c.windowID) || (c.target == RecordTarget::region && !c.region);
}

QString caption(const RecorderConfig& c) {
  if (startBlocked(c))
    return c.target == RecordTarget::window ? QStringLiteral("Pick a window to record")
                                            : QStringLiteral("Drag a region to record");
  QString prefix;
  switch (c.target) {
    case RecordTarget::screen: prefix = QStringLiteral("3-second countdown → records screen → "); break;
    case RecordTarget::window: prefix = QStringLiteral("3-second countdown → records the window → "); break;
    case RecordTarget::region: prefix = QStringLiteral("3-second countdown → records the region → "); break;
  }
  if (c.destination == RecordingDestination::localFile) return prefix + "saves the file (video on your clipboard)";
  return prefix + shareHost() + " link on your clipboard";
}

namespace {

QIcon themed(const char* name) { return QIcon::fromTheme(QString::fromLatin1(name)); }

// A selectable tile or segment: a label with an icon, lit when selected.
class ChoiceButton : public QPushButton {
 public:
  ChoiceButton(const QString& label, const char* icon, QWidget* parent) : QPushButton(themed(icon), label, parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFont(nimboFont(FontFamily::interface, 12, QFont::Medium));
    setMinimumHeight(34);
    setStyleSheet(QStringLiteral(
                      "QPushButton { color: %1; background: %2; border: 1px solid %3; border-radius: 8px; padding: 6px; }"
                      "QPushButton:checked { color: %4; background: %5; border-color: %6; }"
                      "QPushButton:disabled { color: %7; }")
                      .arg(NimboTokens::ink1.name(), NimboTokens::bg2.name(), NimboTokens::line.name(),
                           NimboTokens::ink0.name(), NimboTokens::bg3.name(), NimboTokens::accent.name(),
                           NimboTokens::ink3.name()));
  }
};

QLabel* sectionTitle(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setFont(nimboFont(FontFamily::mono, 10, QFont::Medium));
  l->setStyleSheet(QStringLiteral("color: %1; letter-spacing: 1px;").arg(NimboTokens::ink3.name()));
  return l;
}

QLabel* plainLabel(const QString& text, QWidget* parent, const QColor& color = NimboTokens::ink1, qreal size = 12) {
  auto* l = new QLabel(text, parent);
  l->setFont(nimboFont(FontFamily::interface, size, QFont::Normal));
  l->setStyleSheet(QStringLiteral("color: %1").arg(color.name()));
  l->setWordWrap(true);
  return l;
}

class PanelWindow : public QWidget {
 public:
  explicit PanelWindow(RecorderConfig config)
      : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), config_(std::move(config)) {
    setWindowTitle(QStringLiteral("New Recording"));
    setObjectName(QStringLiteral("NimboRecorderPanel"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(380, 560);
    // The window choice is never restored from the settings.
    config_.windowID.reset();
    build();
    micInputs_ = MicrophoneCapture::availableInputs();
    QObject::connect(&monitor_, &PanelMicMonitor::changed, this, [this] { refreshMic(); });
    if (config_.mic) monitor_.start(config_.micDeviceID);
    refresh();
  }
  ~PanelWindow() override { monitor_.stop(); }

  const RecorderConfig& config() const { return config_; }
  void setDestination(RecordingDestination d) {
    config_.destination = d;
    refresh();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(NimboTokens::line, 1));
    p.setBrush(NimboTokens::bg1);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 14, 14);
  }
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Escape) return RecorderPanel::cancel();
    // Keyboard first: Return starts, as the Start button would.
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && !(e->modifiers() & ~Qt::KeypadModifier))
      return startPressed();
    QWidget::keyPressEvent(e);
  }
  void mousePressEvent(QMouseEvent* e) override { drag_.press(this, e->globalPosition()); }
  void mouseMoveEvent(QMouseEvent* e) override { drag_.drag(this, e->globalPosition(), e->buttons()); }

 private:
  void build() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 16, 20, 18);
    column->setSpacing(10);

    auto* header = new QHBoxLayout;
    auto* title = new QLabel(QStringLiteral("New Recording"), this);
    title->setFont(nimboFont(FontFamily::display, 18, QFont::DemiBold));
    title->setStyleSheet(QStringLiteral("color: %1").arg(NimboTokens::ink0.name()));
    auto* cancel = new NimboButton(QStringLiteral("cancel"), NimboButtonKind::subtle, NimboButtonSize::sm,
                                   [] { RecorderPanel::cancel(); }, this);
    cancel->setObjectName(QStringLiteral("NimboPanelCancel"));
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(cancel);
    column->addLayout(header);

    column->addWidget(sectionTitle(QStringLiteral("CAPTURE"), this));
    auto* tiles = new QHBoxLayout;
    screenTile_ = new ChoiceButton(QStringLiteral("Screen"), "video-display", this);
    windowTile_ = new ChoiceButton(QStringLiteral("Window"), "window-new", this);
    regionTile_ = new ChoiceButton(QStringLiteral("Region"), "zoom-fit-best", this);
    for (auto* t : {screenTile_, windowTile_, regionTile_}) tiles->addWidget(t);
    column->addLayout(tiles);
    QObject::connect(screenTile_, &QPushButton::clicked, this, [this] {
      config_.target = RecordTarget::screen;
      refresh();
    });
    QObject::connect(windowTile_, &QPushButton::clicked, this, [this] { pickWindow(); });
    QObject::connect(regionTile_, &QPushButton::clicked, this, [this] { dragRegion(); });
    auto* targetRow = new QHBoxLayout;
    targetLine_ = plainLabel({}, this, NimboTokens::ink2);
    change_ = new NimboButton(QStringLiteral("Change"), NimboButtonKind::subtle, NimboButtonSize::sm, [this] {
      if (config_.target == RecordTarget::window) pickWindow();
      else dragRegion();
    }, this);
    targetRow->addWidget(targetLine_, 1);
    targetRow->addWidget(change_);
    column->addLayout(targetRow);

    column->addWidget(sectionTitle(QStringLiteral("AUDIO"), this));
    auto* chips = new QHBoxLayout;
    systemChip_ = new ChoiceButton(QStringLiteral("System"), "audio-volume-high", this);
    micChip_ = new ChoiceButton(QStringLiteral("Microphone"), "audio-input-microphone", this);
    chips->addWidget(systemChip_);
    chips->addWidget(micChip_);
    column->addLayout(chips);
    QObject::connect(systemChip_, &QPushButton::clicked, this, [this](bool on) {
      config_.systemAudio = on;
      refresh();
    });
    QObject::connect(micChip_, &QPushButton::clicked, this, [this](bool on) {
      config_.mic = on;
      if (on) monitor_.start(config_.micDeviceID);
      else monitor_.stop();
      refresh();
    });
    silentWarning_ = plainLabel(QStringLiteral("Both inputs off — the recording will be silent."), this,
                                NimboTokens::red);
    column->addWidget(silentWarning_);
    micRow_ = new QWidget(this);
    auto* micLayout = new QHBoxLayout(micRow_);
    micLayout->setContentsMargins(0, 0, 0, 0);
    micMenuButton_ = new QPushButton(micRow_);
    micMenuButton_->setFont(nimboFont(FontFamily::interface, 11, QFont::Normal));
    micMenuButton_->setStyleSheet(
        QStringLiteral("QPushButton { color: %1; background: %2; border: 1px solid %3; border-radius: 6px; "
                       "padding: 4px 8px; text-align: left; }")
            .arg(NimboTokens::ink1.name(), NimboTokens::bg2.name(), NimboTokens::line.name()));
    QObject::connect(micMenuButton_, &QPushButton::clicked, this, [this] { chooseMicrophone(); });
    micBars_ = new LevelBars(NimboTokens::accent, 3, 2, 14, micRow_);
    micStatus_ = plainLabel({}, micRow_, NimboTokens::ink2, 11);
    micLayout->addWidget(micMenuButton_, 1);
    micLayout->addWidget(micBars_);
    micLayout->addWidget(micStatus_);
    column->addWidget(micRow_);

    column->addWidget(sectionTitle(QStringLiteral("CAMERA"), this));
    auto* cameraRow = new QHBoxLayout;
    auto* cameraLabel = new QLabel(this);
    cameraLabel->setPixmap(themed("camera-web").pixmap(16, 16));
    auto* cameraTitle = plainLabel(QStringLiteral("Camera bubble"), this, NimboTokens::ink0);
    cameraDetail_ = plainLabel({}, this, NimboTokens::ink2, 11);
    cameraToggle_ = new NimboToggle(this);
    cameraToggle_->setObjectName(QStringLiteral("NimboCameraToggle"));
    auto* cameraText = new QVBoxLayout;
    cameraText->addWidget(cameraTitle);
    cameraText->addWidget(cameraDetail_);
    cameraRow->addWidget(cameraLabel);
    cameraRow->addLayout(cameraText, 1);
    cameraRow->addWidget(cameraToggle_);
    column->addLayout(cameraRow);
    QObject::connect(cameraToggle_, &QAbstractButton::toggled, this, [this](bool on) {
      if (on == config_.camera) return;
      config_.camera = on;
      refresh();
      RecordingFlow::cameraToggled(on);
    });

    column->addWidget(sectionTitle(QStringLiteral("AFTER RECORDING"), this));
    auto* destinations = new QHBoxLayout;
    shareButton_ = new ChoiceButton(QStringLiteral("Share link"), "insert-link", this);
    fileButton_ = new ChoiceButton(QStringLiteral("Save to file"), "document-save", this);
    destinations->addWidget(shareButton_);
    destinations->addWidget(fileButton_);
    column->addLayout(destinations);
    QObject::connect(shareButton_, &QPushButton::clicked, this, [this] { setDestination(RecordingDestination::shareLink); });
    QObject::connect(fileButton_, &QPushButton::clicked, this, [this] { setDestination(RecordingDestination::localFile); });

    column->addStretch(1);
    caption_ = plainLabel({}, this, NimboTokens::ink2, 11);
    caption_->setObjectName(QStringLiteral("NimboPanelCaption"));
    column->addWidget(caption_);
    start_ = new NimboButton(QStringLiteral("Start Recording"), NimboButtonKind::primary, NimboButtonSize::lg,
                             [this] { startPressed(); }, this, themed("media-record"));
    start_->setObjectName(QStringLiteral("NimboPanelStart"));
    column->addWidget(start_);
  }

  // The desktop's chooser (Wayland) may not say which window it was.
  static QString windowLine(const WindowPicker::Choice& c) {
    if (c.title.isEmpty()) return QStringLiteral("The window chosen in the desktop's dialog");
    return c.appName.isEmpty() ? c.title : c.title + " — " + c.appName;
  }

  void refresh() {
    screenTile_->setChecked(config_.target == RecordTarget::screen);
    windowTile_->setChecked(config_.target == RecordTarget::window);
    regionTile_->setChecked(config_.target == RecordTarget::region);
    const bool chooser = config_.target != RecordTarget::screen;
    targetLine_->setVisible(chooser);
    change_->setVisible(chooser);
    if (config_.target == RecordTarget::window)
      targetLine_->setText(picked_ ? windowLine(*picked_) : QStringLiteral("No window picked — click to choose"));
    if (config_.target == RecordTarget::region)
      targetLine_->setText(config_.region ? QStringLiteral("%1 × %2")
                                                .arg(qint64(config_.region->width()))
                                                .arg(qint64(config_.region->height()))
                                          : QStringLiteral("No region dragged — click to choose"));
    systemChip_->setChecked(config_.systemAudio);
    systemChip_->setIcon(themed(config_.systemAudio ? "audio-volume-high" : "audio-volume-muted"));
    micChip_->setChecked(config_.mic);
    micChip_->setIcon(themed(config_.mic ? "audio-input-microphone" : "microphone-sensitivity-muted"));
    silentWarning_->setVisible(!config_.systemAudio && !config_.mic);
    micRow_->setVisible(config_.mic);
    cameraToggle_->setChecked(config_.camera);
    cameraDetail_->setText(config_.camera ? QStringLiteral("On — see yourself bottom left") : QStringLiteral("Off"));
    shareButton_->setChecked(config_.destination == RecordingDestination::shareLink);
    fileButton_->setChecked(config_.destination == RecordingDestination::localFile);
    caption_->setText(caption(config_));
    start_->setEnabled(!startBlocked(config_));
    refreshMic();
  }

  void refreshMic() {
    QString name;
    for (const MicInput& m : micInputs_)
      if (m.id == config_.micDeviceID.value_or(QString())) name = m.name;
    if (name.isEmpty() && !micInputs_.empty()) name = micInputs_.front().name;
    micMenuButton_->setText(name);
    micBars_->setLevel(monitor_.level());
    if (!monitor_.active()) micStatus_->setText(QStringLiteral("Mic access will be requested when you start"));
    else if (monitor_.level() > 0.05f) micStatus_->setText(QStringLiteral("Mic is live"));
    else micStatus_->setText(QStringLiteral("Say something to test…"));
  }

  void chooseMicrophone() {
    QMenu menu(this);
    for (const MicInput& m : micInputs_) {
      QAction* a = menu.addAction(m.name);
      a->setCheckable(true);
      a->setChecked(m.id == config_.micDeviceID.value_or(QString()));
      QObject::connect(a, &QAction::triggered, this, [this, id = m.id] {
        if (id.isEmpty()) config_.micDeviceID.reset();
        else config_.micDeviceID = id;
        if (config_.mic) {
          monitor_.stop();
          monitor_.start(config_.micDeviceID);
        }
        refresh();
      });
    }
    menu.exec(micMenuButton_->mapToGlobal(QPoint(0, micMenuButton_->height())));
  }

  void comeBack() {
    show();
    raise();
    activateWindow();
    refresh();
  }

  void pickWindow() {
    hide();
    QPointer<PanelWindow> self(this);
    WindowPicker::pick([self](std::optional<WindowPicker::Choice> choice) {
      if (!self) return;
      if (choice) {
        self->config_.target = RecordTarget::window;
        self->config_.windowID = choice->windowID;
        self->picked_ = choice;
      } else if (self->config_.target != RecordTarget::window) {
        self->config_.target = RecordTarget::screen;
      }
      self->comeBack();
    });
  }

  void dragRegion() {
    hide();
    QPointer<PanelWindow> self(this);
    // The live screen, no frozen picture.
    seams().regionPresenter->present(platform().screens->list(), {}, [self](RegionSelection s) {
      if (!self) return;
      if (s.selected) {
        self->config_.target = RecordTarget::region;
        self->config_.region = s.rect;
      } else if (!(self->config_.target == RecordTarget::region && self->config_.region)) {
        self->config_.target = RecordTarget::screen;
      }
      self->comeBack();
    });
  }

  void startPressed() {
    if (startBlocked(config_)) return;
    const RecorderConfig config = config_;
    config.save();
    RecorderPanel::close();
    RecordingFlow::beginCountdown(config);
  }

  RecorderConfig config_;
  std::optional<WindowPicker::Choice> picked_;
  std::vector<MicInput> micInputs_;
  PanelMicMonitor monitor_;
  QPushButton *screenTile_, *windowTile_, *regionTile_, *systemChip_, *micChip_, *shareButton_, *fileButton_,
      *micMenuButton_;
  QLabel *targetLine_, *silentWarning_, *micStatus_, *cameraDetail_, *caption_;
  NimboButton *change_, *start_;
  QWidget* micRow_;
  LevelBars* micBars_;
  NimboToggle* cameraToggle_;
  BackgroundDrag drag_;
};

QPointer<PanelWindow> g_panel;

}  // namespace

void show(std::optional<RecordingDestination> preset) {
  if (g_panel) {
    // The edits in the open panel are kept.
    g_panel->show();
    g_panel->raise();
    g_panel->activateWindow();
    return;
  }
  RecorderConfig config = RecorderConfig::load();
  if (preset) config.destination = *preset;
  auto* w = new PanelWindow(config);
  // Under the pointer, else the main screen: centred, 40 points above centre.
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect visible = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
  w->move(visible.center().x() - 190, visible.center().y() - 280 - 40);
  g_panel = w;
  w->show();
  w->raise();
  w->activateWindow();
}

void cancel() {
  if (!RecordingFlow::recorder().isRecording()) RecordingFlow::stopCameraPreview();
  close();
}

void close() {
  if (g_panel) g_panel->close();
  g_panel = nullptr;
}

QWidget* panel() { return g_panel; }

}  // namespace RecorderPanel
}  // namespace nimbo

#pragma once
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>

#include <functional>

class QTimer;
#include <QWidget>

namespace nimbo {

struct ToastLayout {
  QSize panelSize;
  double visibleDuration = 0;  // seconds
  bool takesClicks = false;
};
ToastLayout toastLayout(bool success, bool hasAction, bool hasSecondaryAction);

// The one notification surface: a small panel at the bottom centre of the
// primary screen. Showing a toast replaces the one on screen at once.
class UploadToast : public QObject {
  Q_OBJECT
 public:
  using Action = std::function<void()>;
  static void show(const QString& message, bool success, const QString& actionLabel = {},
                   Action action = {}, const QString& secondaryActionLabel = {},
                   Action secondaryAction = {});
  static UploadToast* current();

  QString message() const { return message_; }
  bool success() const { return success_; }
  QString actionLabel() const { return actionLabel_; }
  QString secondaryActionLabel() const { return secondaryLabel_; }
  const ToastLayout& layout() const { return layout_; }
  QWidget* panel() const { return panel_; }
  bool hasAction() const { return bool(action_); }
  bool hasSecondaryAction() const { return bool(secondary_); }
  void triggerAction();
  void triggerSecondaryAction();

  ~UploadToast() override;

 private:
  UploadToast(const QString& message, bool success, const QString& actionLabel, Action action,
              const QString& secondaryLabel, Action secondary);
  void present();
  void fadeOut();
  void close();

  QString message_;
  bool success_;
  QString actionLabel_, secondaryLabel_;
  Action action_, secondary_;
  ToastLayout layout_;
  QPointer<QWidget> panel_;
  QTimer* dismissTimer_ = nullptr;
};

}  // namespace nimbo

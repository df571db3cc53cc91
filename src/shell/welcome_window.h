#pragma once
#include <QAbstractButton>
#include <QWidget>

namespace nimbo {

// Shown at every start until the user agrees to the terms.
class WelcomeWindow : public QWidget {
  Q_OBJECT
 public:
  explicit WelcomeWindow(QWidget* parent = nullptr);
  static QString bulletAboutStorage(const QString& host);

 protected:
  void keyPressEvent(QKeyEvent* e) override;

 private:
  QAbstractButton* agree_ = nullptr;
};

namespace WelcomeAgreement {
void presentIfNeeded();
void markAgreed();
bool agreed();
// The window once created (it is kept and reused), or null.
WelcomeWindow* window();
void resetForTesting();
}  // namespace WelcomeAgreement

}  // namespace nimbo

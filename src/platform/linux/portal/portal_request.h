#pragma once
// The desktop portal's request pattern: a method returns at once with a
// Request object, and the answer comes later as that object's Response
// signal. We name the Request ourselves (handle_token) and listen on it
// before asking, so the answer cannot come before we listen.
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include "platform/platform.h"

namespace nimbo::portal {

inline const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");

// Response codes: 0 success, 1 the user cancelled, 2 anything else. A call
// the portal refused outright or never answered comes back as 2 with the
// reason in results["error"].
using Answer = std::function<void(uint code, const QVariantMap& results)>;

// Calls `interface`.`method`(args…, options) with a handle_token added to
// the options and delivers the Response once. Main thread.
void request(const QString& interface, const QString& method, const QVariantList& args, QVariantMap options,
             Answer answer, int timeoutMs = 60000);

// A token for handle_token or session_handle_token, unique in this process.
QString newToken();

// The error an unsuccessful Response stands for.
Error responseError(uint code, const QVariantMap& results, const QString& what);

// Runs an exchange that ends by calling its `done` once, on the main thread,
// and waits for it: from another thread by blocking, on the main thread in a
// local event loop (the answers arrive through it).
template <typename T>
Result<T> await(std::function<void(std::function<void(Result<T>)>)> begin) {
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<Result<T>> result;
  };
  auto state = std::make_shared<State>();
  auto done = [state](Result<T> r) {
    {
      std::lock_guard lock(state->mutex);
      if (state->result) return;
      state->result.emplace(std::move(r));
    }
    state->cv.notify_all();
  };
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return platformError(PlatformErrorCode::failed, QStringLiteral("no application object"));
  if (QThread::currentThread() == app->thread()) {
    QEventLoop loop;
    begin([&loop, done](Result<T> r) {
      done(std::move(r));
      loop.quit();
    });
    {
      std::lock_guard lock(state->mutex);
      if (state->result) return std::move(*state->result);
    }
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  } else {
    QMetaObject::invokeMethod(app, [begin, done] { begin(done); }, Qt::QueuedConnection);
  }
  std::unique_lock lock(state->mutex);
  state->cv.wait(lock, [&] { return state->result.has_value(); });
  return std::move(*state->result);
}

}  // namespace nimbo::portal

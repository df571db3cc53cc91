#pragma once
#include <QString>

#include <functional>
#include <optional>

namespace nimbo {

// The device token that authorises uploads, kept in the user's keyring.
namespace DeviceToken {
inline constexpr char kService[] = "com.vantori.screenshot";
inline constexpr char kAccount[] = "upload-device-token";
std::optional<QString> get();
void set(const QString& token);
// "(not set)" when there is none (or it is empty), one bullet per character
// up to 8, else 8 bullets and the last 4.
QString maskedPreview(const std::optional<QString>& token);
}  // namespace DeviceToken

namespace DeviceRegistration {
// Registers in the background at launch when no token is stored.
void ensureTokenIfNeeded();
// Asks the server for a token and stores it; nothing on any failure.
void registerDevice(std::function<void(std::optional<QString>)> done);
}  // namespace DeviceRegistration

}  // namespace nimbo

#include "platform/linux/portal/portal_probe.h"

#include <gio/gio.h>

namespace nimbo::PortalProbe {

bool answers(const std::string& interfaceName, int timeoutMs, std::string* why) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    if (why) *why = std::string("no session bus: ") + (error ? error->message : "unknown error");
    if (error) g_error_free(error);
    return false;
  }
  // Reading the interface's version starts the portal if it is not running
  // yet and proves the interface is there.
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Properties",
      "Get", g_variant_new("(ss)", interfaceName.c_str(), "version"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
  const bool ok = reply != nullptr;
  if (reply) g_variant_unref(reply);
  if (!ok && why) *why = std::string("the desktop portal did not answer: ") + (error ? error->message : "unknown error");
  if (error) g_error_free(error);
  g_object_unref(bus);
  return ok;
}

}  // namespace nimbo::PortalProbe

#pragma once
// The running instance's command socket. Plain C++ (no Qt): the command-line
// launcher talks to the instance without loading the GUI libraries.
#include <string>

namespace nimbo::instance_socket {

// $XDG_RUNTIME_DIR/com.vantori.screenshot.sock ($TMPDIR or /tmp without one).
std::string path();

enum class SendResult { acknowledged, refused, noInstance, failed };
// Sends one command line and waits up to `timeoutMs` for the reply: "ok",
// or "error <text>" (refused, with the text in `error`).
SendResult send(const std::string& command, int timeoutMs, std::string* error = nullptr);

}  // namespace nimbo::instance_socket

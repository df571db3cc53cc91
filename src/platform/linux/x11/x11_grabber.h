#pragma once
// Whole-area grabs of the X root window through MIT-SHM. Plain C++ over XCB
// (no Qt), so the one-shot command can use it without starting a GUI.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace nimbo::x11 {

struct Monitor {
  uint32_t id = 0;        // the first RandR output of the monitor, else its name atom
  std::string name;       // "DP-1", "DUMMY0", …
  int x = 0, y = 0, width = 0, height = 0;  // root-window pixels
  bool primary = false;
};

// Pixels of one grab, 32 bits per pixel, B G R X in memory (Qt's RGB32).
// Owns its shared-memory segment or heap buffer.
class Frame {
 public:
  Frame(uint8_t* data, int width, int height, int stride, int shmId);
  ~Frame();
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
  const uint8_t* data() const { return data_; }
  uint8_t* data() { return data_; }
  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const { return stride_; }

 private:
  uint8_t* data_;
  int width_, height_, stride_;
  int shmId_;  // -1 for a heap buffer
  uint32_t seg_ = 0;  // attached X segment while a grab is in progress
  friend class Grabber;
};

class Grabber {
 public:
  // Connects to `display` (nullptr: $DISPLAY). Nothing on failure, with the
  // reason in `error`.
  static std::unique_ptr<Grabber> open(const char* display, std::string* error);
  ~Grabber();

  // Active RandR monitors, primary first is NOT implied: server order.
  std::vector<Monitor> monitors();
  // The root window's size in pixels.
  int rootWidth() const { return rootWidth_; }
  int rootHeight() const { return rootHeight_; }
  int depth() const { return depth_; }
  // Safe to call from several threads at once (XCB serialises requests).
  std::unique_ptr<Frame> grab(int x, int y, int width, int height, std::string* error);

  // A grab in steps, so a consumer can start on the first rows while the
  // server copies the rest: begin(), then fill() bands top to bottom, then
  // end(). The frame's memory stays valid after end().
  std::unique_ptr<Frame> begin(int width, int height, std::string* error);
  bool fill(Frame& frame, int x, int y, int firstRow, int rows, std::string* error);
  void end(Frame& frame);

  xcb_connection_t* connection() const { return conn_; }
  uint32_t root() const { return root_; }
  int screenNumber() const { return screenNumber_; }

 private:
  Grabber() = default;
  std::unique_ptr<Frame> grabWithoutShm(int x, int y, int w, int h, std::string* error);

  xcb_connection_t* conn_ = nullptr;
  uint32_t root_ = 0;
  int screenNumber_ = 0;
  int rootWidth_ = 0, rootHeight_ = 0, depth_ = 0;
  bool shm_ = false;
};

}  // namespace nimbo::x11

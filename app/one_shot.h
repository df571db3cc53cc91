#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace nimbo {

// `nimbo screenshot [--screen NAME | --region X,Y,W,H] -o FILE.png`: one grab
// straight to a file, without starting the GUI. Returns the exit status.
// This one reads the X server.
int runOneShot(int argc, char** argv);

namespace one_shot {

struct Request {
  const char* screen = nullptr;
  const char* region = nullptr;
  const char* output = nullptr;
};
struct Area {
  int x = 0, y = 0, width = 0, height = 0;
};
struct Monitor {
  std::string name;
  Area area;  // in the whole picture's pixels
};

// The arguments after `screenshot`; an error message, or empty.
std::string parse(int argc, char** argv, Request* request);
// What to keep of a picture `width` x `height` large: all of it, one
// monitor, or the region clipped to it. An error message, or empty.
std::string resolve(const Request& request, int width, int height, const std::vector<Monitor>& monitors, Area* area);
// Prints the error the way every one-shot failure is printed; returns 1.
int fail(const std::string& message);
// Writes the PNG to the file or to standard output ("-"); the exit status.
int write(const char* output, const std::vector<uint8_t>& png);

}  // namespace one_shot
}  // namespace nimbo

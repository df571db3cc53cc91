#pragma once

namespace nimbo {
// `nimbo screenshot [--screen NAME | --region X,Y,W,H] -o FILE.png`: one grab
// straight to a file, without starting the GUI. Returns the exit status.
int runOneShot(int argc, char** argv);
}

#pragma once

namespace nimbo::WindowBuffers {

// Qt keeps the paint buffer of a window that is hidden rather than deleted
// (the editor, the recorder panel, the popover) for as long as the
// window lives: on X11 a shared-memory segment as large as the window, 3.3
// MB for the editor at its first size. From this call on, the buffer of
// every window of the application that is hidden is shrunk to a pixel
// once the hide is done; painting the window when it is shown again sizes
// it back. Minimised windows count as shown and keep theirs.
void releaseWhenHidden();

}  // namespace nimbo::WindowBuffers

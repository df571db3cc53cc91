#pragma once
// The live camera bubble on screen while the panel's camera switch is on and
// while recording: round, mirrored, bottom left of the screen, in the same
// place and size as the bubble drawn into the video.
class QScreen;
class QWidget;

namespace nimbo {

class Camera;

namespace CameraPreviewBubble {
void show(Camera* camera, QScreen* screen);
void hide();
QWidget* panel();
}  // namespace CameraPreviewBubble

}  // namespace nimbo

// The stored recorder settings: the older audio key, removals, unknown values and the rectangle text form.
#include "recording/recorder_config.h"
#include "util/preferences.h"
#include "support.h"

namespace nimbo {
namespace {

class RecorderConfigTest : public test::PlatformTest {};

TEST_F(RecorderConfigTest, TheOlderAudioKeyDecidesUntilTheFirstSave) {
  Preferences::setValue("recorderAudioSource", "system");
  RecorderConfig c = RecorderConfig::load();
  EXPECT_EQ(std::pair(c.systemAudio, c.mic), std::pair(true, false));
  c.save();
  EXPECT_FALSE(Preferences::contains("recorderAudioSource"));
  EXPECT_TRUE(Preferences::boolValue("recorderSystemAudio", false));
  EXPECT_FALSE(Preferences::boolValue("recorderMic", true));
  Preferences::remove("recorderSystemAudio");
  Preferences::setValue("recorderAudioSource", "microphone");
  c = RecorderConfig::load();
  EXPECT_EQ(std::pair(c.systemAudio, c.mic), std::pair(false, true));
  Preferences::setValue("recorderAudioSource", "none");
  c = RecorderConfig::load();
  EXPECT_EQ(std::pair(c.systemAudio, c.mic), std::pair(false, false));
}

TEST_F(RecorderConfigTest, SavingRoundTripsAndRemovesWhatIsAbsent) {
  RecorderConfig c;
  c.target = RecordTarget::window;
  c.windowID = 77;
  c.region = QRectF(10.5, -20, 300, 200.25);
  c.micDeviceID = "alsa_input.usb-mic";
  c.camera = true;
  c.destination = RecordingDestination::localFile;
  c.save();
  EXPECT_EQ(Preferences::stringValue("recorderRegion"), "{{10.5, -20}, {300, 200.25}}");
  RecorderConfig back = RecorderConfig::load();
  EXPECT_FALSE(back.windowID);  // a window is picked again every time
  back.windowID = 77;
  EXPECT_EQ(back, c);

  c.region.reset();
  c.micDeviceID = QString();
  c.save();
  EXPECT_FALSE(Preferences::contains("recorderRegion"));
  EXPECT_FALSE(Preferences::contains("recorderMicDeviceID"));
  Preferences::setValue("recorderMicDeviceID", "");
  EXPECT_EQ(RecorderConfig::load().micDeviceID, QString(""));  // written elsewhere, read back as it is

  Preferences::setValue("recorderTarget", "everything");
  Preferences::setValue("recorderDestination", "cloud");
  EXPECT_EQ(RecorderConfig::load().target, RecordTarget::screen);
  EXPECT_EQ(RecorderConfig::load().destination, RecordingDestination::shareLink);
  EXPECT_EQ(rectFromString("{{1, 2}, {3}}"), QRectF(1, 2, 3, 0));
  EXPECT_EQ(rectFromString("junk"), QRectF());
}

TEST_F(RecorderConfigTest, TheMicrophoneListStartsWithTheSystemDefault) {
  EXPECT_EQ(MicrophoneCapture::availableInputs(), (std::vector<MicInput>{{"", "System Default"}}));
  fakes.audio->mics = {{"usb", "USB Mic"}};
  fakes.audio->defaultMic = fakes.audio->mics[0];
  fakes.audio->mics.push_back({"built-in", "Built-in Microphone"});
  EXPECT_EQ(MicrophoneCapture::availableInputs(),
            (std::vector<MicInput>{{"", QString::fromUtf8("System Default — USB Mic")},
                                   {"built-in", "Built-in Microphone"}}));
}

}  // namespace
}  // namespace nimbo

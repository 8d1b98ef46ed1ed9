// The sound layer's common buffer and the null device's clock-driven cursor.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/clock.h"
#include "platform/sound.h"

namespace {

class NullSound : public ::testing::Test {
 protected:
  platform::ControlledClock clock;
  platform::ScopedClock useClock{&clock};
  std::unique_ptr<platform::SoundDevice> device = platform::OpenNullSoundDevice();
  std::unique_ptr<platform::SoundBuffer> buffer = device->CreateSoundBuffer({}, 192000);

  uint32_t Play() {
    uint32_t play = 0, write = 0;
    EXPECT_TRUE(buffer->GetCurrentPosition(&play, &write));
    return play;
  }
};

TEST_F(NullSound, CursorMovesWithTheClockOnlyWhilePlaying) {
  ASSERT_TRUE(buffer);
  clock.Advance(100);
  EXPECT_EQ(Play(), 0u);
  buffer->Play();
  clock.Advance(1000);
  EXPECT_EQ(Play(), 16000u);
  uint32_t play = 0, write = 0;
  buffer->GetCurrentPosition(&play, &write);
  EXPECT_EQ(write, 16240u) << "the write cursor runs 15 ms ahead";
  buffer->Stop();
  clock.Advance(500);
  EXPECT_EQ(Play(), 16000u) << "stopped where it had got to";
  buffer->Play();
  clock.Advance(11000);  // 12 s in all: round the loop once
  EXPECT_EQ(Play(), 0u);
  clock.Advance(1);
  EXPECT_EQ(Play(), 16u);
}

TEST_F(NullSound, SetPositionMovesTheCursor) {
  buffer->Play();
  clock.Advance(300);
  EXPECT_TRUE(buffer->SetCurrentPosition(191999));
  EXPECT_EQ(Play(), 191998u) << "aligned to a whole sample";
  clock.Advance(1);
  EXPECT_EQ(Play(), 14u);
  EXPECT_FALSE(buffer->SetCurrentPosition(192000));
}

TEST_F(NullSound, LockGivesTwoRegionsAcrossTheEnd) {
  void *r1 = nullptr, *r2 = nullptr;
  uint32_t n1 = 0, n2 = 0;
  ASSERT_TRUE(buffer->Lock(191000, 3000, &r1, &n1, &r2, &n2, false));
  EXPECT_EQ(n1, 1000u);
  EXPECT_EQ(n2, 2000u);
  EXPECT_EQ(static_cast<uint8_t*>(r1) - static_cast<uint8_t*>(r2), 191000);
  EXPECT_TRUE(buffer->Unlock(r1, n1, r2, n2));
  ASSERT_TRUE(buffer->Lock(5, 5, &r1, &n1, &r2, &n2, true));
  EXPECT_EQ(n1, 192000u);
  EXPECT_EQ(r2, nullptr);
  EXPECT_FALSE(buffer->Lock(192000, 2, &r1, &n1, &r2, &n2, false));
  EXPECT_FALSE(buffer->Lock(0, 192002, &r1, &n1, &r2, &n2, false));
  int16_t outside = 0;
  EXPECT_FALSE(buffer->Unlock(&outside, 2, nullptr, 0));
}

TEST_F(NullSound, VolumeRangeIsEnforced) {
  int32_t v = 1;
  EXPECT_TRUE(buffer->GetVolume(&v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(buffer->SetVolume(-10000));
  EXPECT_FALSE(buffer->SetVolume(1));
  EXPECT_FALSE(buffer->SetVolume(-10001));
  buffer->GetVolume(&v);
  EXPECT_EQ(v, -10000);
}

TEST_F(NullSound, RefusesFormatsItCannotPlay) {
  EXPECT_FALSE(device->CreateSoundBuffer({1, 8000, 8}, 1000));
  EXPECT_FALSE(device->CreateSoundBuffer({}, 0));
  EXPECT_FALSE(device->CreateSoundBuffer({2, 8000, 16}, 1002));
}

TEST_F(NullSound, ChosenByTheEnvironment) {
  setenv("VELMORA_AUDIO", "null", 1);
  auto chosen = platform::OpenSoundDevice();
  unsetenv("VELMORA_AUDIO");
  ASSERT_TRUE(chosen);
  auto b = chosen->CreateSoundBuffer({}, 192000);
  ASSERT_TRUE(b);
  b->Play();
  clock.Advance(10);
  uint32_t play = 0, write = 0;
  b->GetCurrentPosition(&play, &write);
  EXPECT_EQ(play, 160u) << "moves with the controlled clock";
}

}  // namespace

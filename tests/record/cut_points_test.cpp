#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "record_support.h"

namespace record_test {
namespace {

using CutPoints = RecordingFixture;

const uint32_t kVideoSizes[5] = {20, 37, 50, 64, 33};

int RunRecinfo(const std::string& base) {
  const std::string command = std::string(VELMORA_BIN_DIR) + "/velmora-recinfo '" + base + "' >/dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Two video and two audio messages pre-recorded, three of each live.
void RecordAll(CMakeFile& recorder, CManage2DBUF& preVideo, CManage2DBUF& preAudio) {
  for (uint32_t i = 0; i < 2; ++i) {
    Bytes v = VideoMessage(i, kVideoSizes[i], i);
    preVideo.PushFrameTagged(v.data(), static_cast<int32_t>(v.size()), 1, 1);
    Bytes a = AudioMessage(i);
    preAudio.PushFrame(a.data(), static_cast<int32_t>(a.size()), 0);
  }
  recorder.StartRecord(preVideo, preAudio);
  for (uint32_t i = 2; i < 5; ++i) {
    Bytes v = VideoMessage(i, kVideoSizes[i], i);
    recorder.WriteVideoRecord(v.data(), kVideoSizes[i]);
    Bytes a = AudioMessage(i);
    recorder.WriteAudioRecord(a.data(), 120);
  }
}

TEST_F(CutPoints, EveryCutPointLeavesWholeRecordsAndNothingOpen) {
  recorder->AudioModule = 1;
  uint32_t total = 16 + 8 + 12 + 5 * 128;
  for (uint32_t n : kVideoSizes) total += n + 12;
  for (const bool shorten : {false, true}) {
    for (uint32_t budget = 0; budget <= total; ++budget) {
      SCOPED_TRACE((shorten ? "shortened at " : "failed at ") + std::to_string(budget));
      recorder = std::make_unique<CMakeFile>();
      recorder->SetRecordName("c:\\rec");
      recorder->AudioModule = 1;
      const int fds = OpenFds();
      platform::SetOutputWriteBudget(budget, shorten);
      RecordAll(*recorder, preVideo, preAudio);
      platform::SetOutputWriteBudget(-1, false);
      if (budget < total) {
        EXPECT_EQ(recorder->videoRecording, 0);
        EXPECT_EQ(recorder->audioRecording, 0);
        EXPECT_EQ(OpenFds(), fds);
      }
      recorder->StopRecord();
      EXPECT_EQ(OpenFds(), fds);

      std::vector<Bytes> frames;
      const auto report = Check(false, [&](uint64_t, uint32_t, const uint8_t* p, uint32_t n) {
        frames.emplace_back(p, p + n);
      });
      ASSERT_TRUE(report.Valid()) << (report.violations.empty() ? "" : report.violations[0].what);
      // A prefix of what was sent, in order.
      for (size_t i = 0; i < frames.size(); ++i) {
        Bytes want = VideoMessage(static_cast<uint32_t>(i), kVideoSizes[i], static_cast<uint32_t>(i));
        std::fill(want.begin() + 12, want.begin() + 16, 0xFF);
        ASSERT_EQ(frames[i], Bytes(want.begin() + 12, want.end()));
      }
      const Bytes kea = Kea();
      for (size_t k = 0; 12 + (k + 1) * 128 <= kea.size(); ++k) {
        const Bytes a = AudioMessage(static_cast<uint32_t>(k));
        ASSERT_EQ(Bytes(kea.begin() + 12 + k * 128 + 8, kea.begin() + 12 + (k + 1) * 128), Bytes(a.begin() + 12, a.end()));
      }
      if (budget >= total) {
        EXPECT_EQ(frames.size(), 5u);
      }

      // The same name records again.
      RecordAll(*recorder, preVideo, preAudio);
      recorder->StopRecord();
      const auto again = Check();
      EXPECT_TRUE(again.Valid());
      EXPECT_EQ(again.frames, 5u);
      EXPECT_EQ(again.audioRecords, 5u);
    }
  }
}

TEST_F(CutPoints, AFileSizeLimitCutsTheVideoFileBackToWholeRecords) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{3000, 3000};
    setrlimit(RLIMIT_FSIZE, &limit);
    Start();
    for (uint32_t i = 0; i < 10 && recorder->videoRecording == 1; ++i) Video(i, 1000);
    const bool traced = !TraceTexts().empty() && TraceTexts()[0].find("File too large") != std::string::npos;
    _exit(recorder->videoRecording == 0 && traced ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Kev().size(), 2008u);
  EXPECT_EQ(Sdi().size(), 16u + 24);
  EXPECT_EQ(RunRecinfo("c:\\rec"), 0);
}

TEST_F(CutPoints, AFullDiskLeavesAnEmptyRecording) {
  Start();
  recorder->StopRecord();
  ASSERT_EQ(symlink("/dev/full", File("kev", "full").c_str()), 0);
  recorder->SetRecordName("c:\\full");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Start();
    const bool traced = !TraceTexts().empty() && TraceTexts()[0].find("No space left") != std::string::npos;
    _exit(recorder->videoRecording == 0 && traced ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(File("sdi", "full")).size(), 0u);
  EXPECT_EQ(RunRecinfo("c:\\full"), 0);
}

}  // namespace
}  // namespace record_test

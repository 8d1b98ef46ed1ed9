// velmora-engine records the camera simulator; the recording is read back.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <thread>

#include "record_support.h"
#include "shared/adpcm.h"
#include "tools/camsim/camsim.h"
#include "tools/camsim/commands.h"
#include "tools/velmora-engine/engine_host.h"
#include "tools/quenda-decode/frames.h"
#include "tests/support/wait.h"

namespace record_test {
namespace {

const std::string kReference = VELMORA_REFERENCE_DIR;

bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
  return testing_support::WaitUntil(done, timeoutMs, 20);
}

// velmora-engine as a child: stdin a pipe, stdout and stderr into a file.
class EngineProcess {
 public:
  EngineProcess(uint16_t port, const std::string& name, const std::string& outPath, int prerecordMs) {
    int fds[2];
    if (pipe(fds) != 0) return;
    const std::string bin = std::string(VELMORA_BIN_DIR) + "/velmora-engine";
    const std::string portText = std::to_string(port), pre = std::to_string(prerecordMs);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[0], 0);
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      close(fds[1]);
      execl(bin.c_str(), bin.c_str(), "127.0.0.1", portText.c_str(), "tansy", "tansy", "--record", name.c_str(),
            "--prerecord", pre.c_str(), "--seconds", "300", "--trace", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[0]);
    in_ = fds[1];
  }
  ~EngineProcess() {
    if (in_ >= 0) close(in_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Send(const std::string& line) {
    const std::string text = line + "\n";
    return write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  // Sends "quit" and waits (bounded) for the exit status.
  int Quit() {
    Send("quit");
    for (int i = 0; i < 6000; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
};

camsim::SimConfig Camera() {
  camsim::SimConfig c;
  c.video.framesPath = kReference + "/mpeg4/ts_q5.frames";
  c.audio.kind = camsim::AudioKind::Tone;
  c.audio.toneHz = 1000;
  return c;
}

uint32_t VideoTimestamp(camsim::CameraSimulator& cam) {
  for (const auto& c : cam.Connections())
    if (c.channel == camsim::Channel::Video && c.open) return c.lastTimestamp;
  return 0;
}

class CameraRecording : public RecordingFixture {
 protected:
  int Recinfo(const std::string& args) {
    const std::string command =
        std::string(VELMORA_BIN_DIR) + "/velmora-recinfo " + args + " >" + root + "/recinfo.txt 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Output(const std::string& file) {
    const Bytes b = ReadFile(root + "/" + file);
    return std::string(b.begin(), b.end());
  }
  // From the first key frame the recording c:\live decodes to the clip's
  // picture of each frame's timestamp (a connection's frame n is stamped n).
  void ExpectPicturesDecodeToTheStream() {
    const Bytes sdi = ReadFile(File("sdi", "live"));
    size_t firstKey = 0;
    while (16 + 12 * firstKey + 12 <= sdi.size() && (Le32(sdi, 16 + 12 * firstKey + 8) >> 30) != 2) ++firstKey;
    ASSERT_LE(16 + 12 * firstKey + 12, sdi.size()) << "no key frame";
    const std::string extracted = root + "/live.frames";
    ASSERT_EQ(Recinfo("'c:\\live' --from-key --extract-frames " + extracted), 0);
    const std::string decode =
        std::string(VELMORA_BIN_DIR) + "/quenda-decode " + extracted + " >" + root + "/decoded.txt 2>&1";
    ASSERT_EQ(std::system(decode.c_str()), 0) << Output("decoded.txt");
    const auto reference = quenda_tools::ReadFrameMd5s(kReference + "/mpeg4/ts_q5.framemd5");
    std::istringstream lines(Output("decoded.txt"));
    std::string line;
    size_t k = 0;
    while (std::getline(lines, line)) {
      if (line.empty() || line[0] == '#') continue;
      const std::string md5 = line.substr(line.find_last_of(", ") + 1);
      const uint32_t stamp = Le32(sdi, 16 + 12 * (firstKey + k));
      ASSERT_EQ(md5, reference[stamp % reference.size()]) << "picture " << k;
      ++k;
    }
    EXPECT_EQ(k, (sdi.size() - 16) / 12 - firstKey);
  }
  // The link may lag behind the camera. True once it has parsed every frame
  // the camera sent so far: a value queued behind them comes back as 81.
  bool CaughtUp(camsim::CameraSimulator& cam) {
    const std::string line = "\n81 " + std::to_string(++marker_) + "\n";
    cam.SendValue(marker_);
    return WaitUntil([&] { return ("\n" + Output("engine.txt")).find(line) != std::string::npos; });
  }
  // True once the link has taken the start command: the index has its header.
  bool Recording() {
    return WaitUntil([&] { return ReadFile(File("sdi", "live")).size() >= 16; });
  }

 private:
  int32_t marker_ = 424242;
};

TEST_F(CameraRecording, PreRecordThenTenSecondsOfPicturesAndTone) {
  camsim::CameraSimulator cam(Camera());
  ASSERT_TRUE(cam.Start()) << cam.error();
  EngineProcess engine(cam.port(), "c:\\live", root + "/engine.txt", 3000);
  ASSERT_TRUE(cam.WaitForFramesSent(130, camsim::Ms(60000))) << Output("engine.txt");
  // The newest frame the link had when it took the command lies between
  // one it had surely parsed and one surely sent once the recording began.
  const uint32_t parsedBefore = VideoTimestamp(cam);
  ASSERT_TRUE(CaughtUp(cam));
  const int64_t localAtCommand = LocalSecondsNow();
  ASSERT_TRUE(engine.Send("14"));
  ASSERT_TRUE(Recording());
  const uint32_t sentAfter = VideoTimestamp(cam);
  // Ten seconds more, every frame of them parsed before the stop.
  ASSERT_TRUE(WaitUntil([&] { return VideoTimestamp(cam) >= sentAfter + 300; }));
  ASSERT_TRUE(CaughtUp(cam));
  ASSERT_TRUE(engine.Send("15"));
  ASSERT_EQ(engine.Quit(), 0) << Output("engine.txt");

  ASSERT_EQ(Recinfo("'c:\\live'"), 0) << Output("recinfo.txt");
  std::vector<std::pair<uint32_t, Bytes>> frames;  // tag, record
  const auto report = Check(false, [&](uint64_t, uint32_t tag, const uint8_t* p, uint32_t n) {
    frames.emplace_back(tag, Bytes(p, p + n));
  }, "live");
  ASSERT_TRUE(report.Valid());
  EXPECT_EQ(report.restartCount, 0u);

  // The start time is the arrival of the oldest pre-recorded frame.
  const int64_t lead = localAtCommand - static_cast<int64_t>(report.startTime);
  EXPECT_GE(lead, 2);
  EXPECT_LE(lead, 5);
  // The pre-record reaches 3 s (90 ticks) behind that newest frame.
  const Bytes sdi = ReadFile(File("sdi", "live"));
  EXPECT_GE(Le32(sdi, 16) + 90, parsedBefore);
  EXPECT_LE(Le32(sdi, 16) + 90, sentAfter);

  // Every record is the clip's picture of its timestamp (one tick a frame).
  std::vector<std::vector<uint8_t>> clip;
  ASSERT_TRUE(quenda_tools::ReadFramesFile(kReference + "/mpeg4/ts_q5.frames", clip));
  ASSERT_EQ(frames.size(), report.frames);
  ASSERT_GE(frames.size(), 380u);
  for (size_t i = 0; i < frames.size(); ++i) {
    const uint32_t stamp = Le32(sdi, 16 + 12 * i);
    ASSERT_EQ(frames[i].second, clip[stamp % clip.size()]) << "record " << i;
    if (i > 0) {
      ASSERT_EQ(stamp, Le32(sdi, 16 + 12 * (i - 1)) + 1);
    }
  }

  ExpectPicturesDecodeToTheStream();

  // Audio: 128-byte records, each a frame later, a 1000 Hz tone.
  EXPECT_EQ(report.audioRecordSize, 128u);
  EXPECT_GE(report.audioRecords, 400u);
  const Bytes kea = ReadFile(File("kea", "live"));
  std::vector<int16_t> samples;
  for (size_t at = 12; at + 128 <= kea.size(); at += 128) {
    CADPCM state;
    state.predictor = static_cast<int16_t>(kea[at + 4] | (kea[at + 5] << 8));
    state.stepIndex = static_cast<int8_t>(kea[at + 6]);
    int16_t out[240];
    state.DecodeAdpcm(&kea[at + 8], out, 240);
    samples.insert(samples.end(), out, out + 240);
  }
  size_t crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i)
    if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
  const double hz = crossings / 2.0 / (static_cast<double>(samples.size()) / 8000.0);
  EXPECT_NEAR(hz, 1000.0, 10.0);
}

TEST_F(CameraRecording, ARecordingKeptOpenAcrossACameraRestartIsValid) {
  camsim::CameraSimulator cam(Camera());
  ASSERT_TRUE(cam.Start()) << cam.error();
  EngineProcess engine(cam.port(), "c:\\live", root + "/engine.txt", 1000);
  ASSERT_TRUE(cam.WaitForFramesSent(40, camsim::Ms(60000))) << Output("engine.txt");
  ASSERT_TRUE(engine.Send("14"));
  ASSERT_TRUE(cam.WaitForFramesSent(100, camsim::Ms(60000)));
  ASSERT_TRUE(cam.WaitForFramesSent(100, camsim::Ms(60000), camsim::AudioConns()));
  // The operator drops both connections; the new ones count from 0 again.
  std::string reply;
  ASSERT_TRUE(camsim::RunCommand(cam, "fin video", reply)) << reply;
  ASSERT_TRUE(camsim::RunCommand(cam, "fin audio", reply)) << reply;
  ASSERT_TRUE(WaitUntil([&] {
    const std::string out = Output("engine.txt");
    return out.find("17 vid:disconnected") != std::string::npos && out.find("20 aud:disconnected") != std::string::npos;
  })) << Output("engine.txt");
  ASSERT_TRUE(engine.Send("1"));
  ASSERT_TRUE(engine.Send("2"));
  for (const auto channel : {camsim::Channel::Video, camsim::Channel::Audio}) {
    ASSERT_TRUE(WaitUntil([&] {
      for (const auto& c : cam.Connections())
        if (c.channel == channel && c.open && c.framesSent >= 60) return true;
      return false;
    })) << Output("engine.txt");
  }
  ASSERT_TRUE(engine.Send("15"));
  ASSERT_EQ(engine.Quit(), 0) << Output("engine.txt");

  ASSERT_EQ(Recinfo("'c:\\live'"), 0) << Output("recinfo.txt");
  const auto report = Check(false, {}, "live");
  EXPECT_EQ(report.restartCount, 1u);
  EXPECT_EQ(report.audioRestartCount, 1u);
  EXPECT_NE(Output("recinfo.txt").find("audio camera restarts (new segments): 1"), std::string::npos);
  ExpectPicturesDecodeToTheStream();
}

TEST_F(CameraRecording, TheEnginesPreRecordIsClampedAsTheControlsIs) {
  camsim::CameraSimulator cam(Camera());
  ASSERT_TRUE(cam.Start()) << cam.error();
  host::HostOptions options;
  options.port = cam.port();
  options.prerecord = 40000;
  host::EngineHost engine(options, [](const std::string&) {});
  engine.Start();
  EXPECT_EQ(engine.link().prerecord, CNetManage::kMaxPrerecordMs);
}

TEST_F(CameraRecording, ACameraWithoutAudioLeavesNoAudioFile) {
  ASSERT_EQ(std::system(("mkdir -p '" + drives + "/c' && echo stale >'" + File("kea", "live") + "'").c_str()), 0);
  auto config = Camera();
  config.login.fields.hasAudio = false;
  camsim::CameraSimulator cam(config);
  ASSERT_TRUE(cam.Start()) << cam.error();
  EngineProcess engine(cam.port(), "c:\\live", root + "/engine.txt", 0);
  ASSERT_TRUE(cam.WaitForFramesSent(10, camsim::Ms(60000))) << Output("engine.txt");
  ASSERT_TRUE(engine.Send("14"));
  const uint64_t mark = 10 + 30;
  ASSERT_TRUE(cam.WaitForFramesSent(mark, camsim::Ms(60000)));
  ASSERT_TRUE(engine.Send("15"));
  ASSERT_EQ(engine.Quit(), 0);
  EXPECT_FALSE(Exists(File("kea", "live")));
  ASSERT_EQ(Recinfo("'c:\\live'"), 0) << Output("recinfo.txt");
  EXPECT_NE(Output("recinfo.txt").find("audio: none"), std::string::npos);
}

TEST_F(CameraRecording, ACodecChangeOnReconnectEndsTheAudioPartOnly) {
  auto g723 = Camera();
  g723.audio.kind = camsim::AudioKind::G7231;
  g723.audio.path = kReference + "/g7231/vectors/speech_63.tco";
  auto cam = std::make_unique<camsim::CameraSimulator>(g723);
  ASSERT_TRUE(cam->Start()) << cam->error();
  const uint16_t port = cam->port();
  EngineProcess engine(port, "c:\\live", root + "/engine.txt", 0);
  ASSERT_TRUE(cam->WaitForFramesSent(10, camsim::Ms(60000))) << Output("engine.txt");
  ASSERT_TRUE(engine.Send("14"));
  // Thirty frames once the recording began, all parsed before the camera goes.
  ASSERT_TRUE(Recording());
  const uint32_t from = VideoTimestamp(*cam);
  ASSERT_TRUE(WaitUntil([&] { return VideoTimestamp(*cam) >= from + 30; }));
  ASSERT_TRUE(cam->WaitForFramesSent(40, camsim::Ms(60000), camsim::AudioConns()));
  ASSERT_TRUE(CaughtUp(*cam));
  cam.reset();

  auto tone = Camera();
  tone.port = port;
  cam = std::make_unique<camsim::CameraSimulator>(tone);
  ASSERT_TRUE(cam->Start()) << cam->error();
  // The link saw both connections close; connect again.
  ASSERT_TRUE(WaitUntil([&] { return Output("engine.txt").find("17 vid:disconnected") != std::string::npos; }));
  ASSERT_TRUE(engine.Send("1"));
  ASSERT_TRUE(engine.Send("2"));
  ASSERT_TRUE(cam->WaitForFramesSent(40, camsim::Ms(60000)));
  ASSERT_TRUE(cam->WaitForFramesSent(20, camsim::Ms(60000), camsim::AudioConns()));
  ASSERT_TRUE(CaughtUp(*cam));
  ASSERT_TRUE(engine.Send("15"));
  ASSERT_EQ(engine.Quit(), 0) << Output("engine.txt");

  const auto report = Check(false, {}, "live");
  ASSERT_TRUE(report.Valid()) << report.violations[0].what;
  EXPECT_EQ(report.audioRecordSize, 32u);
  EXPECT_GE(report.audioRecords, 20u);
  EXPECT_EQ((ReadFile(File("kea", "live")).size() - 12) % 32, 0u);
  // Video went on after the reconnect: its timestamps started again.
  EXPECT_GE(report.restartCount, 1u);
  EXPECT_GE(report.frames, 60u);
  EXPECT_NE(Output("engine.txt").find("---rec:audio frame size changed"), std::string::npos);
}

}  // namespace
}  // namespace record_test

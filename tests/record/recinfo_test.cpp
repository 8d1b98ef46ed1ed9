#include <sys/wait.h>

#include <cstdio>

#include "record_support.h"

namespace record_test {
namespace {

class Recinfo : public RecordingFixture {
 protected:
  // Four frames (the second a key frame) and four audio records.
  void SetUp() override {
    RecordingFixture::SetUp();
    recorder->AudioModule = 1;
    Start();
    for (uint32_t i = 0; i < 4; ++i) {
      Video(10 + i, 100 + 10 * i, i == 1 ? 0x80000000u : 0x40000000u);
      Audio(20 + i);
    }
    recorder->StopRecord();
    sdi = Sdi();
    kev = Kev();
    kea = Kea();
  }

  // The first violation of the recording as it stands in sdi, kev and kea.
  recinfo::Violation FirstViolation(bool live = false) {
    const recinfo::MemorySource s(sdi.data(), sdi.size()), v(kev.data(), kev.size()), a(kea.data(), kea.size());
    const auto report = recinfo::Check(&s, &v, &a, live);
    if (report.violations.empty()) return {"", 0, "none"};
    return report.violations[0];
  }

  // New timestamps for the four index entries and the four audio records.
  void Stamps(const std::vector<uint32_t>& video, const std::vector<uint32_t>& audio) {
    for (size_t i = 0; i < video.size(); ++i) wire::WriteLe32(&sdi[16 + 12 * i], video[i]);
    for (size_t i = 0; i < audio.size(); ++i) wire::WriteLe32(&kea[12 + 128 * i], audio[i]);
  }

  bool Says(const recinfo::Violation& v, const char* file, uint64_t offset, const char* what) {
    return v.file == file && v.offset == offset && v.what.find(what) != std::string::npos;
  }

  int Run(const std::string& args, std::string* out = nullptr) {
    const std::string path = root + "/out.txt";
    const std::string command = std::string(VELMORA_BIN_DIR) + "/velmora-recinfo " + args + " >" + path + " 2>&1";
    const int status = std::system(command.c_str());
    if (out) {
      const Bytes b = ReadFile(path);
      out->assign(b.begin(), b.end());
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  Bytes sdi, kev, kea;
};

TEST_F(Recinfo, AnIntactRecordingIsValid) {
  EXPECT_EQ(FirstViolation().what, "none");
  std::string out;
  EXPECT_EQ(Run("'c:\\rec'", &out), 0);
  EXPECT_NE(out.find("video: 4 frames, 1 key, 460 bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("video standard: 10/9"), std::string::npos) << out;
  EXPECT_NE(out.find("audio: IMA ADPCM, 128-byte records, 4 records, 0 missing frames"), std::string::npos) << out;
  EXPECT_EQ(Run("'c:\\rec' --json", &out), 0);
  EXPECT_EQ(out.rfind("{\"recording\":\"c:\\\\rec\",\"valid\":true", 0), 0u) << out;
  EXPECT_NE(out.find("\"frames\":4"), std::string::npos) << out;
}

TEST_F(Recinfo, IndexCorruptionsTripTheirChecks) {
  const Bytes good = sdi;
  sdi[5] = 'x';
  EXPECT_TRUE(Says(FirstViolation(), "sdi", 0, "bad signature"));
  sdi = good;
  sdi.resize(sdi.size() + 5);
  EXPECT_TRUE(Says(FirstViolation(), "sdi", 64, "partial index entry"));
  EXPECT_EQ(FirstViolation(true).what, "none");
  sdi = good;
  wire::WriteLe32(&sdi[16 + 12 + 4], 100 + 70000);
  EXPECT_TRUE(Says(FirstViolation(), "sdi", 32, "over 60000"));
  sdi = good;
  sdi.resize(12);
  EXPECT_TRUE(Says(FirstViolation(), "sdi", 8, "shorter than 16"));
}

TEST_F(Recinfo, VideoCorruptionsTripTheirChecks) {
  const Bytes good = kev;
  kev.resize(kev.size() - 10);
  EXPECT_TRUE(Says(FirstViolation(), "sdi", 16 + 36 + 4, "past the video file's end"));
  kev = good;
  kev.resize(kev.size() + 7, 0);
  EXPECT_TRUE(Says(FirstViolation(), "kev", 468, "7 bytes after the last indexed record"));
  EXPECT_EQ(FirstViolation(true).what, "none");
  kev = good;
  kev[8 + 100] = 0;
  EXPECT_TRUE(Says(FirstViolation(), "kev", 108, "does not start FF FF FF FF"));
  kev = good;
  const uint8_t start[4] = {0, 0, 1, 0xB6};
  std::copy(start, start + 4, kev.begin() + 8 + 100 + 50);
  EXPECT_TRUE(Says(FirstViolation(), "kev", 158, "picture start inside"));
  kev = good;
  kev[3] = 'X';
  EXPECT_TRUE(Says(FirstViolation(), "kev", 0, "bad signature"));
}

TEST_F(Recinfo, AudioCorruptionsTripTheirChecks) {
  const Bytes good = kea;
  kea.resize(kea.size() + 5);
  EXPECT_TRUE(Says(FirstViolation(), "kea", 12 + 4 * 128, "partial audio record"));
  EXPECT_EQ(FirstViolation(true).what, "none");
  kea = good;
  kea[12 + 128 + 6] = 0x80;
  EXPECT_TRUE(Says(FirstViolation(), "kea", 12 + 128 + 6, "sign-extended"));
  kea = good;
  Stamps({}, {1000, 1001, 1000, 1003});
  EXPECT_TRUE(Says(FirstViolation(), "kea", 12 + 2 * 128, "timestamp 1000 does not follow 1001"));
  kea = good;
  kea[0] = 0;
  EXPECT_TRUE(Says(FirstViolation(), "kea", 0, "bad signature"));
}

TEST_F(Recinfo, CameraRestartsAndQueueGapsAreListedNotViolations) {
  // A reconnect restarts both counts; a full pre-record queue leaves a gap.
  Stamps({500, 501, 0, 95}, {555, 800, 0, 1});
  WriteFile(File("sdi"), sdi);
  WriteFile(File("kea"), kea);
  std::string out;
  EXPECT_EQ(Run("'c:\\rec'", &out), 0) << out;
  for (const char* line : {"  gap at frame 3: 0 -> 95", "camera restarts (new segments): 1\n  restart at frame 2: 501 -> 0",
                           "244 missing frames", "audio gaps: 1\n  gap at record 1: 555 -> 800",
                           "audio camera restarts (new segments): 1\n  restart at record 2: 800 -> 0"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  EXPECT_EQ(Run("'c:\\rec' --json", &out), 0) << out;
  for (const char* item : {"\"restarts\":[{\"frame\":2,\"from\":501,\"to\":0}]",
                           "\"gaps\":[{\"record\":1,\"from\":555,\"to\":800}]",
                           "\"restarts\":[{\"record\":2,\"from\":800,\"to\":0}]"})
    EXPECT_NE(out.find(item), std::string::npos) << item << "\n" << out;
}

TEST_F(Recinfo, FaultsTheRecorderCannotMakeAreViolations) {
  const Bytes goodSdi = sdi, goodKea = kea;
  wire::WriteLe32(&kea[8], 1);
  EXPECT_TRUE(Says(FirstViolation(), "kea", 8, "format word 1"));
  kea = goodKea;
  Stamps({100, 101, 98, 99}, {});  // three ticks back, past a count's first second
  EXPECT_TRUE(Says(FirstViolation(), "sdi", 16 + 24, "timestamp 98 steps back from 101"));
  // 1000 video ticks are audio frame 1111: audio 60 frames earlier.
  Stamps({1000, 1001, 1002, 1003}, {1051, 1052, 1053, 1054});
  EXPECT_TRUE(Says(FirstViolation(), "kea", 12, "audio begins 1.80 s before the first video picture"));
  Stamps({}, {1111, 1112, 1113, 1114});
  EXPECT_EQ(FirstViolation().what, "none");
  // Audio at 4/3 of the video ticks under standard 0 (10/9).
  Stamps({9000, 9001, 9002, 9003}, {12000, 12001, 12002, 12003});
  EXPECT_TRUE(Says(FirstViolation(), "sdi", 8, "video standard 0 does not match the audio"));
  wire::WriteLe32(&sdi[8], 1);
  EXPECT_EQ(FirstViolation().what, "none");
  sdi = goodSdi;
  kea = goodKea;
  kea[12 + 128 + 6] = 89;
  EXPECT_TRUE(Says(FirstViolation(), "kea", 12 + 128 + 6, "step index 89 outside 0..88"));
  kea[12 + 128 + 6] = kea[12 + 128 + 7] = 0xFF;
  EXPECT_TRUE(Says(FirstViolation(), "kea", 12 + 128 + 6, "step index -1 outside 0..88"));
}

TEST_F(Recinfo, MissingFilesAndBadUsage) {
  std::string out;
  std::remove(File("kev").c_str());
  EXPECT_EQ(Run("'c:\\rec'", &out), 1);
  EXPECT_NE(out.find("rec.kev offset 0: missing"), std::string::npos) << out;
  EXPECT_EQ(Run("'c:\\nothing'"), 1);
  EXPECT_EQ(Run(""), 2);
  EXPECT_EQ(Run("a b"), 2);
  EXPECT_EQ(Run("'c:\\rec' --from-key"), 2);
  EXPECT_EQ(Run("'c:\\rec' --bogus"), 2);
}

TEST_F(Recinfo, ExtractsFramesFromTheFirstKeyFrame) {
  const std::string all = root + "/all.frames", key = root + "/key.frames";
  ASSERT_EQ(Run("'c:\\rec' --extract-frames " + all), 0);
  ASSERT_EQ(Run("'c:\\rec' --extract-frames " + key + " --from-key"), 0);
  const Bytes a = ReadFile(all), k = ReadFile(key);
  ASSERT_EQ(a.size(), 4u * 4 + 460);
  EXPECT_EQ(Le32(a, 0), 100u);
  EXPECT_EQ(Bytes(a.begin() + 4, a.begin() + 104), Bytes(kev.begin() + 8, kev.begin() + 108));
  EXPECT_EQ(k, Bytes(a.begin() + 104, a.end()));
}

}  // namespace
}  // namespace record_test

#include "record_support.h"

namespace record_test {
namespace {

using RecordFiles = RecordingFixture;

TEST_F(RecordFiles, EmptyQueuesWriteTheHeadersAndTheLocalStartTime) {
  recorder->AudioModule = 1;
  recorder->videoStandard = 1;
  recorder->audioFormat = 0;
  const int64_t before = LocalSecondsNow();
  Start();
  const int64_t after = LocalSecondsNow();
  EXPECT_EQ(recorder->videoRecording, 1);
  EXPECT_EQ(recorder->audioRecording, 1);
  const Bytes sdi = Sdi(), kev = Kev(), kea = Kea();
  ASSERT_EQ(sdi.size(), 16u);
  ASSERT_EQ(kev.size(), 8u);
  ASSERT_EQ(kea.size(), 12u);
  EXPECT_EQ(Bytes(sdi.begin(), sdi.begin() + 12), (Bytes{'K', 'E', 'S', 'T', 'O', 'i', 3, 1, 1, 0, 0, 0}));
  EXPECT_EQ(kev, (Bytes{'K', 'E', 'S', 'T', 'O', 'v', 3, 0}));
  EXPECT_EQ(kea, (Bytes{'K', 'E', 'S', 'T', 'O', 'a', 3, 1, 0, 0, 0, 0}));
  EXPECT_GE(static_cast<int64_t>(Le32(sdi, 12)), before);
  EXPECT_LE(static_cast<int64_t>(Le32(sdi, 12)), after);
  recorder->StopRecord();
  EXPECT_EQ(recorder->videoRecording, 0);
  EXPECT_EQ(recorder->audioRecording, 0);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(Check().Valid());
}

TEST_F(RecordFiles, TwoFramesGiveEndOffsetsAndMarkedPayloads) {
  Start();
  Bytes first = VideoMessage(7, 1000, 0x80012345), second = VideoMessage(8, 500, 0x40000001);
  recorder->WriteVideoRecord(first.data(), 1000);
  recorder->WriteVideoRecord(second.data(), 500);
  recorder->StopRecord();
  const Bytes sdi = Sdi(), kev = Kev();
  ASSERT_EQ(sdi.size(), 16u + 24u);
  EXPECT_EQ(Le32(sdi, 16), 7u);
  EXPECT_EQ(Le32(sdi, 20), 1000u);
  EXPECT_EQ(Le32(sdi, 24), 0x80012345u);
  EXPECT_EQ(Le32(sdi, 28), 8u);
  EXPECT_EQ(Le32(sdi, 32), 1500u);
  EXPECT_EQ(Le32(sdi, 36), 0x40000001u);
  ASSERT_EQ(kev.size(), 1508u);
  EXPECT_EQ(Le32(kev, 8), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(kev, 1008), 0xFFFFFFFFu);
  EXPECT_EQ(kev[12], 0);
  EXPECT_EQ(kev[1015], 0xB6);
  // The caller's message is marked too, as the display expects.
  EXPECT_EQ(Le32(first, 12), 0xFFFFFFFFu);
  EXPECT_EQ(recorder->kevOffset, 1500u);
  EXPECT_FALSE(Exists(File("kea")));
  const auto report = Check();
  EXPECT_TRUE(report.Valid());
  EXPECT_EQ(report.frames, 2u);
}

TEST_F(RecordFiles, PreRecordedFramesComeFirstWithTheirArrivalTime) {
  recorder->AudioModule = 1;
  for (uint32_t i = 0; i < 3; ++i) {
    Bytes m = VideoMessage(100 + i, 200 + i);
    preVideo.PushFrameTagged(m.data(), static_cast<int32_t>(m.size()), static_cast<int32_t>(5000 + i), 0x77);
    Bytes a = AudioMessage(300 + i);
    preAudio.PushFrame(a.data(), static_cast<int32_t>(a.size()), 0);
  }
  Start();
  EXPECT_EQ(preVideo.FrameCount(), 0);
  EXPECT_EQ(preAudio.FrameCount(), 0);
  Video(103, 300);
  Audio(303);
  recorder->StopRecord();
  const Bytes sdi = Sdi(), kea = Kea();
  EXPECT_EQ(Le32(sdi, 12), 5000u);
  ASSERT_EQ(sdi.size(), 16u + 4 * 12);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Le32(sdi, 16 + 12 * i), 100 + i);
  EXPECT_EQ(Le32(sdi, 16 + 12 * 3 + 4), 200u + 201 + 202 + 300);
  ASSERT_EQ(kea.size(), 12u + 4 * 128);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Le32(kea, 12 + 128 * i), 300 + i);
  const auto report = Check();
  EXPECT_TRUE(report.Valid());
  EXPECT_EQ(report.audioRecords, 4u);
}

TEST_F(RecordFiles, AudioRecordsKeepPredictorAndSignExtendedStepIndex) {
  recorder->AudioModule = 1;
  Start();
  Bytes a = AudioMessage(9, 120, 0x2A, 0x92, 0x34);
  recorder->WriteAudioRecord(a.data(), 120);
  Bytes b = AudioMessage(10, 120, 0xF0, 0x01, 0x80);
  recorder->WriteAudioRecord(b.data(), 120);
  recorder->StopRecord();
  const Bytes kea = Kea();
  ASSERT_EQ(kea.size(), 12u + 2 * 128);
  EXPECT_EQ(Le32(kea, 12), 9u);
  EXPECT_EQ(Bytes(kea.begin() + 16, kea.begin() + 20), (Bytes{0x92, 0x34, 0x2A, 0x00}));
  EXPECT_EQ(Bytes(kea.begin() + 20, kea.end() - 128), Bytes(a.begin() + 12, a.end()));
  EXPECT_EQ(Bytes(kea.begin() + 144, kea.begin() + 148), (Bytes{0x01, 0x80, 0xF0, 0xFF}));
  // Kept as the camera sent it, though no IMA ADPCM coder has that step.
  const auto report = Check();
  ASSERT_EQ(report.violationCount, 1u);
  EXPECT_EQ(report.violations[0].what, "IMA ADPCM step index -16 outside 0..88");
}

TEST_F(RecordFiles, ASecondStartChangesNothing) {
  recorder->AudioModule = 1;
  Start();
  Video(1, 100);
  Audio(1);
  Bytes m = VideoMessage(2, 50);
  preVideo.PushFrameTagged(m.data(), static_cast<int32_t>(m.size()), 1, 1);
  Start();
  EXPECT_EQ(preVideo.FrameCount(), 1);
  Video(2, 100);
  recorder->StopRecord();
  EXPECT_EQ(Sdi().size(), 16u + 24);
  EXPECT_EQ(Kev().size(), 208u);
  EXPECT_EQ(Kea().size(), 12u + 128);
  EXPECT_EQ(recorder->kevOffset, 200u);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(RecordFiles, AMissingFolderFailsEachOpenAndEndsAtTheFirstFrame) {
  recorder->AudioModule = 1;
  recorder->SetRecordName("c:\\nofolder\\rec");
  Start();
  using Box = std::pair<std::string, std::string>;
  EXPECT_EQ(Boxes(), (std::vector<Box>{{"Fail to open file(c:\\nofolder\\rec.sdi)", "Error"},
                                       {"Fail to open file(c:\\nofolder\\rec.kev)", "Error"},
                                       {"Fail to open file(c:\\nofolder\\rec.kea)", "Error"}}));
  // The log has the mapped path and the reason.
  const auto traces = TraceTexts();
  ASSERT_EQ(traces.size(), 3u);
  EXPECT_NE(traces[0].find(drives + "/c/nofolder/rec.sdi"), std::string::npos);
  EXPECT_NE(traces[0].find("No such file"), std::string::npos);
  EXPECT_EQ(recorder->videoRecording, 1);
  EXPECT_EQ(recorder->audioRecording, 1);
  Video(1, 100);
  EXPECT_EQ(recorder->videoRecording, 0);
  EXPECT_EQ(recorder->audioRecording, 0);
  const auto all = Boxes();
  ASSERT_EQ(all.size(), 6u);
  for (size_t i = 3; i < 6; ++i) EXPECT_EQ(all[i], Box("File was NOT opened", "Alert"));
  EXPECT_FALSE(Exists(drives + "/c/nofolder"));
}

TEST_F(RecordFiles, OpeningAnOpenFileKeepsIt) {
  CRecord file;
  ASSERT_TRUE(file.OpenOutputFile("c:\\one"));
  EXPECT_EQ(file.WriteToFile("abc", 3), 3u);
  EXPECT_TRUE(file.OpenOutputFile("c:\\one"));
  EXPECT_EQ(file.WriteToFile("de", 2), 2u);
  file.CloseOutputFile();
  EXPECT_EQ(file.WriteToFile("x", 1), 0u);
  file.CloseOutputFile();
  using Box = std::pair<std::string, std::string>;
  EXPECT_EQ(Boxes(), (std::vector<Box>{{"Already Opened(c:\\one)", "Alert"}, {"File was NOT opened", "Alert"}}));
  EXPECT_EQ(ReadFile(drives + "/c/one"), (Bytes{'a', 'b', 'c', 'd', 'e'}));
}

TEST_F(RecordFiles, WithoutAudioAnOldAudioFileIsRemoved) {
  recorder->AudioModule = 1;
  Start();
  Audio(1);
  recorder->StopRecord();
  ASSERT_TRUE(Exists(File("kea")));
  recorder->AudioModule = 0;
  Start();
  EXPECT_FALSE(Exists(File("kea")));
  EXPECT_EQ(recorder->audioRecording, 0);
  recorder->StopRecord();
  EXPECT_TRUE(Check().Valid());
}

TEST_F(RecordFiles, PayloadsOutsideFourTo60000BytesAreNotWritten) {
  Start();
  Video(1, 3);
  Video(2, 60001);
  Video(3, 4);
  Video(4, 60000);
  EXPECT_EQ(recorder->videoRecording, 1);
  recorder->StopRecord();
  const Bytes sdi = Sdi();
  ASSERT_EQ(sdi.size(), 16u + 24);
  EXPECT_EQ(Le32(sdi, 16), 3u);
  EXPECT_EQ(Le32(sdi, 32), 60004u);
  EXPECT_EQ(Kev().size(), 8u + 60004);
  EXPECT_TRUE(Check().Valid());
}

TEST_F(RecordFiles, AnotherAudioFrameSizeEndsTheAudioPartOnly) {
  recorder->AudioModule = 1;
  Bytes pre = AudioMessage(1, 24);
  preAudio.PushFrame(pre.data(), static_cast<int32_t>(pre.size()), 0);
  Start();
  Audio(2, 24);
  Audio(3, 120);
  EXPECT_EQ(recorder->audioRecording, 0);
  EXPECT_EQ(recorder->videoRecording, 1);
  Audio(4, 24);
  Video(1, 100);
  recorder->StopRecord();
  EXPECT_EQ(Kea().size(), 12u + 2 * 32);
  EXPECT_EQ(Kev().size(), 108u);
  const auto report = Check();
  EXPECT_TRUE(report.Valid());
  EXPECT_EQ(report.audioRecordSize, 32u);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(RecordFiles, AWriteFailureInTheDrainLeavesNothingRecording) {
  recorder->AudioModule = 1;
  for (uint32_t i = 0; i < 3; ++i) {
    Bytes m = VideoMessage(i, 100);
    preVideo.PushFrameTagged(m.data(), static_cast<int32_t>(m.size()), 1, 1);
    Bytes a = AudioMessage(i);
    preAudio.PushFrame(a.data(), static_cast<int32_t>(a.size()), 0);
  }
  // Headers (16 + 8) and one frame (100 + 12) fit.
  platform::SetOutputWriteBudget(16 + 8 + 112 + 50, false);
  Start();
  platform::SetOutputWriteBudget(-1, false);
  EXPECT_EQ(recorder->videoRecording, 0);
  EXPECT_EQ(recorder->audioRecording, 0);
  EXPECT_EQ(preVideo.FrameCount(), 0);
  EXPECT_EQ(preAudio.FrameCount(), 0);
  EXPECT_EQ(Sdi().size(), 28u);
  EXPECT_EQ(Kev().size(), 108u);
  EXPECT_FALSE(Exists(File("kea")));
  const auto traces = TraceTexts();
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(traces[0].rfind("---rec:write failed c:\\rec.kev", 0), 0u) << traces[0];
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(Check().Valid());
}

TEST_F(RecordFiles, RecordNameIsCutTo99BytesOnACharacterBoundary) {
  std::string name(97, 'a');
  name += "\xC3\xA9\xC3\xA9";  // two 2-byte characters: 97 + 2 fits, the next does not
  recorder->SetRecordName(name);
  EXPECT_EQ(recorder->RecordName(), std::string(97, 'a') + "\xC3\xA9");
  recorder->SetRecordName(std::string(150, 'b'));
  EXPECT_EQ(recorder->RecordName(), std::string(99, 'b'));
  recorder->SetRecordName("c:\\live3");
  EXPECT_EQ(recorder->RecordName(), "c:\\live3");
}

TEST(SecondsSince2000, CountsFromTheStartOf2000) {
  EXPECT_EQ(SecondsSince2000({2000, 1, 1, 0, 0, 10, 0}), 10u);
  EXPECT_EQ(SecondsSince2000({2000, 3, 1, 0, 0, 0, 0}), 60u * 86400);
  EXPECT_EQ(SecondsSince2000({2026, 12, 9, 13, 5, 0, 0}), 850136700u);
  EXPECT_EQ(recinfo::FormatStartTime(850136700u), "2026-12-09 13:05:00");
  EXPECT_EQ(recinfo::FormatStartTime(60u * 86400), "2000-03-01 00:00:00");
}

}  // namespace
}  // namespace record_test

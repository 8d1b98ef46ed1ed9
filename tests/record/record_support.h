// Shared pieces of the recording tests: a temporary drive tree with the
// local time 5:30 ahead of UTC, captured message boxes, camera messages and
// the recording's files.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/recorder.h"
#include "engine/wire_protocol.h"
#include "platform/message_box.h"
#include "tools/velmora-recinfo/recording.h"

namespace record_test {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Seconds since 2000-01-01 00:00:00 of the local clock, 5:30 ahead of UTC,
// read from the clock the recorder reads: time() runs a few milliseconds
// behind it, so just after a second turns it still gives the one before.
inline int64_t LocalSecondsNow() {
  return static_cast<int64_t>(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now())) + 19800 -
         946684800;
}

inline int OpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// A VideoFrame message: timestamp, frame type (2 key, 1 droppable) and n
// payload bytes whose first four hold the tag, then FF FF FF FF's picture.
inline Bytes VideoMessage(uint32_t timestamp, uint32_t n, uint32_t tag = 0x12345, uint8_t fill = 0x5A) {
  Bytes m(wire::kHeaderSize + n, fill);
  m[0] = 0x10;
  m[1] = 0x01;
  m[2] = 0x81;
  m[3] = 0;
  wire::WriteLe32(&m[4], n);
  m[6] = 0x1D;
  m[7] = 0xDE;
  wire::WriteLe32(&m[8], timestamp);
  for (uint32_t i = 0; i < 4 && i < n; ++i) m[12 + i] = static_cast<uint8_t>(tag >> (8 * i));
  if (n >= 8) {
    m[16] = 0;
    m[17] = 0;
    m[18] = 1;
    m[19] = 0xB6;
  }
  return m;
}

inline Bytes AudioMessage(uint32_t timestamp, uint32_t n = 120, uint8_t stepIndex = 0x2A, uint8_t p6 = 0x92,
                          uint8_t p7 = 0x34) {
  Bytes m(wire::kHeaderSize + n);
  m[0] = 0x01;
  m[1] = 0x10;
  m[3] = stepIndex;
  m[4] = static_cast<uint8_t>(n);
  m[5] = static_cast<uint8_t>(n >> 8);
  m[6] = p6;
  m[7] = p7;
  wire::WriteLe32(&m[8], timestamp);
  for (uint32_t i = 0; i < n; ++i) m[12 + i] = static_cast<uint8_t>(timestamp * 3 + i);
  return m;
}

inline uint32_t Le32(const Bytes& b, size_t at) { return wire::ReadLe32(&b[at]); }

class RecordingFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-record-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    drives = root + "/drives";
    setenv("VELMORA_DRIVES", drives.c_str(), 1);
    oldTz = std::getenv("TZ") ? std::getenv("TZ") : "";
    setenv("TZ", "IST-5:30", 1);
    tzset();
    platform::SetMessageBoxSink([this](const std::string& text, const std::string& title) {
      std::lock_guard<std::mutex> lock(boxMutex);
      boxes.emplace_back(text, title);
    });
    recorder = std::make_unique<CMakeFile>();
    recorder->passMessage.Set([this](int32_t number, const char* text) {
      std::lock_guard<std::mutex> lock(boxMutex);
      traces.emplace_back(number, text);
    });
    recorder->SetRecordName("c:\\rec");
  }

  void TearDown() override {
    recorder.reset();
    platform::SetMessageBoxSink(nullptr);
    platform::SetOutputWriteBudget(-1, false);
    if (oldTz.empty()) unsetenv("TZ");
    else setenv("TZ", oldTz.c_str(), 1);
    tzset();
    unsetenv("VELMORA_DRIVES");
    const std::string command = "rm -rf '" + root + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  std::string File(const std::string& ext, const std::string& base = "rec") const {
    return drives + "/c/" + base + "." + ext;
  }
  Bytes Sdi() const { return ReadFile(File("sdi")); }
  Bytes Kev() const { return ReadFile(File("kev")); }
  Bytes Kea() const { return ReadFile(File("kea")); }

  recinfo::Report Check(bool live = false, const recinfo::FrameSink& sink = {}, const std::string& base = "rec") {
    const auto sdi = recinfo::OpenFile(File("sdi", base));
    const auto kev = recinfo::OpenFile(File("kev", base));
    const auto kea = recinfo::OpenFile(File("kea", base));
    return recinfo::Check(sdi.get(), kev.get(), kea.get(), live, sink);
  }

  void Video(uint32_t timestamp, uint32_t n, uint32_t tag = 0x12345) {
    Bytes m = VideoMessage(timestamp, n, tag);
    recorder->WriteVideoRecord(m.data(), n);
  }
  void Audio(uint32_t timestamp, uint32_t n = 120) {
    Bytes m = AudioMessage(timestamp, n);
    recorder->WriteAudioRecord(m.data(), n);
  }
  void Start() { recorder->StartRecord(preVideo, preAudio); }

  std::vector<std::pair<std::string, std::string>> Boxes() {
    std::lock_guard<std::mutex> lock(boxMutex);
    return boxes;
  }
  std::vector<std::string> TraceTexts() {
    std::lock_guard<std::mutex> lock(boxMutex);
    std::vector<std::string> out;
    for (auto& t : traces) out.push_back(t.second);
    return out;
  }

  std::string root, drives, oldTz;
  std::unique_ptr<CMakeFile> recorder;
  CManage2DBUF preVideo{1000};
  CManage2DBUF preAudio{1000};
  std::mutex boxMutex;
  std::vector<std::pair<std::string, std::string>> boxes;
  std::vector<std::pair<int32_t, std::string>> traces;
};

}  // namespace record_test

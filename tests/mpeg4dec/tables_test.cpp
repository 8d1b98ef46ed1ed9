// The generated code tables and scans against the plain-data files they were
// made from: every code must decode to its listed values through the same
// lookups the decoder uses.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "vlc_tables.h"

using namespace quenda;

namespace {

struct Row {
  std::string code;
  std::vector<int> values;
};

std::vector<Row> ReadTable(const std::string& name) {
  std::ifstream in(std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/tables/" + name + ".txt");
  EXPECT_TRUE(in.good()) << name;
  std::string line;
  std::getline(in, line);
  std::vector<Row> rows;
  while (std::getline(in, line)) {
    std::istringstream fields(line.substr(0, line.find('#')));
    Row r;
    int length;
    if (!(fields >> r.code >> length)) continue;
    EXPECT_EQ(size_t(length), r.code.size());
    for (int v; fields >> v;) r.values.push_back(v);
    rows.push_back(r);
  }
  return rows;
}

using Lookup = std::function<VlcEntry(uint32_t)>;

// Checks the code with its trailing bits all 0 and all 1.
void ExpectDecodes(const Row& r, int peekBits, const Lookup& lookup, const std::vector<int>& expected,
                   const std::string& table) {
  const int len = int(r.code.size());
  uint32_t bits = 0;
  for (char c : r.code) bits = bits << 1 | uint32_t(c == '1');
  for (uint32_t tail : {0u, (1u << (peekBits - len)) - 1}) {
    const VlcEntry e = lookup(bits << (peekBits - len) | tail);
    SCOPED_TRACE(table + " code " + r.code);
    EXPECT_EQ(e.length, len);
    const int got[3] = {e.a, e.b, e.c};
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(got[i], expected[i]) << "value " << i;
  }
}

void CheckTable(const std::string& name, int peekBits, const Lookup& lookup, size_t valueCount) {
  const auto rows = ReadTable(name);
  ASSERT_FALSE(rows.empty()) << name;
  for (const Row& r : rows) {
    std::vector<int> expected(r.values.begin(), r.values.begin() + long(valueCount));
    ExpectDecodes(r, peekBits, lookup, expected, name);
  }
}

TEST(VlcTables, EveryCodeOfEveryTableDecodes) {
  CheckTable("mcbpc_intra", 9, [](uint32_t c) { return kMcbpcIntraTable[c]; }, 2);
  CheckTable("mcbpc_inter", 9, [](uint32_t c) { return kMcbpcInterTable[c]; }, 2);
  CheckTable("cbpy", 6, [](uint32_t c) { return kCbpyTable[c]; }, 1);
  CheckTable("mvd", 12, LookupMvd, 1);
  CheckTable("dc_size_luma", 11, LookupDcSizeLuma, 1);
  CheckTable("dc_size_chroma", 12, LookupDcSizeChroma, 1);
  CheckTable("tcoef_intra", 12, [](uint32_t c) { return LookupTcoef(kTcoefIntraTable, c); }, 3);
  CheckTable("tcoef_inter", 12, [](uint32_t c) { return LookupTcoef(kTcoefInterTable, c); }, 3);
}

TEST(VlcTables, UnusedPatternsMatchNothing) {
  for (uint32_t c : {0u, 2u, 3u, 4u, 5u, 6u, 7u}) EXPECT_EQ(kMcbpcIntraTable[c].length, 0) << c;
  EXPECT_EQ(kMcbpcInterTable[0].length, 0);
  EXPECT_EQ(kCbpyTable[0].length, 0);
  EXPECT_EQ(kCbpyTable[1].length, 0);
  EXPECT_EQ(LookupDcSizeLuma(0).length, 0);
  EXPECT_EQ(LookupDcSizeChroma(0).length, 0);
  for (uint32_t c = 0; c < 8; ++c) EXPECT_EQ(LookupTcoef(kTcoefIntraTable, c).length, 0);
  EXPECT_EQ(LookupMvd(1).length, 0);
}

TEST(VlcTables, ScansMatchTheDataFiles) {
  const std::pair<const char*, const uint8_t*> scans[] = {{"scan_zigzag", kScanZigzag},
                                                           {"scan_alternate_horizontal", kScanAlternateHorizontal},
                                                           {"scan_alternate_vertical", kScanAlternateVertical}};
  for (const auto& [name, scan] : scans) {
    std::ifstream in(std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/tables/" + name + ".txt");
    std::string header;
    std::getline(in, header);
    int position, index, n = 0;
    while (in >> position >> index) {
      EXPECT_EQ(scan[position], index) << name << " position " << position;
      ++n;
    }
    EXPECT_EQ(n, 64) << name;
  }
  EXPECT_EQ(kScanAlternateHorizontal[7], 17);
  EXPECT_EQ(kScanAlternateVertical[7], 10);
}

}  // namespace

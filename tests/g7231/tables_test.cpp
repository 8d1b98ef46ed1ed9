// The committed C++ tables hold exactly the values of the plain-data files.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "g7231/tables.h"

namespace {

struct TableRef {
  const char* file;
  const void* data;
  size_t count;
  bool wide;  // int32_t elements
};

#define G7231_TABLE(file, name, wide) TableRef{file, &name, sizeof(name) / ((wide) ? 4 : 2), wide}

const TableRef kTables[] = {
    G7231_TABLE("lsp_dc", g7231::kLspDc, false),
    G7231_TABLE("lsp_band0", g7231::kLspBand0, false),
    G7231_TABLE("lsp_band1", g7231::kLspBand1, false),
    G7231_TABLE("lsp_band2", g7231::kLspBand2, false),
    G7231_TABLE("cosine", g7231::kCosine, false),
    G7231_TABLE("fixed_cb_gain", g7231::kFixedCbGain, false),
    G7231_TABLE("acb_gain85", g7231::kAcbGain85, false),
    G7231_TABLE("acb_gain170", g7231::kAcbGain170, false),
    G7231_TABLE("sharpening_lag_offset", g7231::kSharpeningLagOffset, false),
    G7231_TABLE("sharpening_gain", g7231::kSharpeningGain, false),
    G7231_TABLE("pulses_per_subframe", g7231::kPulsesPerSubframe, false),
    G7231_TABLE("position_limit", g7231::kPositionLimit, true),
    G7231_TABLE("combinatorial", g7231::kCombinatorial, true),
    G7231_TABLE("postfilter_zero", g7231::kPostfilterZero, false),
    G7231_TABLE("postfilter_pole", g7231::kPostfilterPole, false),
    G7231_TABLE("pitch_postfilter_gain_weight", g7231::kPitchPostfilterGainWeight, false),
    G7231_TABLE("sid_gain_weight", g7231::kSidGainWeight, false),
    G7231_TABLE("sid_gain_base", g7231::kSidGainBase, false),
    G7231_TABLE("sid_gain_threshold", g7231::kSidGainThreshold, true),
    G7231_TABLE("normalize_shift", g7231::kNormalizeShift, false),
    G7231_TABLE("cng_lag_offset", g7231::kCngLagOffset, false),
};

TEST(Tables, MatchDataFiles) {
  for (const TableRef& t : kTables) {
    SCOPED_TRACE(t.file);
    std::ifstream in(std::string(VELMORA_REFERENCE_DIR) + "/g7231/tables/" + t.file + ".txt");
    ASSERT_TRUE(in) << "missing data file";
    std::string header;
    std::getline(in, header);
    std::vector<long> values;
    long v;
    while (in >> v) values.push_back(v);
    ASSERT_EQ(values.size(), t.count);
    for (size_t i = 0; i < t.count; ++i) {
      const long have = t.wide ? static_cast<const int32_t*>(t.data)[i] : static_cast<const int16_t*>(t.data)[i];
      ASSERT_EQ(have, values[i]) << "entry " << i;
    }
  }
}

}  // namespace

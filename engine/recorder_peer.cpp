#include "engine/recorder_peer.h"

#include <algorithm>
#include <cstring>

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

uint32_t SecondsSince2000(const platform::LocalTime& t) {
  const int64_t days = DaysFromCivil(t.year, t.month, t.day) - DaysFromCivil(2000, 1, 1);
  const int64_t seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return static_cast<uint32_t>(seconds);
}

void RecorderPeer::SetRecordName(const std::string& name) {
  size_t n = std::min(name.size(), static_cast<size_t>(kNameSize - 1));
  // Never keep the first bytes of a character without its continuation bytes.
  if (n < name.size())
    while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
  platform::Lock guard(recnameLock);
  std::memcpy(recname, name.data(), n);
  recname[n] = 0;
}

std::string RecorderPeer::RecordName() {
  platform::Lock guard(recnameLock);
  return recname;
}

// The formatter's local creation date on POSIX hosts, where TZ chooses the
// time zone from inside the process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "format_test_util.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::FormatArgs;
using test::TempDir;
using test::Volume;

// The creation date is local standard time: UTC less the zone's bias, with
// no daylight-saving part.
TEST(FormatLayout, CreateDateIsLocalStandardTime) {
  const char* saved = std::getenv("TZ");
  const std::string restore = saved != nullptr ? saved : "";
  const struct {
    const char* zone;
    int32_t biasSeconds;
  } zones[] = {{"UTC0", 0}, {"XST5", 5 * 3600}, {"YST-9:30", -(9 * 3600 + 1800)}, {"ZST8ZDT,M1.1.0,M12.5.0", 8 * 3600}};
  for (const auto& z : zones) {
    SCOPED_TRACE(z.zone);
    setenv("TZ", z.zone, 1);
    TempDir dir;
    const std::string path = (dir.path() / "v.hfs").string();
    FormatArgs args;
    args.size = 10485760;
    ASSERT_EQ(test::message_of(args.format(path)), "");
    Volume v(path);
    EXPECT_EQ(v.vh.createDate, v.vh.modifyDate - static_cast<uint32_t>(z.biasSeconds));
  }
  if (saved != nullptr) {
    setenv("TZ", restore.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
}

}  // namespace
}  // namespace volpack

// What the command makes of the library's figures: rates in the unit people read, and the result document
// with the command's own members after the library's.
#include <gtest/gtest.h>

#include <string>

#include "report.h"

namespace {

TEST(RateText, ThreeSignificantFiguresInMbitBelow1000AndGbitAbove) {
  const struct {
    double mbps;
    const char *text;
  } cases[] = {
      {0, "0 Mbit/s"},         {0.01234, "0.0123 Mbit/s"}, {1.5, "1.50 Mbit/s"},
      {9.996, "10.0 Mbit/s"},  // rounding adds a digit: the decimals follow the rounded value
      {94.14, "94.1 Mbit/s"},  {941.4, "941 Mbit/s"},      {999.4, "999 Mbit/s"},
      {999.7, "1.00 Gbit/s"},  // rounds to 1000: shown in the larger unit
      {1234.5, "1.23 Gbit/s"}, {12345, "12.3 Gbit/s"},     {123456, "123 Gbit/s"},
  };
  for (const auto &c : cases) EXPECT_EQ(rate_text(c.mbps), c.text) << c.mbps;
}

TEST(ComposeResult, TheLibrarysTextStaysAsItIsAndOursFollows) {
  const char *library =
      "{\"server\":\"127.0.0.1:9301\",\"ping_ms\":0.1234567890123,\"jitter_ms\":0.0,\"download_mbps\":941."
      "0000000001,\"upload_mbps\":0.0,\"duration_ms\":2000,\"phase\":\"complete\"}";
  const std::string base(library, std::string(library).size() - 1);
  RunReport run;
  run.timestamp = "2026-12-10T13:45:07.250Z";
  EXPECT_EQ(compose_result(library, run), base + ",\"version\":1,\"timestamp\":\"2026-12-10T13:45:07.250Z\"}")
      << "no transfer: the schema version and the time only";

  LoadedReport &loaded = run.loaded;
  loaded.idle = true;
  loaded.idle_latency = {10, 0, 0.5, 0.75, 0.125, 0.25, 0.25};
  loaded.download = true;
  loaded.download_latency = {2, 1, 81.5, 90, 1, 40, 41.5};
  loaded.upload = true;  // ran, but no probe came back: no figures to give
  loaded.upload_latency.lost = 3;
  run.download.responsiveness = {true, 1191.66, Confidence::medium, 50.25, 50.5, 38};
  run.download.ended_early = true;
  run.download.planned_ms = 6000;
  run.download.ran_ms = 3012.4;
  EXPECT_EQ(compose_result(library, run),
            base +
                ",\"version\":1,\"timestamp\":\"2026-12-10T13:45:07.250Z\","
                "\"idle_latency\":{\"median_ms\":0.5,\"p90_ms\":0.75,\"jitter_ms\":0.125,\"samples\":10,"
                "\"lost\":0,\"connect_ms\":0.25,\"reply_ms\":0.25},"
                "\"loaded_latency\":{\"download\":{\"median_ms\":81.5,\"p90_ms\":90.0,\"jitter_ms\":1.0,"
                "\"samples\":2,\"lost\":1,\"connect_ms\":40.0,\"reply_ms\":41.5,\"increase_ms\":41.25,"
                "\"grade\":\"B\"},"
                "\"upload\":{\"median_ms\":null,\"p90_ms\":null,\"jitter_ms\":null,\"samples\":0,\"lost\":3,"
                "\"connect_ms\":null,\"reply_ms\":null,\"increase_ms\":null,\"grade\":null}},"
                "\"responsiveness\":{\"download\":{\"rpm\":1192,\"confidence\":\"medium\","
                "\"basis\":\"from fresh-connection TCP probes\",\"connect_ms\":50.25,\"reply_ms\":50.5,"
                "\"probes\":38},"
                "\"upload\":{\"rpm\":null,\"confidence\":\"low\",\"basis\":\"from fresh-connection TCP "
                "probes\",\"connect_ms\":null,\"reply_ms\":null,\"probes\":0}},"
                "\"ended_early\":{\"download\":{\"planned_ms\":6000,\"ran_ms\":3012}}}");
}

TEST(Timestamp, Rfc3339InUtcWithMilliseconds) {
  using std::chrono::milliseconds;
  const std::chrono::system_clock::time_point epoch{};
  EXPECT_EQ(rfc3339_utc(epoch), "1970-01-01T00:00:00.000Z");
  // 2026-12-10 13:45:07.250 UTC
  EXPECT_EQ(rfc3339_utc(epoch + milliseconds(1796910307250LL)), "2026-12-10T13:45:07.250Z");
  EXPECT_EQ(rfc3339_utc(epoch + milliseconds(951782400999LL)), "2000-02-29T00:00:00.999Z");  // a leap day
}

}  // namespace

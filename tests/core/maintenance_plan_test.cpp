#include <gtest/gtest.h>

#include "core/maintenance_plan.h"

namespace {

using Action = MaintenancePlan::ScheduleAction;

TEST(MaintenancePlan, ClaimAndHeartbeatPacing) {
  MaintenancePlan p(1000, MaintenanceTimings{});
  EXPECT_TRUE(p.claim_due(6000));     // first pass
  EXPECT_FALSE(p.claim_due(36000));   // exactly 30 s later: not yet
  EXPECT_TRUE(p.claim_due(36001));
  EXPECT_TRUE(p.heartbeat_due(6000));
  EXPECT_FALSE(p.heartbeat_due(16000));
  EXPECT_TRUE(p.heartbeat_due(21000));
}

TEST(MaintenancePlan, Schedule) {
  MaintenancePlan p(0, MaintenanceTimings{});
  const std::int64_t day = 86400000, week = 604800000, t0 = 1700000000000;
  struct Case {
    Json settings;
    std::int64_t now;
    bool scanning;
    Action want;
  } cases[] = {
      {Json{{"schedule", "off"}, {"last_scheduled_scan", 0}}, t0, false, Action::None},
      {Json{{"schedule", "daily"}, {"last_scheduled_scan", 0}}, t0, false, Action::SetBaseline},
      {Json::object(), t0, false, Action::SetBaseline},  // weekly by default
      {Json{{"schedule", "daily"}, {"last_scheduled_scan", t0}}, t0 + day - 1, false, Action::None},
      {Json{{"schedule", "daily"}, {"last_scheduled_scan", t0}}, t0 + day, false, Action::StartScan},
      {Json{{"schedule", "daily"}, {"last_scheduled_scan", t0}}, t0 + day, true, Action::None},
      {Json{{"schedule", "weekly"}, {"last_scheduled_scan", t0}}, t0 + day, false, Action::None},
      {Json{{"schedule", "monthly"}, {"last_scheduled_scan", t0}}, t0 + week, false, Action::StartScan},
      {Json{{"schedule", 7}, {"last_scheduled_scan", t0}}, t0 + week, false, Action::StartScan},
  };
  for (const auto& c : cases) EXPECT_EQ(p.schedule_action(c.settings, c.now, c.scanning), c.want) << c.settings.dump();
}

}  // namespace

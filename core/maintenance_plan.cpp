#include "core/maintenance_plan.h"

namespace {
MaintenanceTimings& timings_cell() {
  static MaintenanceTimings t;
  return t;
}
}  // namespace

const MaintenanceTimings& maintenance_timings() { return timings_cell(); }
void override_maintenance_timings(const MaintenanceTimings& timings) { timings_cell() = timings; }

MaintenancePlan::MaintenancePlan(std::int64_t thread_started, const MaintenanceTimings& timings)
    : t_(timings), started_(thread_started) {}

bool MaintenancePlan::claim_due(std::int64_t now) {
  if (last_claim_ && now - *last_claim_ <= t_.claim_retry_ms) return false;
  last_claim_ = now;
  return true;
}

bool MaintenancePlan::heartbeat_due(std::int64_t now) {
  if (last_heartbeat_ && now - *last_heartbeat_ <= t_.heartbeat_ms) return false;
  last_heartbeat_ = now;
  return true;
}

MaintenancePlan::ScheduleAction MaintenancePlan::schedule_action(const Json& settings, std::int64_t now,
                                                                 bool scanning) const {
  std::string schedule = "weekly";
  if (settings.is_object() && settings.contains("schedule") && settings["schedule"].is_string())
    schedule = settings["schedule"].get<std::string>();
  if (schedule == "off") return ScheduleAction::None;
  const std::int64_t period = schedule == "daily" ? t_.day_ms : t_.week_ms;
  std::int64_t last = 0;
  if (settings.is_object() && settings.contains("last_scheduled_scan") && settings["last_scheduled_scan"].is_number())
    last = settings["last_scheduled_scan"].get<std::int64_t>();
  if (last == 0) return ScheduleAction::SetBaseline;
  if (now - last >= period && !scanning) return ScheduleAction::StartScan;
  return ScheduleAction::None;
}

#include "api/state_document.h"

#include "app/command_line.h"
#include "core/protection_controller.h"
#include "core/signature_updater.h"
#include "platform/process_info.h"

const char* const kPlatformName = "linux";

Json state_document(const ProtectionController& controller) {
  // Each block is read under its owner's lock, one after the other.
  Json doc = Json::object();
  doc["version"] = kProgramVersion;
  doc["settings"] = controller.settings_json();
  doc["settings_persistence"] = controller.settings_persistence();
  doc["protection"] = controller.protection_state();
  doc["updates"] = controller.updates_state();
  doc["elevated"] = is_elevated();
  doc["server"] = kSiteBaseUrl;
  doc["platform"] = kPlatformName;
  return doc;
}

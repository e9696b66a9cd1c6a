#include "tests/probe/recording_ui.h"

#include "ui/dialogs.h"
#include "ui/ui.h"

namespace {
int32_t g_next_handle = 1;
}

std::vector<ListInsert>& ListInserts() {
  static std::vector<ListInsert> inserts;
  return inserts;
}

void UiStartup() {}
UiHandle NewWindow(int32_t, int32_t, int32_t, int32_t, int32_t, const char*, uint32_t) {
  return g_next_handle++;
}
UiHandle NewDropDownList(int32_t, int32_t, int32_t, int32_t, int32_t) { return g_next_handle++; }
UiHandle NewTextField(int32_t, int32_t, int32_t, int32_t, int32_t, const char*) {
  return g_next_handle++;
}
UiHandle NewPushButton(int32_t, int32_t, int32_t, int32_t, int32_t, const char*) {
  return g_next_handle++;
}
UiHandle NewProgressBar(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t) {
  return g_next_handle++;
}
int32_t InsertListItem(UiHandle list, int32_t position, const char* text) {
  ListInserts().push_back({list, position, text ? text : ""});
  return 1;
}
void DisableControl(UiHandle, int32_t) {}
std::string GetControlText(UiHandle) { return std::string(); }
void SetControlText(UiHandle, const char*) {}
void SetControlValue(UiHandle, int32_t) {}
int32_t PollEvent(int32_t) { return 0; }
int32_t EventSource() { return 0; }
int32_t EventDetail() { return -1; }
int32_t EventCommand() { return 0; }
void ReleaseWindows() {}

int32_t ShowMessage(const char*, const char*, uint32_t) { return 1; }
std::string ChooseFileToOpen(const char*, const char*, const char*, int32_t) {
  return std::string();
}

#include "client/ui/dialog_template.h"

#include <array>

namespace tervane {
namespace {

constexpr std::array<TemplateControl, 13> kControls = {{
    {kNoId, ControlKind::kGroupBox, "设置待同步的目录(可多设)", QRect(15, 3, 193, 115)},
    {kIdDirectoryList, ControlKind::kListBox, "", QRect(21, 15, 179, 93)},
    {kIdAddDirectory, ControlKind::kPushButton, "添加", QRect(214, 70, 38, 14)},
    {kIdRemoveDirectory, ControlKind::kPushButton, "删除", QRect(214, 92, 38, 14)},
    {kNoId, ControlKind::kGroupBox, "开始同步时间", QRect(16, 123, 192, 33)},
    {kIdStartTime, ControlKind::kTimePicker, "", QRect(56, 137, 63, 13)},
    {kNoId, ControlKind::kStaticText, "", QRect(123, 139, 83, 11)},
    {kNoId, ControlKind::kGroupBox, "同步服务器地址", QRect(16, 162, 193, 32)},
    {kIdServerAddress, ControlKind::kAddressEdit, "", QRect(56, 174, 100, 15)},
    {kIdAutoSync, ControlKind::kPushButton, "自动同步", QRect(214, 126, 38, 14)},
    {kIdManualSync, ControlKind::kPushButton, "手工同步", QRect(214, 144, 38, 14)},
    {kIdStatus, ControlKind::kStaticText, "就绪", QRect(16, 202, 236, 11)},
    {kIdCancel, ControlKind::kPushButton, "退出(&Q)", QRect(214, 189, 38, 14)},
}};

}  // namespace

std::span<const TemplateControl> Template102() { return kControls; }

const TemplateControl* FindTemplateControl(int id) {
  if (id == kNoId) return nullptr;
  for (const TemplateControl& control : kControls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

}  // namespace tervane

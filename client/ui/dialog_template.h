// Dialog template 102, the main dialog's fixed arrangement: every control
// with its id, kind, caption and place in dialog units. CAmbrelDlg builds its
// widgets from this table and names each one after its id.
#ifndef TERVANE_CLIENT_UI_DIALOG_TEMPLATE_H_
#define TERVANE_CLIENT_UI_DIALOG_TEMPLATE_H_

#include <QRect>
#include <QSize>
#include <span>

namespace tervane {

// Control ids of template 102. Group boxes and the empty static text have
// no id of their own (kNoId).
inline constexpr int kNoId = -1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdManualSync = 1001;
inline constexpr int kIdAutoSync = 1002;
inline constexpr int kIdStatus = 1006;
inline constexpr int kIdAddDirectory = 1009;
inline constexpr int kIdRemoveDirectory = 1010;
inline constexpr int kIdDirectoryList = 1012;
inline constexpr int kIdStartTime = 1013;
inline constexpr int kIdServerAddress = 1014;

enum class ControlKind { kGroupBox, kListBox, kPushButton, kTimePicker, kStaticText, kAddressEdit };

struct TemplateControl {
  int id;
  ControlKind kind;
  const char* caption;  // UTF-8; empty for controls that show data
  QRect dlu;            // x, y, width, height in dialog units
};

// The dialog's client area, in dialog units.
inline constexpr QSize kDialogSizeDlu(270, 218);
// The window title; the program's display name (kProgramName, the caption
// of its message boxes) is the same word.
inline constexpr const char kDialogTitle[] = "Ostrova";

// Every control of the template, in the template's order (which is also the
// tab order).
std::span<const TemplateControl> Template102();

// The entry with this id, or nullptr.
const TemplateControl* FindTemplateControl(int id);

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_DIALOG_TEMPLATE_H_

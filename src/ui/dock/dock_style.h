#pragma once

#include <QString>

class QLabel;
class QWidget;

namespace quillmarch {

// Looks shared by the dock's groups.
namespace dockstyle {

// A message that reports a failure.
inline constexpr const char kErrorText[] = "color: #d9534f;";
// The dot before the live status: live data arrives, or it does not (yet).
inline constexpr const char kLiveColour[] = "#3cb371";
inline constexpr const char kWaitingColour[] = "#d9a441";

// A word-wrapped, selectable explanation in a smaller, muted font.
QLabel *hintLabel(const QString &text, QWidget *parent);

} // namespace dockstyle

} // namespace quillmarch

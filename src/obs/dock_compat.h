#pragma once

class QWidget;

namespace quillmarch {

// OBS 30 added id-based docks (obs_frontend_add_dock_by_id and
// obs_frontend_remove_dock); OBS 29 only takes a QDockWidget. These two
// functions hide the difference from the dock itself.
bool addObsDock(const char *id, const char *title, QWidget *widget);
void removeObsDock(const char *id);

} // namespace quillmarch

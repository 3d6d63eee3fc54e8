#pragma once

// The dock inside OBS's window, from module load to unload. Needs App.
void dock_register();
void dock_unregister();

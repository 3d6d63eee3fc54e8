#pragma once

// OBS source types of the plug-in. Called from the module entry points.
void sources_register();
void sources_connect_live_data();
const char *sources_default_text_template();

// Registration of each source type, called by sources_register().
void text_source_register();
void graphics_source_register();
void visibility_filter_register();
// The filters follow live changes (the text sources' part is
// sources_connect_live_data()).
void visibility_filter_connect_live_data();

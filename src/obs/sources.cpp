#include "sources.h"

void sources_register()
{
	text_source_register();
	graphics_source_register();
	visibility_filter_register();
}

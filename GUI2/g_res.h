// The wizard's dialog templates (its resources), registered once per process.
#pragma once

void gui_load_resources();

// The host's render-state setter, through which the module changes every
// render state it needs.
#pragma once

#include "lightvol.h"

extern RenderStateCallback g_set_render_state;

// The drawn alert: the window layer's way of showing an alert (window 995),
// installed as the alert call's drawer (support/alert.h) once the GL
// interface is up.
#pragma once

#include <string>

#include "support/alert.h"

// The drawn alert: window 995 with the lines, and for type 2 the location,
// run as a modal loop of frames until its button or Return is pressed (or
// the window is closed). Installed as `alert_drawer` by HL_use_drawn_alerts().
void MACIBM_draw_alert(int return_window, const std::string lines[4], int type, const std::string& where);
void HL_use_drawn_alerts();

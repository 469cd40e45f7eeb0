// The installer's preferences and agreement screens, and the picture
// buttons drawn from the interface image that every installer screen uses.
#pragma once

#include <string>
#include <vector>

// The user has accepted the licence agreement in this run (not stored).
extern int agreed;

// Draws the w x h rectangle of the interface image whose lower-left texel
// is (s, t) at (x, y) of the current window, tinted (0 none, 1 green,
// 2 red). With hilite, the hover and pressed looks (stored h + 1 and
// 2 * (h + 1) texels lower) follow the pointer. Returns 1 when the mouse
// button went down inside the rectangle this frame.
int interface_rect(float x, float y, float s, float t, float w, float h, int hilite, int tint);

// The 64 x 64 icon `index` of the icon grid (8 to a row).
int interface_icon(float x, float y, int index);
// The lower-left texel of icon `index`.
void interface_icon_texels(int index, float& s, float& t);

// The rectangle drawn greyed and inert (a disabled picture button).
void interface_rect_greyed(float x, float y, float s, float t, float w, float h);

// The proxy port typed by the user: an optional leading sign and 1 to 9
// digits give its value; any other non-empty text gives -1; an empty text
// keeps `current`.
int proxy_port_from_text(const std::string& text, int current);

// One pass of the preferences screen (window 2 must be current).
void draw_prefs();
// The preferences screen; returns when its window was closed.
void handle_prefs();

// The licence built into the program (plain text, paragraphs separated by
// line breaks).
const std::string& licence_text();
// The licence wrapped to `width` units of the proportional font: one entry
// per line, an empty entry for an empty line. A word wider than `width` is
// broken where it reaches the edge.
std::vector<std::string> licence_lines(float width);
// First licence line shown on the agreement screen; the wheel and the
// arrow, page and Home/End keys move it. Back to 0 whenever the screen opens.
extern int licence_scroll;

// One pass of the agreement screen (window 1 must be current).
void draw_EULA();
// The agreement screen; 1 when the user accepted, now or earlier in this run.
int handle_EULA();

// The text-edit engine and the text field built on it.
//
// OGLE keeps the selection and line layout of one text and asks its
// callbacks for everything else (the text, widths, drawing), so it knows
// nothing of strings, fonts or GL. One record serves every text field: it is
// bound to the field that has the keyboard focus.
//
// Keys: 8 Backspace, 127 Delete (removes the character after the caret),
// 28 Left, 29 Right, 30 Up, 31 Down, 1 Home and 4 End (start and end of the
// line); other printable characters (Latin-1 codes) are typed; other
// control characters are ignored. The text is UTF-8: the caret and the
// deleting keys step over whole characters, and typed characters beyond
// ASCII are stored as their UTF-8 sequences. A field also takes Ctrl+A
// (select all) and Ctrl+C, Ctrl+X, Ctrl+V (the system clipboard).
#pragma once

#include <string>
#include <vector>

struct OGLE_Rec;

struct OGLE_Callbacks {
  void (*GetVisibleBounds_f)(OGLE_Rec*, float& left, float& bottom, float& right, float& top);
  void (*GetLogicalBounds_f)(OGLE_Rec*, float& left, float& bottom, float& right, float& top);
  void (*SetLogicalHeight_f)(OGLE_Rec*, float height);
  void (*ScrollTo_f)(OGLE_Rec*, float x, float y);
  void (*GetText_f)(OGLE_Rec*, const char*& begin, const char*& end);
  void (*ReplaceText_f)(OGLE_Rec*, int start, int end, const char* new_begin, const char* new_end);
  float (*GetLineHeight_f)(OGLE_Rec*);
  float (*MeasureString_f)(OGLE_Rec*, const char* begin, const char* end);
  int (*FitStringFwd_f)(OGLE_Rec*, const char* begin, const char* end, float width);
  int (*FitStringRev_f)(OGLE_Rec*, const char* begin, const char* end, float width);
  void (*DrawString_f)(OGLE_Rec*, const char* begin, const char* end, float x, float y);
  void (*DrawSelection_f)(OGLE_Rec*, float left, float bottom, float right, float top);
  const char* (*WordBreak_f)(OGLE_Rec*, const char* begin, const char* end);
};

struct OGLE_Rec {
  OGLE_Callbacks callbacks;
  void* ref;
  std::vector<int> line_starts;  // offset of each line after the first
  int sel_start;
  int sel_end;
  int active_side;       // 1: sel_end moves; 0: sel_start moves
  float horizontal_gap;  // x kept while moving up and down; -1 when not set
};

OGLE_Rec* OGLE_Create(const OGLE_Callbacks& callbacks, void* ref);
void OGLE_Destroy(OGLE_Rec* rec);
void OGLE_Draw(OGLE_Rec* rec, int show_selection);
// Character codes of the line keys.
enum { OGLE_home = 1, OGLE_end = 4 };
void OGLE_Key(OGLE_Rec* rec, int ch, int shift);
// Replaces the selection with the text [begin, end) and puts the caret after it.
void OGLE_Insert(OGLE_Rec* rec, const char* begin, const char* end);
void OGLE_Click(OGLE_Rec* rec, float x, float y, int extend);
void OGLE_Drag(OGLE_Rec* rec, float x, float y);
void OGLE_GetSelection(OGLE_Rec* rec, int& start, int& end);
void OGLE_SetSelection(OGLE_Rec* rec, int start, int end);
void OGLE_RevealSelection(OGLE_Rec* rec);
void OGLE_Repaginate(OGLE_Rec* rec);
void OGLE_RepaginateInternal(OGLE_Rec* rec, int first_line, int from);
int OGLE_CharPosToLine(OGLE_Rec* rec, int pos);
int OGLE_CoordToCharPos(OGLE_Rec* rec, float x, float y);
int OGLE_LineLengthInternal(OGLE_Rec* rec, const char* begin, const char* end, float width);

// ---------------------------------------------------------------- the text field
// A one-line text field at (x, y) of `width` units editing *text; returns 1
// when the text changed during this call. Text beyond max_length is cut at
// the end of the call. With auto_focus, the field takes the focus when
// nothing else has it.
int BTN_enterstring(float x, float y, std::string* text, int max_length, const std::string& label, float width,
                    int auto_focus);

// Field globals (one set, for the field the record is bound to).
extern OGLE_Rec* ogle;
extern float OGLE_x, OGLE_y, OGLE_entry_dx, OGLE_dx, OGLE_dy;
extern std::string* OGLE_input;
extern int OGLE_edit;
extern int focused_field_id;
extern int drag_field_id;  // field a held mouse button went down in; 0 = none
extern const OGLE_Callbacks OGLE_cbs;

// Forgets the binding (tests).
void OGLE_reset_field();

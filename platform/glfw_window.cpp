// GLFW 3 implementation of platform/window.h.
//
// GLFW reports a key and the character it typed through two callbacks, the
// character right after its key: platform/key_join.h puts them together.
#include "platform/window.h"

#include <GLFW/glfw3.h>

#include <cerrno>
#include <deque>

#include "platform/fault.h"
#include "platform/key_join.h"

namespace plat {
namespace {

GLFWwindow* g_win = nullptr;
bool g_glfw_up = false;
std::string g_last_error;
std::deque<WinEvent> g_queue;
KeyJoin g_keys(g_queue);     // holds a key_down until its character

void on_error(int, const char* text) { g_last_error = text ? text : "unknown GLFW error"; }

bool glfw_up() {
  if (g_glfw_up) return true;
  glfwSetErrorCallback(on_error);
  g_glfw_up = glfwInit() == GLFW_TRUE;
  return g_glfw_up;
}

// Windows virtual-key code, set-1 scan code and extended flag of a GLFW key.
struct KeyCode {
  int vkey, scan, extended;
};

KeyCode translate_key(int key) {
  if (key >= GLFW_KEY_A && key <= GLFW_KEY_Z) return {key, 0, 0};  // 'A'..'Z'
  if (key >= GLFW_KEY_0 && key <= GLFW_KEY_9) return {key, 0, 0};  // '0'..'9'
  if (key >= GLFW_KEY_F1 && key <= GLFW_KEY_F24) return {112 + key - GLFW_KEY_F1, 0, 0};
  if (key >= GLFW_KEY_KP_0 && key <= GLFW_KEY_KP_9) return {96 + key - GLFW_KEY_KP_0, 0, 0};
  switch (key) {
    case GLFW_KEY_SPACE: return {32, 0x39, 0};
    case GLFW_KEY_APOSTROPHE: return {222, 0, 0};
    case GLFW_KEY_COMMA: return {188, 0, 0};
    case GLFW_KEY_MINUS: return {189, 0, 0};
    case GLFW_KEY_PERIOD: return {190, 0, 0};
    case GLFW_KEY_SLASH: return {191, 0, 0};
    case GLFW_KEY_SEMICOLON: return {186, 0, 0};
    case GLFW_KEY_EQUAL: return {187, 0, 0};
    case GLFW_KEY_LEFT_BRACKET: return {219, 0, 0};
    case GLFW_KEY_BACKSLASH: return {220, 0, 0};
    case GLFW_KEY_RIGHT_BRACKET: return {221, 0, 0};
    case GLFW_KEY_GRAVE_ACCENT: return {192, 0, 0};
    case GLFW_KEY_WORLD_1: return {226, 0, 0};
    case GLFW_KEY_ESCAPE: return {27, 0x01, 0};
    case GLFW_KEY_ENTER: return {13, 0x1C, 0};
    case GLFW_KEY_KP_ENTER: return {13, 0x1C, 1};
    case GLFW_KEY_TAB: return {9, 0x0F, 0};
    case GLFW_KEY_BACKSPACE: return {8, 0x0E, 0};
    case GLFW_KEY_INSERT: return {45, 0x52, 1};
    case GLFW_KEY_DELETE: return {46, 0x53, 1};
    case GLFW_KEY_RIGHT: return {39, 0x4D, 1};
    case GLFW_KEY_LEFT: return {37, 0x4B, 1};
    case GLFW_KEY_DOWN: return {40, 0x50, 1};
    case GLFW_KEY_UP: return {38, 0x48, 1};
    case GLFW_KEY_PAGE_UP: return {33, 0x49, 1};
    case GLFW_KEY_PAGE_DOWN: return {34, 0x51, 1};
    case GLFW_KEY_HOME: return {36, 0x47, 1};
    case GLFW_KEY_END: return {35, 0x4F, 1};
    case GLFW_KEY_CAPS_LOCK: return {20, 0x3A, 0};
    case GLFW_KEY_SCROLL_LOCK: return {145, 0x46, 0};
    case GLFW_KEY_NUM_LOCK: return {144, 0x45, 1};
    case GLFW_KEY_PRINT_SCREEN: return {44, 0x37, 1};
    case GLFW_KEY_PAUSE: return {19, 0x45, 0};
    case GLFW_KEY_KP_DECIMAL: return {110, 0x53, 0};
    case GLFW_KEY_KP_DIVIDE: return {111, 0x35, 1};
    case GLFW_KEY_KP_MULTIPLY: return {106, 0x37, 0};
    case GLFW_KEY_KP_SUBTRACT: return {109, 0x4A, 0};
    case GLFW_KEY_KP_ADD: return {107, 0x4E, 0};
    case GLFW_KEY_KP_EQUAL: return {187, 0, 0};
    case GLFW_KEY_LEFT_SHIFT: return {16, 0x2A, 0};
    case GLFW_KEY_RIGHT_SHIFT: return {16, 0x36, 0};
    case GLFW_KEY_LEFT_CONTROL: return {17, 0x1D, 0};
    case GLFW_KEY_RIGHT_CONTROL: return {17, 0x1D, 1};
    case GLFW_KEY_LEFT_ALT: return {18, 0x38, 0};
    case GLFW_KEY_RIGHT_ALT: return {18, 0x38, 1};
    case GLFW_KEY_LEFT_SUPER: return {91, 0x5B, 1};
    case GLFW_KEY_RIGHT_SUPER: return {92, 0x5C, 1};
    case GLFW_KEY_MENU: return {93, 0x5D, 1};
    default: return {0, 0, 0};
  }
}

// Keys that can type a character: their key_down waits for it.
bool can_type(int key) {
  return key == GLFW_KEY_SPACE || (key >= GLFW_KEY_APOSTROPHE && key <= GLFW_KEY_GRAVE_ACCENT) ||
         key == GLFW_KEY_WORLD_1 || key == GLFW_KEY_WORLD_2 || (key >= GLFW_KEY_KP_0 && key <= GLFW_KEY_KP_ADD) ||
         key == GLFW_KEY_KP_EQUAL;
}

int mods_of(int glfw_mods) {
  return ((glfw_mods & GLFW_MOD_SHIFT) ? 1 : 0) | ((glfw_mods & GLFW_MOD_ALT) ? 2 : 0) |
         ((glfw_mods & GLFW_MOD_CONTROL) ? 4 : 0);
}

void flush_pending() { g_keys.flush(); }

void pointer_event(WinEvent& e) {
  if (g_win) glfwGetCursorPos(g_win, &e.x, &e.y);
}

void on_key(GLFWwindow*, int key, int, int action, int mods) {
  flush_pending();
  const KeyCode k = translate_key(key);
  WinEvent e;
  e.type = action == GLFW_RELEASE ? WinEvent::key_up : WinEvent::key_down;
  e.vkey = k.vkey;
  e.scan = k.scan;
  e.extended = k.extended;
  e.repeat = action == GLFW_REPEAT;
  e.mods = mods_of(mods);
  g_keys.key(e, can_type(key));
}

void on_char(GLFWwindow*, unsigned int codepoint) {
  g_keys.character(codepoint <= 255 ? static_cast<int>(codepoint) : 0);  // the interface speaks Latin-1
}

void on_move(GLFWwindow*, double x, double y) {
  flush_pending();
  WinEvent e;
  e.type = WinEvent::mouse_move;
  e.x = x;
  e.y = y;
  g_queue.push_back(e);
}

void on_button(GLFWwindow*, int button, int action, int mods) {
  flush_pending();
  WinEvent e;
  e.type = action == GLFW_PRESS ? WinEvent::button_down : WinEvent::button_up;
  e.button = button == GLFW_MOUSE_BUTTON_RIGHT ? 1 : button == GLFW_MOUSE_BUTTON_MIDDLE ? 2 : 0;
  e.mods = mods_of(mods);
  pointer_event(e);
  g_queue.push_back(e);
}

void on_scroll(GLFWwindow*, double, double dy) {
  flush_pending();
  WinEvent e;
  e.type = WinEvent::wheel;
  e.wheel_delta = static_cast<int>(dy * 120.0);
  pointer_event(e);
  g_queue.push_back(e);
}

void on_close(GLFWwindow* w) {
  flush_pending();
  glfwSetWindowShouldClose(w, GLFW_FALSE);  // the program decides when to close
  WinEvent e;
  e.type = WinEvent::close;
  g_queue.push_back(e);
}

void on_refresh(GLFWwindow*) {
  WinEvent e;
  e.type = WinEvent::refresh;
  g_queue.push_back(e);
}

}  // namespace

void monitor_size(int& width, int& height) {
  width = height = 0;
  if (!glfw_up()) return;
  GLFWmonitor* m = glfwGetPrimaryMonitor();
  if (!m) return;
  const GLFWvidmode* mode = glfwGetVideoMode(m);
  if (!mode) return;
  width = mode->width;
  height = mode->height;
}

void monitor_work_area(int& width, int& height) {
  monitor_size(width, height);
  if (width <= 0) return;
  int x = 0, y = 0, w = 0, h = 0;
  glfwGetMonitorWorkarea(glfwGetPrimaryMonitor(), &x, &y, &w, &h);
  if (w > 0 && h > 0) {
    width = w;
    height = h;
  }
}

int window_open(int width, int height, const char* title, bool framed, std::string& why) {
  if (const int err = fault_check(Op::window)) {
    why = "the window could not be opened (injected fault)";
    return err;
  }
  if (g_win) window_close();
  if (!glfw_up()) {
    why = "no window system: " + g_last_error;
    return ENODEV;
  }
  glfwDefaultWindowHints();
  glfwWindowHint(GLFW_CLIENT_API, GLFW_OPENGL_API);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 2);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 1);
  glfwWindowHint(GLFW_DOUBLEBUFFER, GLFW_TRUE);
  glfwWindowHint(GLFW_DEPTH_BITS, 24);
  glfwWindowHint(GLFW_STENCIL_BITS, 0);
  glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
  glfwWindowHint(GLFW_DECORATED, framed ? GLFW_TRUE : GLFW_FALSE);
  g_win = glfwCreateWindow(width, height, title, nullptr, nullptr);
  if (!g_win) {
    why = "no OpenGL 2.1 window: " + g_last_error;
    return ENODEV;
  }
  // The system places the window by its content area: the frame (the title
  // bar) goes above and left of it, so the frame's size is added to put the
  // whole window at the top left of the work area, title bar included.
  {
    int x = 0, y = 0, w = 0, h = 0, left = 0, top = 0, right = 0, bottom = 0;
    if (GLFWmonitor* m = glfwGetPrimaryMonitor()) glfwGetMonitorWorkarea(m, &x, &y, &w, &h);
    glfwGetWindowFrameSize(g_win, &left, &top, &right, &bottom);
    glfwSetWindowPos(g_win, x + left, y + top);
  }
  glfwMakeContextCurrent(g_win);
  glfwSetKeyCallback(g_win, on_key);
  glfwSetCharCallback(g_win, on_char);
  glfwSetCursorPosCallback(g_win, on_move);
  glfwSetMouseButtonCallback(g_win, on_button);
  glfwSetScrollCallback(g_win, on_scroll);
  glfwSetWindowCloseCallback(g_win, on_close);
  glfwSetWindowRefreshCallback(g_win, on_refresh);
  return 0;
}

WindowPlacement window_placement() {
  WindowPlacement p;
  if (!g_win) return p;
  glfwGetWindowPos(g_win, &p.x, &p.y);
  glfwGetWindowFrameSize(g_win, &p.left, &p.top, &p.right, &p.bottom);
  int w = 0, h = 0;
  if (GLFWmonitor* m = glfwGetPrimaryMonitor()) glfwGetMonitorWorkarea(m, &p.work_x, &p.work_y, &w, &h);
  return p;
}

void window_close() {
  if (!g_win) return;
  glfwMakeContextCurrent(nullptr);
  glfwDestroyWindow(g_win);
  g_win = nullptr;
  g_queue.clear();
  g_keys.drop();
  glfwTerminate();
  g_glfw_up = false;
}

int window_is_open() { return g_win != nullptr; }

void* window_gl_proc(const char* name) {
  if (!g_win) return nullptr;
  return reinterpret_cast<void*>(glfwGetProcAddress(name));
}

int window_swap_interval(int interval) {
  if (!g_win) return 0;
  g_last_error.clear();
  glfwSwapInterval(interval);
  return g_last_error.empty();
}

void window_swap() {
  if (g_win) glfwSwapBuffers(g_win);
}

int window_poll(std::vector<WinEvent>& out) {
  if (g_win) glfwPollEvents();
  flush_pending();
  const int n = static_cast<int>(g_queue.size());
  out.insert(out.end(), g_queue.begin(), g_queue.end());
  g_queue.clear();
  return n;
}

void window_wait(double seconds) {
  if (!g_queue.empty() || g_keys.pending() || !g_win) return;
  glfwWaitEventsTimeout(seconds);
}

void window_inject(const WinEvent& e) {
  g_queue.push_back(e);
  if (g_win) glfwPostEmptyEvent();
}

void window_show_cursor(int show) {
  if (g_win) glfwSetInputMode(g_win, GLFW_CURSOR, show ? GLFW_CURSOR_NORMAL : GLFW_CURSOR_HIDDEN);
}

std::string window_clipboard_get() {
  if (!g_win) return std::string();
  const char* text = glfwGetClipboardString(g_win);
  return text ? std::string(text) : std::string();
}

void window_clipboard_set(const std::string& text) {
  if (g_win) glfwSetClipboardString(g_win, text.c_str());
}

}  // namespace plat

/* Loaded before the graphics library into the installer by a test: the
 * window is never made, the process crashes where it would be made, as a
 * faulty graphics driver would at start-up. */
#include <signal.h>
#include <stddef.h>

void* glfwCreateWindow(int width, int height, const char* title, void* monitor, void* share) {
  (void)width;
  (void)height;
  (void)title;
  (void)monitor;
  (void)share;
  raise(SIGSEGV);
  return NULL;
}

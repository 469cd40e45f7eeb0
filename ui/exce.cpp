#include "ui/exce.h"

#include "ui/hl_alert.h"

void exce_class::Report() {
  // Records reach this point on the main thread, from the frame's check of
  // the worker queue; it shows them as any other alert.
  __MACIBM_alert(0, c1_, c2_, c3_, c4_, quit_, file_, line_);
}

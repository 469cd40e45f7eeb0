#include "support/hl_init.h"

#include "platform/system.h"
#include "support/UTL_cmdline.h"

std::ofstream xer;
const std::string build_name = "Skyvane 9.00 Beta-17";
int app_done = 0;
int ogl_inited = 0;
void (*HL_save_prefs_hook)() = nullptr;
void (*HL_close_window_hook)() = nullptr;

int HL_open_log(const std::string& folder) {
  if (xer.is_open()) xer.close();
  xer.clear();
  xer.open(folder + "Log.txt", std::ios::out | std::ios::trunc | std::ios::binary);
  if (!xer.is_open()) return 0;
  xer << "log.txt for " << build_name << " " << "Installer " << 90017 << " compiled on " << __DATE__ << " "
      << __TIME__ << "\n\n";
  xer << "This log is written automatically every time the installer runs. It holds diagnostics about the\n"
         "graphics, the installation and any errors met along the way.\n\n";
  xer << "If you need help from technical support, send them this file. It is rewritten from scratch every\n"
         "time any Aerodeck application starts, so keep a copy of it if you want it later.\n\n";
  xer.flush();
  return 1;
}

void HL_log_system(const std::string& app_path) {
  xer << plat::os_description() << "\n";
  xer << "CPU type: " << (plat::cpu_count() > 0 ? plat::cpu_info(0).name : std::string("unknown")) << "\n";
  const std::uint64_t mem = plat::physical_memory_bytes();
  if (mem == 0) xer << "Physical Memory: unknown.\n";
  else xer << "Physical Memory: " << mem << "\n";
  for (int i = 0; i < plat::cpu_count(); ++i) {
    const plat::CpuInfo c = plat::cpu_info(i);
    xer << c.name << " Speed (mhz): " << c.mhz << "\n";
  }
  xer << "\nAerodeck folder:'" << app_path << "', case sensitive=1\n";
  xer.flush();
}

void HL_close_log() {
  if (!xer.is_open()) return;
  xer.flush();
  xer.close();
}

void MACIBM_finishup(int save) {
  if (save && !cmdline.has_option("--fps_test") && HL_save_prefs_hook) HL_save_prefs_hook();
  if (HL_close_window_hook) HL_close_window_hook();
  ogl_inited = 0;
  HL_close_log();
}

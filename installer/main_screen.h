// The installer's screens in its window: the main screen drawn with the
// interface framework, the drawn modified-file question and progress box,
// and the folder browser that picks the destination.
#pragma once

#include <string>
#include <vector>

#include "installer/main.h"

// ------------------------------------------------------------ [SECTION] the main screen

// The main screen at its places in the 1024 x 768 window.
class drawn_screen : public main_screen {
 public:
  void background() override;
  int destination_box() override;
  void servers_and_prefs() override;
  int buttons(const app_texts& texts, int install_enabled) override;
  void info(const app_texts& texts) override;
  int accept_agreement() override;
  int choose_folder(const std::string& initial, std::string& chosen) override;
};

// A frame of the progress bar: centre snapped to even coordinates and width
// to a multiple of 4, so that it falls on whole pixels.
struct bar_frame {
  float centre, width;
};
bar_frame snap_bar(float x1, float x2);

// ------------------------------------------------------------ [SECTION] questions

// The modified-file question in window 997; returns the select_answer.
int drawn_select_alert(const std::string& local_path, int is_gone);
// The progress box over the whole window, presented at once.
void drawn_dir_progress_bar(float lo, float cur, float hi, int phase, const std::string& title,
                            const std::string& detail);
// Routes the engine's questions and progress box to the drawn ones.
void install_drawn_hooks();

// ------------------------------------------------------------ [SECTION] folder browser

// What the folder browser shows: a folder and its sub-folders.
class folder_browser {
 public:
  // Opens `folder`; a folder that cannot be listed gives way to its nearest
  // parent that can (the root at worst).
  void open(const std::string& folder);
  // Into the sub-folder `name` of the current folder; false when it cannot be listed.
  bool enter(const std::string& name);
  // To the parent folder; from a drive's root ("C:\") to the drives;
  // false at "/" and from the drives.
  bool up();
  // Shows the drives (Windows): `path` is then empty and the list holds
  // their roots, which enter() opens.
  void open_drives();
  // To the folder typed in the path field; false (nothing changes) when it
  // is not a folder that can be listed.
  bool go_typed();

  std::string path;                     // the current folder, ending in "/"; empty: the drives
  std::string typed;                    // the path field
  std::vector<std::string> subfolders;  // sorted without regard to case; hidden ones left out
  int first_row = 0;                    // first sub-folder shown
  int selected = -1;                    // sub-folder chosen with the arrow keys; -1 none
};

// The parent of a folder path ending in "/" ("/" stays "/").
std::string parent_folder(const std::string& path);
// A path as a folder path: "~" expanded, ending in "/".
std::string as_folder_path(const std::string& path);
// 1 when `path` is a folder that can be listed.
int folder_listable(const std::string& path);

// Draws one pass of the folder browser (its window must be current);
// returns 1 OK, 0 cancel, -1 still open.
int draw_folder_browser(folder_browser& b, const std::string& prompt);

// The modal folder chooser: kind 2 picks a folder (the only kind here).
// 1 and the folder, ending in "/", in `result` when one was chosen.
int GetFilePathFromUser(int kind, const std::string& prompt, const std::string& action, int flag,
                        const std::string& initial, std::string& result);

// The window number the folder browser uses.
constexpr int win_folder = 998;

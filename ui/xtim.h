// The frame timer: wall-clock seconds since the first frame, a smoothed
// estimate of the frame period, tick flags that are 1 on the frame at which
// a period of 10 s ... 0.025 s has passed, the mouse timing of mnw (drag,
// click, double click, last movement) and the pulsing colours 78 to 83.
#pragma once

#include <cstdint>

class xtim_class {
 public:
  xtim_class() { reset(); }

  // Puts every field back to its start value; the next update starts the clock.
  void reset();

  // Microseconds from the monotonic clock.
  static std::int64_t microsecs_tot();

  // One step; called once per frame by the frame loop.
  void xtim_update();

  // A named checkpoint of the frame; written to the log only while
  // profiling is switched on (never in this program).
  void profile_chart(const char* label, int finish);

  int first_miss_cycle;
  int real_year, real_month, real_day;
  float gnd_speed_mult, flt_speed_mult;
  float prd_act, prd_sim, prd_time_advance;  // frame-period estimates, seconds
  float rt_rat;                              // last measured / estimated ratio
  int total_frames;                          // frames presented
  float real_time;                           // seconds since the first update
  float totl_time, miss_time, timr_time, zulu_time, locl_time;
  float hobs_time;
  float prd_max;
  int use_sys_time;
  float hours_offset;
  int locl_date_jan1;
  int timer_running;
  // 1 on the frame at which 1/N s of simulated time passed (N = 0.1 ... 40).
  int sim_puff01, sim_puff02, sim_puff05, sim_puff1, sim_puff2, sim_puff5, sim_puff10, sim_puff20, sim_puff40;
  // The same on wall-clock time.
  int act_puff01, act_puff02, act_puff05, act_puff1, act_puff2, act_puff5, act_puff10, act_puff20, act_puff40;

  // Test seam: when set, the clock reads this many microseconds instead of
  // the system clock. Negative means the system clock.
  static std::int64_t fake_microsecs;

  // The window number the frame-period estimate is kept for; the window
  // layer sets it from its current window (0 while none is open).
  static int current_window;

 private:
  std::int64_t origin_us_;     // clock reading at the first update; -1 before it
  float prd_win_0_, prd_win_n_;
  int frames_win_0_, frames_win_n_;
  float last_meas_0_, last_meas_n_;
  float last_act_[9], last_sim_[9];
  float last_mx_, last_my_;  // mouse position at the previous update
  int pressed_before_;       // a button has gone down since the reset
};

extern xtim_class xtim;

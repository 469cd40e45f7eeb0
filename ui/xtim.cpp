#include "ui/xtim.h"

#include "ui/butn.h"
#include "ui/colr.h"
#include "ui/hl_mnw.h"

#include <algorithm>
#include <chrono>
#include <cmath>

xtim_class xtim;
std::int64_t xtim_class::fake_microsecs = -1;
int xtim_class::current_window = 0;

namespace {

// Tick periods, in seconds, of the flags puff01 ... puff40.
constexpr float kTickPeriod[9] = {10.0f, 5.0f, 2.0f, 1.0f, 0.5f, 0.2f, 0.1f, 0.05f, 0.025f};
constexpr float kPrdMax = 1.0f / 19.0f;

// One step of a frame-period estimate, taken every 10th frame: the measured
// period moves the estimate by at most the fourth root of 1.5.
void update_estimate(float now, int& frames, float& last, float& estimate, float* ratio_out) {
  if (++frames < 10) return;
  frames = 0;
  const float measured = (now - last) * 0.1f;
  last = now;
  const float ratio = std::clamp(measured / estimate, 0.5f, 1.5f);
  if (ratio_out) *ratio_out = ratio;
  estimate = std::clamp(estimate * std::pow(ratio, 0.25f), 0.0010001f, kPrdMax);
}

}  // namespace

void xtim_class::reset() {
  first_miss_cycle = 0;
  real_year = real_month = real_day = 0;
  gnd_speed_mult = flt_speed_mult = 1.0f;
  prd_act = prd_sim = prd_time_advance = 0.02f;
  rt_rat = 1.0f;
  total_frames = 0;
  real_time = totl_time = miss_time = timr_time = 0.0f;
  zulu_time = locl_time = 43200.0f;
  hobs_time = 0.0f;
  prd_max = kPrdMax;
  use_sys_time = 0;
  hours_offset = 0.0f;
  locl_date_jan1 = 90;
  timer_running = 0;
  sim_puff01 = sim_puff02 = sim_puff05 = sim_puff1 = sim_puff2 = sim_puff5 = sim_puff10 = sim_puff20 = sim_puff40 = 0;
  act_puff01 = act_puff02 = act_puff05 = act_puff1 = act_puff2 = act_puff5 = act_puff10 = act_puff20 = act_puff40 = 0;
  origin_us_ = -1;
  prd_win_0_ = prd_win_n_ = 0.02f;
  frames_win_0_ = frames_win_n_ = 0;
  last_meas_0_ = last_meas_n_ = 0.0f;
  std::fill(std::begin(last_act_), std::end(last_act_), 0.0f);
  std::fill(std::begin(last_sim_), std::end(last_sim_), 0.0f);
  last_mx_ = last_my_ = 0.0f;
  pressed_before_ = 0;
}

std::int64_t xtim_class::microsecs_tot() {
  if (fake_microsecs >= 0) return fake_microsecs;
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void xtim_class::xtim_update() {
  const std::int64_t now_us = microsecs_tot();
  if (origin_us_ < 0) origin_us_ = now_us;
  real_time = static_cast<float>(static_cast<double>(now_us - origin_us_) / 1000000.0);
  totl_time = real_time;

  if (current_window == 0) {
    update_estimate(real_time, frames_win_0_, last_meas_0_, prd_win_0_, &rt_rat);
    prd_act = prd_sim = prd_time_advance = prd_win_0_;
  } else if (current_window < 995 || current_window > 999) {
    update_estimate(real_time, frames_win_n_, last_meas_n_, prd_win_n_, nullptr);
  }

  int* act[9] = {&act_puff01, &act_puff02, &act_puff05, &act_puff1, &act_puff2,
                 &act_puff5,  &act_puff10, &act_puff20, &act_puff40};
  int* sim[9] = {&sim_puff01, &sim_puff02, &sim_puff05, &sim_puff1, &sim_puff2,
                 &sim_puff5,  &sim_puff10, &sim_puff20, &sim_puff40};
  for (int i = 0; i < 9; ++i) {
    *act[i] = std::fabs(real_time - last_act_[i]) > kTickPeriod[i];
    if (*act[i]) last_act_[i] = real_time;
    *sim[i] = std::fabs(totl_time - last_sim_[i]) > kTickPeriod[i];
    if (*sim[i]) last_sim_[i] = totl_time;
  }

  // Mouse timing.
  if (mnw.now_dragging && real_time - mnw.m_down_time > 0.25f) mnw.delay_dragging = 1;
  mnw.mouse_double_clicked = mnw.mouse_clicked && pressed_before_ && real_time - mnw.m_down_time <= 0.25f;
  mnw.mouse_did_click = mnw.mouse_lifted && real_time - mnw.m_down_time <= 0.25f;
  if (mnw.mouse_clicked) {
    pressed_before_ = 1;
    mnw.now_dragging = 1;
    mnw.m_move_time = mnw.m_down_time = real_time;
    BTN_drop_focus_for_click();
    // A press and its release in the same frame leave no drag behind.
    if (mnw.mouse_lifted) mnw.now_dragging = mnw.delay_dragging = 0;
    return;  // the pulse keeps its value on this frame
  }
  if (mnw.mouse_lifted) mnw.now_dragging = mnw.delay_dragging = 0;

  if (std::fabs(mnw.mx - last_mx_) > 0.5f || std::fabs(mnw.my - last_my_) > 0.5f) mnw.m_move_time = real_time;
  last_mx_ = mnw.mx;
  last_my_ = mnw.my;

  // Pulse between 0.4 and 1.0, about 3.2 times a second.
  const float p = 0.7f + 0.3f * std::sin(20.0f * real_time);
  colr.assign(78, p, p, p);
  colr.assign(79, p, 0.5f * p, 0);
  colr.assign(80, p, 0.3f * p, 0.3f * p);
  colr.assign(81, 0.3f * p, 0.3f * p, p);
  colr.assign(82, 0.2f * p, 0.8f * p, 0.2f * p);
  colr.assign(83, 0.7f * p, 0.7f * p, 0.2f * p);
  colr.pulse_alpha = p;
}

void xtim_class::profile_chart(const char*, int) {
  // Frame profiling is never switched on in this program.
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/grab_plan.h"

#include <algorithm>

GrabPlan PlanGrabs(FrameSource& source, std::int64_t cells, int grab_workers, double open_seconds) {
  GrabPlan plan;
  plan.cells = cells;
  plan.open_seconds = open_seconds;
  plan.record_bytes = static_cast<std::size_t>(source.frame_record_size());

  double length = 0;
  source.ReadLength(&length);
  plan.interval = length / static_cast<double>(cells + 2);
  // A quarter of the interval either side keeps the cells in order and apart, and cannot be
  // seen on a sheet without timestamps; inside it the detector takes the cheapest frame.
  plan.tolerance = plan.interval / 4;

  // Workers the caller asks for all start at once; those the detector suggests start when they
  // pay. Cells that all decode from one group of pictures are one job for one detector, which
  // then decodes with the codec's threads; otherwise each detector decodes on one thread and
  // the workers share the cores.
  plan.start_at_once = grab_workers > 0;
  int workers = plan.start_at_once ? grab_workers : source.SuggestedGrabWorkers(plan.interval);
  const std::int64_t first_group = source.GrabGroup(plan.interval, plan.tolerance);
  const bool one_group =
      cells == 1 ||
      (first_group >= 0 && first_group == source.GrabGroup(plan.interval * cells, plan.tolerance));
  if (one_group && !plan.start_at_once) workers = 1;
  plan.workers = static_cast<int>(
      std::clamp<std::int64_t>(std::min<std::int64_t>(workers, cells), 1, kMaxGrabWorkers));
  plan.decode_threads = plan.workers > 1 && !one_group ? 1 : 0;
  return plan;
}

// The figures of the start stress program: how far a count of rare events
// (refused starts) pins down their rate.
#pragma once

namespace testbench {

// The exact (Garwood) two-sided 95% interval of a Poisson mean, given the
// count seen: the means from which that count or a more extreme one has a
// chance of at least 2.5% each way.
struct MeanInterval {
  double low;
  double high;
};
MeanInterval PoissonInterval95(unsigned count);

}  // namespace testbench

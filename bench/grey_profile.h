// Where the time of the 8-bit path goes: its steps timed one by one through
// the image-adjustment library's internal functions, on one page.
#pragma once

#include "bench_support.h"

namespace bench {

void RunGreyProfile(const PageSpec& page, const Options& options);

}  // namespace bench

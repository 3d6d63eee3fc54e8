#pragma once

// Clock and percentile helpers shared by the latency harnesses.

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

// Monotonic nanoseconds, comparable across threads and forked processes.
inline qint64 nowNs()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

// The p-th percentile (0 to 100) by nearest rank; 0 for no values.
inline double percentile(std::vector<double> values, double p)
{
	if (values.empty())
		return 0;
	std::sort(values.begin(), values.end());
	const size_t i = std::min(values.size() - 1,
				  size_t(p / 100.0 * double(values.size())));
	return values[i];
}

} // namespace bench

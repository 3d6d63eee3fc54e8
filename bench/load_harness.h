#pragma once

// What the many-client load harnesses share: the parent process feeds the
// server under test and the forked child holds the clients; they talk over
// two pipes. Each update is a 30-field envelope carrying its sequence number
// and ingest time, so clients see lost or reordered updates and their delay.

#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

namespace bench {

constexpr int kLoadFieldCount = 30;

// A "/proc/self/status" figure in kB ("VmRSS", "VmHWM"); -1 when unknown.
inline long statusKb(const char *key)
{
	FILE *file = std::fopen("/proc/self/status", "r");
	if (!file)
		return -1;
	char line[256];
	long kb = -1;
	const size_t keyLength = std::strlen(key);
	while (std::fgets(line, sizeof(line), file)) {
		if (std::strncmp(line, key, keyLength) == 0 &&
		    line[keyLength] == ':') {
			kb = std::atol(line + keyLength + 1);
			break;
		}
	}
	std::fclose(file);
	return kb;
}

inline bool readFully(int fd, void *data, size_t size)
{
	auto *bytes = static_cast<char *>(data);
	while (size > 0) {
		const ssize_t n = ::read(fd, bytes, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		bytes += n;
		size -= size_t(n);
	}
	return true;
}

inline bool writeFully(int fd, const void *data, size_t size)
{
	const auto *bytes = static_cast<const char *>(data);
	while (size > 0) {
		const ssize_t n = ::write(fd, bytes, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		bytes += n;
		size -= size_t(n);
	}
	return true;
}

// Room for this many open descriptors (and a few more), as far as allowed.
inline void raiseFileLimit(int descriptors)
{
	rlimit limit{};
	getrlimit(RLIMIT_NOFILE, &limit);
	const rlim_t wanted = rlim_t(descriptors) + 64;
	if (limit.rlim_cur < wanted) {
		limit.rlim_cur = std::min(wanted, limit.rlim_max);
		setrlimit(RLIMIT_NOFILE, &limit);
	}
}

// One scoreboard update: 30 fields, a few of which change every time, plus
// the sequence number and ingest time the clients check.
inline QJsonObject loadEnvelope(int seq, qint64 ingestNs)
{
	QJsonObject fields{
		{QStringLiteral("bench_seq"), QString::number(seq)},
		{QStringLiteral("bench_ns"), QString::number(ingestNs)},
		{QStringLiteral("home_score"), seq / 7},
		{QStringLiteral("away_score"), seq / 11},
		{QStringLiteral("clock"),
		 QStringLiteral("%1:%2")
			 .arg(9 - (seq / 60) % 10)
			 .arg(59 - seq % 60, 2, 10, QLatin1Char('0'))},
		{QStringLiteral("shot_clock"), 24 - seq % 25},
		{QStringLiteral("period"), 1 + (seq / 600) % 4},
		{QStringLiteral("possession"),
		 (seq / 40) % 2 ? QStringLiteral("home")
				: QStringLiteral("away")},
		{QStringLiteral("home_name"), QStringLiteral("Harbor Hawks")},
		{QStringLiteral("away_name"), QStringLiteral("Valley Owls")},
	};
	for (int i = int(fields.size()); i < kLoadFieldCount; ++i)
		fields.insert(QStringLiteral("stat_%1").arg(i, 2, 10,
							    QLatin1Char('0')),
			      (seq / (i + 1)) % 100);
	return QJsonObject{{QStringLiteral("type"), QStringLiteral("state")},
			   {QStringLiteral("seq"), seq},
			   {QStringLiteral("sport"),
			    QStringLiteral("basketball")},
			   {QStringLiteral("fields"), fields}};
}

} // namespace bench

#pragma once

// What the tests that host a real libobs (without the OBS window) share: a
// private X display, libobs' log captured from every thread, and reading a
// property page. Include after the Qt headers: libobs' SIMD aliases clash
// with the compiler's intrinsics headers that Qt 6 pulls in later.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <obs.h>
#include <util/base.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace quillmarch::test::libobs {

inline std::mutex &logMutex()
{
	static std::mutex mutex;
	return mutex;
}

inline QStringList &logLines()
{
	static QStringList lines; // "<level> <line>"
	return lines;
}

inline void captureLog(int level, const char *format, va_list args, void *)
{
	char line[4096];
	vsnprintf(line, sizeof line, format, args);
	std::lock_guard<std::mutex> lock(logMutex());
	logLines().append(QString::number(level) + ' ' +
			  QString::fromUtf8(line));
}

// libobs' log so far, "<level> <line>" per line.
inline QStringList logged()
{
	std::lock_guard<std::mutex> lock(logMutex());
	return logLines();
}

// libobs on Linux needs an X display even without graphics (its hotkey
// support opens one). Xvfb picks a free display itself and prints its number
// once it accepts connections; DISPLAY then points at it. Empty when it
// runs, else why not; kNoXvfb when there is no Xvfb at all.
inline const QString kNoXvfb = QStringLiteral("Xvfb is not available");

inline QString startXvfb(QProcess &xvfb)
{
	xvfb.setStandardErrorFile(QProcess::nullDevice());
	xvfb.start(QStringLiteral("Xvfb"),
		   {"-displayfd", "1", "-nolisten", "tcp"});
	if (!xvfb.waitForStarted())
		return kNoXvfb;
	while (!xvfb.canReadLine())
		if (!xvfb.waitForReadyRead(20000))
			return QStringLiteral("Xvfb did not start");
	qputenv("DISPLAY", ':' + xvfb.readLine().trimmed());
	return QString();
}

inline QStringList propertyNames(obs_properties_t *props)
{
	QStringList names;
	for (obs_property_t *p = obs_properties_first(props); p;
	     obs_property_next(&p))
		names.append(QString::fromUtf8(obs_property_name(p)));
	return names;
}

} // namespace quillmarch::test::libobs

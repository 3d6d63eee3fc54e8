#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace quillmarch::test {

// A pseudo-terminal standing in for a USB serial device. Code under test
// opens slavePath(); the test plays the device on the master side. Closing
// the master hangs the slave up, which is what unplugging the device does.
//
// The pair keeps a descriptor of its own on the slave for as long as it
// lives: the line then stays up while the code under test closes and reopens
// it (a master reads EIO while no slave is open), and tests can inspect the
// terminal's settings through slaveFd().
class PtyPair {
public:
	PtyPair()
	{
		m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		const char *name = m_master >= 0 && ::grantpt(m_master) == 0 &&
						   ::unlockpt(m_master) == 0
					   ? ::ptsname(m_master)
					   : nullptr;
		if (!name)
			return;
		m_slavePath = QString::fromLocal8Bit(name);
		m_slave = ::open(name,
				 O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
		::fcntl(m_master, F_SETFL,
			::fcntl(m_master, F_GETFL) | O_NONBLOCK);
	}
	~PtyPair()
	{
		if (m_slave >= 0)
			::close(m_slave);
		closeMaster();
	}
	PtyPair(const PtyPair &) = delete;
	PtyPair &operator=(const PtyPair &) = delete;

	bool isValid() const { return m_master >= 0 && m_slave >= 0; }
	int masterFd() const { return m_master; }
	int slaveFd() const { return m_slave; }
	QString slavePath() const { return m_slavePath; }

	// Unplugs the device.
	void closeMaster()
	{
		if (m_master >= 0)
			::close(m_master);
		m_master = -1;
	}

	// Writes all of bytes, waiting for room. Someone must be reading the
	// slave if bytes is more than the terminal buffers (a few KiB).
	bool writeMaster(const QByteArray &bytes, int timeoutMs = 5000)
	{
		QElapsedTimer clock;
		clock.start();
		for (qint64 done = 0; done < bytes.size();) {
			const ssize_t n = ::write(m_master,
						  bytes.constData() + done,
						  size_t(bytes.size() - done));
			if (n < 0 && errno != EAGAIN && errno != EINTR)
				return false;
			done += qMax(ssize_t(0), n);
			if (done < bytes.size() &&
			    !waitFor(POLLOUT, timeoutMs - clock.elapsed()))
				return false;
		}
		return true;
	}

	// Reads until count bytes arrived or the time is up; returns what
	// arrived.
	QByteArray readMaster(qint64 count, int timeoutMs = 5000)
	{
		QElapsedTimer clock;
		clock.start();
		QByteArray got;
		while (got.size() < count &&
		       waitFor(POLLIN, timeoutMs - clock.elapsed()))
			got += drainMaster();
		return got;
	}

	// Everything the slave has sent that can be read without waiting.
	QByteArray drainMaster()
	{
		QByteArray got;
		char buffer[4096];
		ssize_t n;
		while ((n = ::read(m_master, buffer, sizeof buffer)) > 0)
			got.append(buffer, int(n));
		return got;
	}

private:
	bool waitFor(short events, qint64 timeoutMs)
	{
		pollfd pfd{m_master, events, 0};
		return timeoutMs > 0 && ::poll(&pfd, 1, int(timeoutMs)) > 0;
	}

	int m_master = -1;
	int m_slave = -1;
	QString m_slavePath;
};

} // namespace quillmarch::test

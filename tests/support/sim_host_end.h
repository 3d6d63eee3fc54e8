#pragma once

// The plug-in's end of a simulated device's cable, for tests of the
// simulator itself: plain reads and writes on the pseudo-terminal's slave
// side and the frame code, nothing of the plug-in's own USB link.

#include "device_model.h"
#include "usb_frame.h"
#include "usb_side.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QtTest>

#include <memory>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace quillmarch::test {

inline QByteArray compact(const QJsonObject &object)
{
	return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

inline QJsonObject parseObject(const QByteArray &json)
{
	return QJsonDocument::fromJson(json).object();
}

inline const QJsonObject kHello{{"t", "hello"}, {"streams", 1}};

// The plug-in's end of the cable, kept to plain reads and writes on the
// slave side plus the frame code, so the simulator is tested on its own.
// No Q_OBJECT: it only needs a parent for its notifier and functor
// connections.
class SimHost : public QObject {
public:
	explicit SimHost(const QString &path)
	{
		m_fd = ::open(QFile::encodeName(path).constData(),
			      O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
		if (m_fd >= 0) {
			m_notifier = new QSocketNotifier(
				m_fd, QSocketNotifier::Read, this);
			connect(m_notifier, &QSocketNotifier::activated, this,
				&SimHost::readAvailable);
		}
		m_clock.start();
	}
	~SimHost() override { close(); }

	bool isOpen() const { return m_fd >= 0; }
	int fd() const { return m_fd; }
	void close()
	{
		delete m_notifier;
		m_notifier = nullptr;
		if (m_fd >= 0)
			::close(m_fd);
		m_fd = -1;
	}

	bool write(const QByteArray &bytes)
	{
		QElapsedTimer clock;
		clock.start();
		qint64 done = 0;
		while (done < bytes.size() && clock.elapsed() < 3000) {
			const ssize_t n = ::write(m_fd,
						  bytes.constData() + done,
						  size_t(bytes.size() - done));
			if (n > 0) {
				done += n;
				continue;
			}
			if (n < 0 && errno != EAGAIN && errno != EINTR)
				return false;
			pollfd pfd{m_fd, POLLOUT, 0};
			::poll(&pfd, 1, 50);
		}
		return done == bytes.size();
	}
	bool sendCtrl(const QJsonObject &o) { return write(buildCtrlFrame(o)); }
	bool hello() { return sendCtrl(kHello); }
	bool sendAdmin(const QByteArray &message)
	{
		const QList<QByteArray> frames = buildAdminFrames(message);
		return !frames.isEmpty() && write(frames.join());
	}

	// One request; the reply with its id, or nothing after the time-out.
	QJsonObject call(const QString &method, const QJsonObject &params = {},
			 int timeoutMs = 3000)
	{
		const int id = ++m_nextId;
		const QJsonObject request{{"id", id},
					  {"method", method},
					  {"params", params}};
		if (!sendAdmin(compact(request)))
			return {};
		QJsonObject reply;
		const bool answered = QTest::qWaitFor(
			[&] {
				reply = replyWithId(id);
				return !reply.isEmpty();
			},
			timeoutMs);
		return answered ? reply : QJsonObject();
	}

	// Signs in with the factory password unless told otherwise.
	QJsonObject
	login(const QString &password = QStringLiteral("corvalinth"))
	{
		return call(QStringLiteral("login"), {{"password", password}});
	}

	// Sends "rx_set" with these members; the receiver's answer ("rx_set"
	// or "rx_error"), or nothing after the time-out. Forgets earlier
	// frames first.
	QJsonObject rxSet(QJsonObject members)
	{
		members.insert(QStringLiteral("t"), QStringLiteral("rx_set"));
		forget();
		if (!sendCtrl(members))
			return {};
		QJsonObject answer;
		const auto answered = [&] {
			for (const QString &t : {QStringLiteral("rx_set"),
						 QStringLiteral("rx_error")})
				if (!ctrl(t).isEmpty())
					answer = ctrl(t).first();
			return !answer.isEmpty();
		};
		return QTest::qWaitFor(answered, 3000) ? answer : QJsonObject();
	}

	QJsonObject replyWithId(const QJsonValue &id) const
	{
		for (const QJsonObject &r : replies)
			if (r.value("id") == id)
				return r;
		return {};
	}
	QList<QJsonObject> envelopes() const
	{
		QList<QJsonObject> out;
		for (const UsbFrame &f : frames)
			if (f.type == kFrameEnvelope)
				out.append(parseObject(f.payload));
		return out;
	}
	QList<QJsonObject> ctrl(const QString &t) const
	{
		QList<QJsonObject> out;
		for (const UsbFrame &f : frames) {
			const QJsonObject o = parseObject(f.payload);
			if (f.type == kFrameCtrl && o.value("t") == t)
				out.append(o);
		}
		return out;
	}
	void forget()
	{
		frames.clear();
		replies.clear();
		envelopeTimes.clear();
		received.clear();
	}

	QByteArray received;    // every byte, frames or not
	QList<UsbFrame> frames; // in arrival order
	QList<QJsonObject> replies;
	QList<qint64> envelopeTimes;
	bool hungUp = false;

private:
	void readAvailable()
	{
		char buffer[8192];
		for (;;) {
			const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
			if (n > 0) {
				take(QByteArray(buffer, int(n)));
				continue;
			}
			if (n < 0 && (errno == EAGAIN || errno == EINTR))
				break;
			hungUp = true; // EOF or EIO: the master is gone
			m_notifier->setEnabled(false);
			break;
		}
	}
	void take(const QByteArray &bytes)
	{
		received += bytes;
		for (const UsbFrame &f : m_parser.feed(bytes)) {
			frames.append(f);
			if (f.type == kFrameEnvelope)
				envelopeTimes.append(m_clock.elapsed());
			if (f.type == kFrameAdmin) {
				const QByteArray m = m_admin.feed(f.payload);
				if (!m.isEmpty())
					replies.append(parseObject(m));
			}
		}
	}

	int m_fd = -1;
	QSocketNotifier *m_notifier = nullptr;
	UsbFrameParser m_parser;
	AdminReassembler m_admin;
	int m_nextId = 0;
	QElapsedTimer m_clock;
};

// A device on its cable with a host end opened on it.
struct SimRig {
	explicit SimRig(const sim::DeviceModel::Config &deviceConfig = {},
			const sim::UsbSide::Config &usbConfig = {})
		: device(deviceConfig),
		  usb(&device, usbConfig)
	{
	}
	bool plugIn()
	{
		if (!usb.plugIn())
			return false;
		host = std::make_unique<SimHost>(usb.slavePath());
		return host->isOpen();
	}
	bool openHello()
	{
		if (!plugIn() || !host->hello())
			return false;
		return QTest::qWaitFor(
			[&] { return !host->ctrl("hello").isEmpty(); }, 3000);
	}

	// Lets the device publish a few envelopes (it must be started) and
	// says whether none of them reached the host.
	bool hostSeesNoEnvelopes(int ticks = 5)
	{
		const quint64 until = device.game().seq() + quint64(ticks);
		const bool ticked = QTest::qWaitFor(
			[&] { return device.game().seq() >= until; }, 3000);
		return ticked && host->envelopes().isEmpty();
	}

	sim::DeviceModel device;
	sim::UsbSide usb;
	std::unique_ptr<SimHost> host;
};

inline QString errorCode(const QJsonObject &reply)
{
	return reply.value("error").toObject().value("code").toString();
}

inline QJsonObject result(const QJsonObject &reply)
{
	return reply.value("result").toObject();
}

} // namespace quillmarch::test

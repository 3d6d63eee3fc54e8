#pragma once

#include "device_model.h"
#include "sim_options.h"
#include "usb/usb_frame.h"
#include "usb_side.h"

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

inline QString errorCode(const QJsonObject &reply)
{
	return reply.value("error").toObject().value("code").toString();
}

inline bool ok(const QJsonObject &reply)
{
	return reply.value("ok").toBool();
}

inline QJsonObject result(const QJsonObject &reply)
{
	return reply.value("result").toObject();
}

// The simulator set up from its command line after "device", as the
// program does it; a line it refuses fails the test.
inline sim::DeviceOptions simOptions(const QString &arguments)
{
	sim::DeviceOptions options;
	QString error;
	if (sim::parseDeviceCommandLine(
		    QStringList{"quillmarch-sim", "device"} +
			    arguments.split(' ', Qt::SkipEmptyParts),
		    &options, &error) != sim::ParseOutcome::Run)
		QTest::qFail(qPrintable(error), __FILE__, __LINE__);
	return options;
}

// The plug-in's end of a simulated device's cable, kept to plain reads and
// writes on the slave side plus the frame code, so the simulator is tested
// on its own. No Q_OBJECT: it only needs a parent for its notifier.
class SimHost : public QObject {
public:
	explicit SimHost(const QString &path)
	{
		m_fd = ::open(QFile::encodeName(path).constData(),
			      O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
		if (m_fd < 0)
			return;
		m_notifier =
			new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
		connect(m_notifier, &QSocketNotifier::activated, this,
			&SimHost::readAvailable);
	}
	~SimHost() override
	{
		if (m_fd >= 0)
			::close(m_fd);
	}

	bool isOpen() const { return m_fd >= 0; }

	bool write(const QByteArray &bytes)
	{
		qint64 done = 0;
		for (int tries = 0; done < bytes.size() && tries < 60;
		     ++tries) {
			const ssize_t n = ::write(m_fd,
						  bytes.constData() + done,
						  size_t(bytes.size() - done));
			if (n < 0 && errno != EAGAIN && errno != EINTR)
				return false;
			done += qMax<ssize_t>(n, 0);
			pollfd pfd{m_fd, POLLOUT, 0};
			if (done < bytes.size())
				::poll(&pfd, 1, 50);
		}
		return done == bytes.size();
	}
	bool sendCtrl(const QJsonObject &o) { return write(buildCtrlFrame(o)); }
	bool hello() { return sendCtrl({{"t", "hello"}, {"streams", 1}}); }
	bool sendAdmin(const QByteArray &message)
	{
		const QList<QByteArray> frames = buildAdminFrames(message);
		return !frames.isEmpty() && write(frames.join());
	}

	// One request; the reply with its id, or nothing after the time-out.
	QJsonObject call(const QString &method, const QJsonObject &params = {},
			 int timeoutMs = 3000)
	{
		const QJsonValue id = ++m_nextId;
		if (!sendAdmin(compact({{"id", id},
					{"method", method},
					{"params", params}})))
			return {};
		QJsonObject reply;
		(void)QTest::qWaitFor(
			[&] {
				for (const QJsonObject &r : replies)
					if (r.value("id") == id)
						reply = r;
				return !reply.isEmpty();
			},
			timeoutMs);
		return reply;
	}
	// Signs in with the factory password unless told otherwise.
	QJsonObject
	login(const QString &password = QStringLiteral("corvalinth"))
	{
		return call("login", {{"password", password}});
	}

	// Sends "rx_set" with these members after forgetting earlier frames;
	// the receiver's answer ("rx_set" or "rx_error"), or nothing.
	QJsonObject rxSet(QJsonObject members)
	{
		members.insert("t", "rx_set");
		forget();
		QJsonObject answer;
		if (sendCtrl(members))
			(void)QTest::qWaitFor([&] {
				for (const char *t : {"rx_set", "rx_error"})
					if (!ctrl(t).isEmpty())
						answer = ctrl(t).first();
				return !answer.isEmpty();
			});
		return answer;
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
		received.clear();
	}

	QByteArray received;    // every byte, frames or not
	QList<UsbFrame> frames; // in arrival order
	QList<QJsonObject> replies;
	bool hungUp = false;

private:
	void readAvailable()
	{
		char buffer[8192];
		ssize_t n;
		while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0) {
			const QByteArray bytes(buffer, int(n));
			received += bytes;
			for (const UsbFrame &f : m_parser.feed(bytes)) {
				frames.append(f);
				const QByteArray m =
					f.type == kFrameAdmin
						? m_admin.feed(f.payload)
						: QByteArray();
				if (!m.isEmpty())
					replies.append(parseObject(m));
			}
		}
		if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
			hungUp = true; // EOF or EIO: the master is gone
			m_notifier->setEnabled(false);
		}
	}

	int m_fd = -1;
	QSocketNotifier *m_notifier = nullptr;
	UsbFrameParser m_parser;
	AdminReassembler m_admin;
	int m_nextId = 0;
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
		return plugIn() && host->hello() && QTest::qWaitFor([&] {
			       return !host->ctrl("hello").isEmpty();
		       });
	}
	// Lets the device publish a few envelopes (it must be started) and
	// says whether none of them reached the host.
	bool hostSeesNoEnvelopes(int ticks = 5)
	{
		const quint64 until = device.game().seq() + quint64(ticks);
		return QTest::qWaitFor(
			       [&] { return device.game().seq() >= until; }) &&
		       host->envelopes().isEmpty();
	}

	sim::DeviceModel device;
	sim::UsbSide usb;
	std::unique_ptr<SimHost> host;
};

} // namespace quillmarch::test

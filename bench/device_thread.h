#pragma once

// A fake device serving the secure feed from a thread of its own, as a real
// device runs on its own clock, with the timer that paces its envelopes.

#include "support/fake_tls_feed_server.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

namespace bench {

class DeviceThread {
public:
	DeviceThread()
		: server(new quillmarch::test::FakeTlsFeedServer(
			  QUILLMARCH_TLS_TEST_DATA)),
		  pacer(new QTimer)
	{
		pacer->setTimerType(Qt::PreciseTimer);
		server->moveToThread(&m_thread);
		pacer->moveToThread(&m_thread);
		m_thread.start();
	}

	~DeviceThread()
	{
		QMetaObject::invokeMethod(
			server,
			[this] {
				delete pacer;
				delete server;
			},
			Qt::BlockingQueuedConnection);
		m_thread.quit();
		m_thread.wait();
	}

	// Listens on 127.0.0.1; false without the test certificate or a port.
	bool start()
	{
		bool listening = false;
		QMetaObject::invokeMethod(
			server,
			[&] {
				listening = server->hasIdentity() &&
					    server->start();
			},
			Qt::BlockingQueuedConnection);
		return listening;
	}

	// Lives on the device's thread: start it with invokeMethod.
	quillmarch::test::FakeTlsFeedServer *server;
	QTimer *pacer;

private:
	QThread m_thread;
};

} // namespace bench

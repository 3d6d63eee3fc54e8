#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

namespace quillmarch::test {

// The secure live-feed port of a device, on 127.0.0.1, with the test
// certificate. It records when each connection was accepted and the first
// line each client sent (the auth line), answers that line with a scripted
// reply, and lets the test write to the latest client. It can hang up on
// every new connection at once, hold new connections without ever starting
// TLS, drop its clients, or stop listening.
//
// No Q_OBJECT: it only overrides a virtual and connects lambdas.
class FakeTlsFeedServer : public QTcpServer {
public:
	explicit FakeTlsFeedServer(const QString &certDir)
	{
		QFile cert(certDir + "/sim-cert.pem");
		QFile key(certDir + "/sim-key.pem");
		if (cert.open(QIODevice::ReadOnly) &&
		    key.open(QIODevice::ReadOnly)) {
			m_cert = QSslCertificate(cert.readAll(), QSsl::Pem);
			m_key = QSslKey(key.readAll(), QSsl::Rsa, QSsl::Pem);
		}
		m_clock.start();
	}

	bool hasIdentity() const { return !m_cert.isNull() && !m_key.isNull(); }
	// Listens on the port of an earlier start() if there was one, so a
	// feed can find the server again after stopListening().
	bool start()
	{
		const bool ok = listen(QHostAddress::LocalHost, m_port);
		m_port = serverPort();
		return ok;
	}
	void stopListening() { close(); }
	quint16 port() const { return m_port; }

	// Written to a client once its auth line has arrived; empty: none.
	void setAuthReply(const QByteArray &bytes) { m_authReply = bytes; }
	// Accept and at once close each new connection, before any TLS.
	void setHangUpOnAccept(bool hangUp) { m_hangUp = hangUp; }
	// Off: keep each new connection open but never start TLS on it.
	void setTlsOnAccept(bool tls) { m_tls = tls; }

	// Milliseconds on this server's monotonic clock.
	qint64 now() const { return m_clock.elapsed(); }
	QList<qint64> acceptTimes() const { return m_acceptTimes; }
	QList<QByteArray> authLines() const { return m_authLines; }
	// Whatever any client sent after its auth line.
	QByteArray extraBytes() const { return m_extra; }
	int connectedClients() const
	{
		int n = 0;
		for (const auto &socket : m_clients)
			n += socket &&
			     socket->state() == QAbstractSocket::ConnectedState;
		return n;
	}

	void send(const QByteArray &bytes)
	{
		for (int i = int(m_clients.size()) - 1; i >= 0; --i) {
			if (QSslSocket *socket = m_clients.at(i)) {
				socket->write(bytes);
				socket->flush();
				return;
			}
		}
	}
	// Closes every client after what was sent to it has gone out.
	void closeClients()
	{
		for (const auto &socket : m_clients)
			if (socket)
				socket->disconnectFromHost();
	}

protected:
	void incomingConnection(qintptr descriptor) override
	{
		m_acceptTimes.append(now());
		auto *socket = new QSslSocket(this);
		socket->setSocketDescriptor(descriptor);
		if (m_hangUp) {
			socket->abort();
			socket->deleteLater();
			return;
		}
		m_clients.append(socket);
		QObject::connect(socket, &QAbstractSocket::disconnected, socket,
				 &QObject::deleteLater);
		if (!m_tls)
			return;
		// Each line goes out when written, not held back for an
		// acknowledgement, so timings measure the receiving side.
		socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
		socket->setLocalCertificate(m_cert);
		socket->setPrivateKey(m_key);
		socket->setPeerVerifyMode(QSslSocket::VerifyNone);
		// The first line is the auth line; the rest is extra.
		QObject::connect(
			socket, &QIODevice::readyRead, this, [this, socket] {
				if (!socket->property("authSeen").toBool()) {
					if (!socket->canReadLine())
						return;
					m_authLines.append(socket->readLine());
					socket->setProperty("authSeen", true);
					if (!m_authReply.isEmpty())
						socket->write(m_authReply);
				}
				m_extra += socket->readAll();
			});
		socket->startServerEncryption();
	}

private:
	QSslCertificate m_cert;
	QSslKey m_key;
	QElapsedTimer m_clock;
	quint16 m_port = 0;
	QByteArray m_authReply = "{\"type\":\"auth_ok\"}\n";
	bool m_hangUp = false;
	bool m_tls = true;
	QList<qint64> m_acceptTimes;
	QList<QByteArray> m_authLines;
	QByteArray m_extra;
	QList<QPointer<QSslSocket>> m_clients;
};

} // namespace quillmarch::test

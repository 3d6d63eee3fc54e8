#include "feed_side.h"

#include <QFile>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

#include <functional>

Q_LOGGING_CATEGORY(lcFeed, "quillmarch.sim.feed", QtInfoMsg)

namespace quillmarch::sim {

// The listening socket: every accepted descriptor becomes a TLS socket, so
// the default QTcpSocket of QTcpServer will not do.
class FeedListener : public QTcpServer {
public:
	using QTcpServer::QTcpServer;
	std::function<void(qintptr)> onIncoming;

protected:
	void incomingConnection(qintptr descriptor) override
	{
		onIncoming(descriptor);
	}
};

// One feed connection. A QObject so that it can be deleted later: a socket
// may disconnect from inside a call that still uses it.
class FeedClient : public QObject {
public:
	FeedClient(QSslSocket *socket, QObject *parent)
		: QObject(parent),
		  socket(socket)
	{
		socket->setParent(this);
		authTimer.setSingleShot(true);
	}

	QSslSocket *socket;
	QByteArray buffer;
	bool authenticated = false;
	bool closing = false;
	QString token;
	QTimer authTimer;
};

namespace {

constexpr int kMaxAuthLineBytes = 4096;

QByteArray line(const QJsonObject &object)
{
	return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

const QByteArray &authOk()
{
	static const QByteArray bytes =
		line({{QStringLiteral("type"), QStringLiteral("auth_ok")}});
	return bytes;
}

const QByteArray &authFail()
{
	static const QByteArray bytes =
		line({{QStringLiteral("type"), QStringLiteral("auth_fail")}});
	return bytes;
}

bool loadIdentity(const FeedSide::Config &config, QSslConfiguration *tls,
		  QString *error)
{
	QFile certFile(config.certificatePath);
	QFile keyFile(config.keyPath);
	if (!certFile.open(QIODevice::ReadOnly)) {
		*error = QStringLiteral("cannot read the certificate %1: %2")
				 .arg(config.certificatePath,
				      certFile.errorString());
		return false;
	}
	if (!keyFile.open(QIODevice::ReadOnly)) {
		*error = QStringLiteral("cannot read the key %1: %2")
				 .arg(config.keyPath, keyFile.errorString());
		return false;
	}
	const QSslCertificate cert(certFile.readAll(), QSsl::Pem);
	const QByteArray keyBytes = keyFile.readAll();
	QSslKey key(keyBytes, QSsl::Rsa, QSsl::Pem);
	if (key.isNull())
		key = QSslKey(keyBytes, QSsl::Ec, QSsl::Pem);
	if (cert.isNull() || key.isNull()) {
		*error = QStringLiteral("%1 or %2 is not a PEM certificate "
					"and key")
				 .arg(config.certificatePath, config.keyPath);
		return false;
	}
	tls->setLocalCertificate(cert);
	tls->setPrivateKey(key);
	// Clients present no certificate; the token is what they prove.
	tls->setPeerVerifyMode(QSslSocket::VerifyNone);
	return true;
}

} // namespace

FeedSide::FeedSide(DeviceModel *device, const Config &config, QObject *parent)
	: QObject(parent),
	  m_device(device),
	  m_config(config),
	  m_server(new FeedListener(this)),
	  m_tls(QSslConfiguration::defaultConfiguration()),
	  m_address(config.address),
	  m_port(config.port)
{
	m_server->onIncoming = [this](qintptr fd) {
		onIncoming(fd);
	};
	m_refusal.setSingleShot(true);
	connect(&m_refusal, &QTimer::timeout, this, &FeedSide::updateListening);
	m_relisten.setSingleShot(true);
	connect(&m_relisten, &QTimer::timeout, this,
		&FeedSide::updateListening);
	connect(m_device, &DeviceModel::envelope, this, &FeedSide::onEnvelope);
	connect(m_device, &DeviceModel::restarting, this, [this] {
		m_deviceDown = true;
		dropAll();
		updateListening();
	});
	connect(m_device, &DeviceModel::restarted, this, [this] {
		m_deviceDown = false;
		updateListening();
	});
}

FeedSide::~FeedSide()
{
	for (FeedClient *client : m_clients.values()) {
		client->socket->disconnect();
		client->socket->abort();
	}
}

bool FeedSide::listen(QString *error)
{
	QString why;
	if (!loadIdentity(m_config, &m_tls, &why) ||
	    !m_server->listen(m_config.address, m_config.port)) {
		if (why.isEmpty())
			why = m_server->errorString();
		if (error)
			*error = why;
		return false;
	}
	m_address = m_server->serverAddress();
	m_port = m_server->serverPort();
	m_started = true;
	m_deviceDown = m_device->isRestarting();
	updateListening();
	qCInfo(lcFeed).noquote()
		<< "live feed on" << m_address.toString() << m_port;
	return true;
}

void FeedSide::close()
{
	m_started = false;
	m_refusal.stop();
	m_relisten.stop();
	m_server->close();
	dropAll();
}

bool FeedSide::isListening() const
{
	return m_server->isListening();
}

int FeedSide::authenticatedCount() const
{
	int n = 0;
	for (const FeedClient *client : m_clients.values())
		n += client->authenticated && !client->closing ? 1 : 0;
	return n;
}

void FeedSide::refuseFor(int ms)
{
	if (ms > 0)
		m_refusal.start(ms);
	else
		m_refusal.stop();
	updateListening();
}

void FeedSide::updateListening()
{
	const bool wanted = m_started && !m_deviceDown && !m_refusal.isActive();
	if (!wanted) {
		m_relisten.stop();
		m_server->close();
		return;
	}
	if (m_server->isListening())
		return;
	// The same port again: clients know the device by it.
	if (!m_server->listen(m_address, m_port)) {
		qCWarning(lcFeed).noquote()
			<< "cannot listen again:" << m_server->errorString();
		m_relisten.start(200);
	}
}

void FeedSide::dropAll()
{
	for (FeedClient *client : m_clients.values()) {
		client->closing = true;
		client->socket->abort();
		forget(client);
	}
}

void FeedSide::rejectAuthenticated()
{
	for (FeedClient *client : m_clients.values())
		if (client->authenticated && !client->closing)
			reject(client);
}

void FeedSide::onIncoming(qintptr descriptor)
{
	auto *socket = new QSslSocket(this);
	if (!socket->setSocketDescriptor(descriptor)) {
		delete socket;
		return;
	}
	++m_accepted;
	if (m_clients.size() >= m_config.maxClients) {
		socket->abort();
		socket->deleteLater();
		return;
	}
	// Every envelope goes out as it is written, not held back to be
	// joined with the next.
	socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
	socket->setSslConfiguration(m_tls);

	auto *client = new FeedClient(socket, this);
	m_clients.insert(client);
	connect(socket, &QIODevice::readyRead, client,
		[this, client] { onReadable(client); });
	connect(socket, &QAbstractSocket::disconnected, client,
		[this, client] { forget(client); });
	// A failed handshake or a reset ends the connection; a socket that
	// never got connected sends no disconnected signal.
	connect(socket, &QAbstractSocket::errorOccurred, client,
		[this, client](QAbstractSocket::SocketError error) {
			qCDebug(lcFeed) << "client error" << error;
			client->closing = true;
			client->socket->abort();
			forget(client);
		});
	connect(&client->authTimer, &QTimer::timeout, client, [this, client] {
		qCInfo(lcFeed) << "client sent no token in time";
		client->closing = true;
		client->socket->abort();
		forget(client);
	});
	client->authTimer.start(m_config.authTimeoutMs);
	socket->startServerEncryption();
}

void FeedSide::forget(FeedClient *client)
{
	if (!m_clients.remove(client))
		return;
	client->closing = true;
	client->authTimer.stop();
	client->deleteLater();
}

void FeedSide::onReadable(FeedClient *client)
{
	const QByteArray bytes = client->socket->readAll();
	// After its token a client has nothing more to say.
	if (client->authenticated || client->closing)
		return;
	client->buffer.append(bytes);
	const int end = int(client->buffer.indexOf('\n'));
	if (end < 0) {
		if (client->buffer.size() > kMaxAuthLineBytes)
			reject(client);
		return;
	}
	authenticate(client, client->buffer.left(end).trimmed());
	client->buffer.clear();
}

void FeedSide::authenticate(FeedClient *client, const QByteArray &line)
{
	client->authTimer.stop();
	const QJsonObject auth = QJsonDocument::fromJson(line).object();
	const QJsonValue token = auth.value(QLatin1String("token"));
	const QString expected = m_device->apiToken();
	if (auth.value(QLatin1String("type")) != QLatin1String("auth") ||
	    !token.isString() || expected.isEmpty() ||
	    token.toString() != expected) {
		qCInfo(lcFeed) << "token refused";
		reject(client);
		return;
	}
	client->authenticated = true;
	client->token = token.toString();
	client->socket->write(authOk());
	qCInfo(lcFeed) << "client signed in";
}

void FeedSide::reject(FeedClient *client)
{
	client->closing = true;
	client->authTimer.stop();
	++m_rejections;
	client->socket->write(authFail());
	// Closes once the answer is out.
	client->socket->disconnectFromHost();
}

void FeedSide::onEnvelope(const QJsonObject &envelope)
{
	if (m_clients.isEmpty())
		return;
	const QByteArray bytes = line(envelope);
	const QString token = m_device->apiToken();
	for (FeedClient *client : m_clients.values()) {
		if (!client->authenticated || client->closing)
			continue;
		if (client->token != token) {
			qCInfo(lcFeed) << "token no longer valid";
			reject(client);
			continue;
		}
		QSslSocket *socket = client->socket;
		if (socket->bytesToWrite() + socket->encryptedBytesToWrite() >
		    m_config.maxQueuedBytes) {
			qCInfo(lcFeed) << "client too slow; dropped";
			client->closing = true;
			socket->abort();
			forget(client);
			continue;
		}
		socket->write(bytes);
	}
}

} // namespace quillmarch::sim

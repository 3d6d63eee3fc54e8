#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace quillmarch::test {

using HttpHeader = QPair<QByteArray, QByteArray>;

// One request as it arrived on the wire.
struct HttpRequest {
	QByteArray method;
	QByteArray target; // as sent: path, then "?" and the query if any
	QByteArray path;   // target without the query, not decoded
	QByteArray query;  // after the "?", not decoded
	bool hasQuery = false;
	QByteArray version;
	QList<HttpHeader> headers; // in order, as sent
	QByteArray body;           // de-chunked when sent chunked
	int connection = 0;        // which TCP connection carried it, from 1

	// The first header of that name (case-insensitive); empty if none.
	QByteArray header(const QByteArray &name) const
	{
		for (const auto &h : headers) {
			if (h.first.compare(name, Qt::CaseInsensitive) == 0)
				return h.second;
		}
		return QByteArray();
	}
	bool hasHeader(const QByteArray &name) const
	{
		for (const auto &h : headers) {
			if (h.first.compare(name, Qt::CaseInsensitive) == 0)
				return true;
		}
		return false;
	}
	QJsonObject jsonBody() const
	{
		return QJsonDocument::fromJson(body).object();
	}
};

// What the server does with one request.
struct HttpResponse {
	enum class Action {
		Answer, // send status, headers and body
		Drop,   // close the connection without a byte of answer
		Stall,  // keep the connection and never answer
		Raw,    // write the body verbatim, then close the connection
	};

	Action action = Action::Answer;
	int status = 200;
	QByteArray reason; // empty: a standard phrase for the status
	QList<HttpHeader> headers;
	QByteArray body;
	int delayMs = 0;         // wait this long before acting
	bool closeAfter = false; // close the connection once answered

	static HttpResponse json(int status, const QJsonObject &object)
	{
		HttpResponse r;
		r.status = status;
		r.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
		r.headers.append(
			HttpHeader("Content-Type", "application/json"));
		return r;
	}
	static HttpResponse raw(int status, const QByteArray &body,
				const QByteArray &contentType = "text/plain")
	{
		HttpResponse r;
		r.status = status;
		r.body = body;
		if (!contentType.isEmpty())
			r.headers.append(
				HttpHeader("Content-Type", contentType));
		return r;
	}
	static HttpResponse drop(int delayMs = 0)
	{
		HttpResponse r;
		r.action = Action::Drop;
		r.delayMs = delayMs;
		return r;
	}
	// Bytes sent as they are, for answers no well-behaved server gives.
	static HttpResponse rawBytes(const QByteArray &bytes)
	{
		HttpResponse r;
		r.action = Action::Raw;
		r.body = bytes;
		return r;
	}
	static HttpResponse stall()
	{
		HttpResponse r;
		r.action = Action::Stall;
		return r;
	}
	HttpResponse &withHeader(const QByteArray &name,
				 const QByteArray &value)
	{
		headers.append(HttpHeader(name, value));
		return *this;
	}
	HttpResponse &after(int ms)
	{
		delayMs = ms;
		return *this;
	}
};

// A scriptable HTTP/1.1 server on 127.0.0.1 for tests of HTTP clients.
//
// Requests are parsed (request line, headers, a Content-Length or chunked
// body), recorded in arrival order and answered by the handler registered for
// their method and path, or by the fallback (404 with a JSON error). Answers
// always carry Content-Length; connections stay open for further requests
// unless the client asked for "Connection: close" or the answer says
// closeAfter. Requests on one connection are answered in order, so a delayed
// answer holds back the ones behind it, as on a real server.
//
// No Q_OBJECT, so it needs no moc run and can be included from any test.
class FakeHttpServer : public QTcpServer {
public:
	using Handler = std::function<HttpResponse(const HttpRequest &)>;

	explicit FakeHttpServer(QObject *parent = nullptr) : QTcpServer(parent)
	{
		QObject::connect(this, &QTcpServer::newConnection, this,
				 [this] { acceptAll(); });
	}

	// Listens on 127.0.0.1, on a free port unless one is given.
	bool start(quint16 port = 0)
	{
		return listen(QHostAddress::LocalHost, port);
	}
	quint16 port() const { return serverPort(); }
	QString address() const
	{
		return QStringLiteral("127.0.0.1:%1").arg(serverPort());
	}

	void route(const QByteArray &method, const QByteArray &path,
		   Handler handler)
	{
		m_routes.insert(method + ' ' + path, std::move(handler));
	}
	void route(const QByteArray &method, const QByteArray &path,
		   const HttpResponse &response)
	{
		route(method, path,
		      [response](const HttpRequest &) { return response; });
	}
	// Answers every request that has no route of its own.
	void setFallback(Handler handler) { m_fallback = std::move(handler); }

	const QList<HttpRequest> &requests() const { return m_requests; }
	QList<HttpRequest> requestsTo(const QByteArray &path) const
	{
		QList<HttpRequest> out;
		for (const HttpRequest &r : m_requests) {
			if (r.path == path)
				out.append(r);
		}
		return out;
	}
	void clearRequests() { m_requests.clear(); }
	int connectionCount() const { return m_connections; }
	// Answers written and connections dropped on purpose so far.
	int answered() const { return m_answered; }
	int dropped() const { return m_dropped; }

	// Runs the event loop until `count` requests have arrived.
	bool waitForRequests(int count, int timeoutMs = 5000)
	{
		QDeadlineTimer deadline(timeoutMs);
		while (m_requests.size() < count && !deadline.hasExpired())
			QCoreApplication::processEvents(QEventLoop::AllEvents,
							20);
		return m_requests.size() >= count;
	}

	static QByteArray reasonFor(int status)
	{
		switch (status) {
		case 200:
			return "OK";
		case 204:
			return "No Content";
		case 302:
			return "Found";
		case 400:
			return "Bad Request";
		case 401:
			return "Unauthorized";
		case 403:
			return "Forbidden";
		case 404:
			return "Not Found";
		case 429:
			return "Too Many Requests";
		case 500:
			return "Internal Server Error";
		case 503:
			return "Service Unavailable";
		default:
			return "Status";
		}
	}

private:
	struct Connection {
		int number = 0;
		QByteArray buffer;
		QList<HttpRequest> waiting; // parsed, not yet answered
		bool busy = false;          // an answer is being prepared
		bool closing = false;
	};

	void acceptAll()
	{
		while (QTcpSocket *socket = nextPendingConnection()) {
			auto conn = std::make_shared<Connection>();
			conn->number = ++m_connections;
			QObject::connect(socket, &QTcpSocket::readyRead, socket,
					 [this, socket, conn] {
						 conn->buffer +=
							 socket->readAll();
						 parse(socket, conn);
					 });
			QObject::connect(socket, &QTcpSocket::disconnected,
					 socket, &QObject::deleteLater);
		}
	}

	// Takes every complete request out of the buffer.
	void parse(QTcpSocket *socket, const std::shared_ptr<Connection> &conn)
	{
		for (;;) {
			HttpRequest request;
			int used = 0;
			if (!parseOne(conn->buffer, &request, &used))
				break;
			conn->buffer.remove(0, used);
			request.connection = conn->number;
			m_requests.append(request);
			conn->waiting.append(request);
		}
		serveNext(socket, conn);
	}

	static bool parseOne(const QByteArray &buf, HttpRequest *out, int *used)
	{
		const int headEnd = buf.indexOf("\r\n\r\n");
		if (headEnd < 0)
			return false;
		// Lines end at CR LF only, so that a stray line feed a client
		// lets into a header value shows up in that value.
		QList<QByteArray> lines;
		for (int from = 0; from <= headEnd;) {
			int end = buf.indexOf("\r\n", from);
			if (end < 0 || end > headEnd)
				end = headEnd;
			lines.append(buf.mid(from, end - from));
			from = end + 2;
		}
		const QList<QByteArray> first =
			lines.value(0).trimmed().split(' ');
		out->method = first.value(0);
		out->target = first.value(1);
		out->version = first.value(2);
		const int q = out->target.indexOf('?');
		out->hasQuery = q >= 0;
		out->path = q >= 0 ? out->target.left(q) : out->target;
		out->query = q >= 0 ? out->target.mid(q + 1) : QByteArray();
		for (int i = 1; i < lines.size(); ++i) {
			const QByteArray &line = lines.at(i);
			const int colon = line.indexOf(':');
			if (colon <= 0)
				continue;
			out->headers.append(
				HttpHeader(line.left(colon).trimmed(),
					   line.mid(colon + 1).trimmed()));
		}
		int at = headEnd + 4;
		if (out->header("Transfer-Encoding").toLower() == "chunked") {
			for (;;) {
				const int eol = buf.indexOf("\r\n", at);
				if (eol < 0)
					return false;
				bool ok = false;
				const int size = buf.mid(at, eol - at)
							 .split(';')
							 .value(0)
							 .trimmed()
							 .toInt(&ok, 16);
				if (!ok || size < 0)
					return false;
				at = eol + 2;
				if (size == 0) {
					// No trailers from the clients we test.
					if (buf.size() < at + 2)
						return false;
					at += 2;
					break;
				}
				if (buf.size() < at + size + 2)
					return false;
				out->body += buf.mid(at, size);
				at += size + 2;
			}
		} else {
			const int length =
				out->header("Content-Length").toInt();
			if (buf.size() < at + length)
				return false;
			out->body = buf.mid(at, length);
			at += length;
		}
		*used = at;
		return true;
	}

	void serveNext(QTcpSocket *socket,
		       const std::shared_ptr<Connection> &conn)
	{
		if (conn->busy || conn->closing || conn->waiting.isEmpty())
			return;
		conn->busy = true;
		const HttpRequest request = conn->waiting.takeFirst();
		const Handler &handler = m_routes.value(
			request.method + ' ' + request.path, m_fallback);
		const HttpResponse response = handler(request);
		const bool clientCloses =
			request.header("Connection").toLower() == "close";
		QPointer<QTcpSocket> guard(socket);
		auto act = [this, guard, conn, response, clientCloses] {
			if (!guard)
				return;
			respond(guard, conn, response, clientCloses);
		};
		if (response.delayMs > 0)
			QTimer::singleShot(response.delayMs, socket, act);
		else
			act();
	}

	void respond(QTcpSocket *socket,
		     const std::shared_ptr<Connection> &conn,
		     const HttpResponse &response, bool clientCloses)
	{
		switch (response.action) {
		case HttpResponse::Action::Stall:
			return;
		case HttpResponse::Action::Drop:
			++m_dropped;
			conn->closing = true;
			socket->abort();
			return;
		case HttpResponse::Action::Raw:
			++m_answered;
			conn->closing = true;
			socket->write(response.body);
			socket->disconnectFromHost();
			return;
		case HttpResponse::Action::Answer:
			break;
		}
		const bool close = clientCloses || response.closeAfter;
		QByteArray out = "HTTP/1.1 " +
				 QByteArray::number(response.status) + ' ' +
				 (response.reason.isEmpty()
					  ? reasonFor(response.status)
					  : response.reason) +
				 "\r\n";
		for (const auto &h : response.headers)
			out += h.first + ": " + h.second + "\r\n";
		out += "Content-Length: " +
		       QByteArray::number(response.body.size()) + "\r\n";
		if (close)
			out += "Connection: close\r\n";
		out += "\r\n" + response.body;
		socket->write(out);
		++m_answered;
		conn->busy = false;
		if (close) {
			conn->closing = true;
			socket->disconnectFromHost();
			return;
		}
		serveNext(socket, conn);
	}

	QHash<QByteArray, Handler> m_routes;
	Handler m_fallback = [](const HttpRequest &) {
		return HttpResponse::json(
			404, QJsonObject{{QStringLiteral("error"),
					  QStringLiteral("not_found")}});
	};
	QList<HttpRequest> m_requests;
	int m_connections = 0;
	int m_answered = 0;
	int m_dropped = 0;
};

} // namespace quillmarch::test

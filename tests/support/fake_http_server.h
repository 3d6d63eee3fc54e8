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

#include <functional>

namespace quillmarch::test {

using HttpHeader = QPair<QByteArray, QByteArray>;

// One request as it arrived on the wire.
struct HttpRequest {
	QByteArray method;
	QByteArray target; // as sent: path, then "?" and the query if any
	QByteArray path;   // target without the query
	QList<HttpHeader> headers;
	QByteArray body;

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
		Answer,   // send status, headers and body
		Drop,     // close the connection without a byte of answer
		Stall,    // keep the connection and never answer
		Raw,      // write the body verbatim, then close the connection
		RawStall, // write the body verbatim, keep the connection
	};

	Action action = Action::Answer;
	int status = 200;
	QList<HttpHeader> headers;
	QByteArray body;
	int delayMs = 0; // wait this long before acting

	static HttpResponse of(Action action)
	{
		HttpResponse r;
		r.action = action;
		return r;
	}
	static HttpResponse json(int status, const QJsonObject &object)
	{
		return raw(status,
			   QJsonDocument(object).toJson(QJsonDocument::Compact),
			   "application/json");
	}
	static HttpResponse raw(int status, const QByteArray &body,
				const QByteArray &contentType = "text/plain")
	{
		HttpResponse r;
		r.status = status;
		r.body = body;
		return r.withHeader("Content-Type", contentType);
	}
	static HttpResponse drop(int delayMs = 0)
	{
		return of(Action::Drop).after(delayMs);
	}
	// Bytes sent as they are, for answers no well-behaved server gives.
	static HttpResponse rawBytes(const QByteArray &bytes)
	{
		HttpResponse r = of(Action::Raw);
		r.body = bytes;
		return r;
	}
	// Bytes sent as they are on a connection that then stays open: an
	// answer whose end never comes.
	static HttpResponse rawBytesThenStall(const QByteArray &bytes)
	{
		HttpResponse r = of(Action::RawStall);
		r.body = bytes;
		return r;
	}
	static HttpResponse stall() { return of(Action::Stall); }
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
// Requests (with a Content-Length body, if any) are recorded in arrival
// order and answered by the handler registered for their method and path, or
// by the fallback (404). Connections stay open for further requests. The
// clients under test never pipeline, so a connection carries one request at a
// time.
//
// No Q_OBJECT, so it needs no moc run and can be included from any test.
class FakeHttpServer : public QTcpServer {
public:
	using Handler = std::function<HttpResponse(const HttpRequest &)>;

	FakeHttpServer()
	{
		QObject::connect(this, &QTcpServer::newConnection, this,
				 [this] { acceptAll(); });
	}

	bool start() { return listen(QHostAddress::LocalHost, 0); }
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
	// Answers written so far.
	int answered() const { return m_answered; }

	// Runs the event loop until `count` requests have arrived.
	bool waitForRequests(int count, int timeoutMs = 5000)
	{
		QDeadlineTimer deadline(timeoutMs);
		while (m_requests.size() < count && !deadline.hasExpired())
			QCoreApplication::processEvents(QEventLoop::AllEvents,
							20);
		return m_requests.size() >= count;
	}

private:
	void acceptAll()
	{
		while (QTcpSocket *socket = nextPendingConnection()) {
			auto buffer = std::make_shared<QByteArray>();
			QObject::connect(socket, &QTcpSocket::readyRead, socket,
					 [this, socket, buffer] {
						 *buffer += socket->readAll();
						 HttpRequest request;
						 while (parseOne(buffer.get(),
								 &request))
							 serve(socket, request);
					 });
			QObject::connect(socket, &QTcpSocket::disconnected,
					 socket, &QObject::deleteLater);
		}
	}

	// Takes one complete request out of the buffer.
	static bool parseOne(QByteArray *buf, HttpRequest *out)
	{
		const int headEnd = int(buf->indexOf("\r\n\r\n"));
		if (headEnd < 0)
			return false;
		// Lines end at CR LF only, so that a stray line feed a client
		// lets into a header value shows up in that value.
		const QList<QByteArray> lines = buf->left(headEnd).split('\r');
		*out = HttpRequest();
		const QList<QByteArray> first = lines.value(0).split(' ');
		out->method = first.value(0);
		out->target = first.value(1);
		out->path = out->target.split('?').value(0);
		for (int i = 1; i < lines.size(); ++i) {
			// Each line after the first starts with the LF of CR LF.
			const QByteArray line = lines.at(i).mid(1);
			const int colon = int(line.indexOf(':'));
			if (colon > 0)
				out->headers.append(HttpHeader(
					line.left(colon).trimmed(),
					line.mid(colon + 1).trimmed()));
		}
		const int length = out->header("Content-Length").toInt();
		if (buf->size() < headEnd + 4 + length)
			return false;
		out->body = buf->mid(headEnd + 4, length);
		buf->remove(0, headEnd + 4 + length);
		return true;
	}

	void serve(QTcpSocket *socket, const HttpRequest &request)
	{
		m_requests.append(request);
		const HttpResponse response =
			m_routes.value(request.method + ' ' + request.path,
				       m_fallback)(request);
		QPointer<QTcpSocket> guard(socket);
		QTimer::singleShot(response.delayMs, socket,
				   [this, guard, response] {
					   if (guard)
						   respond(guard, response);
				   });
	}

	void respond(QTcpSocket *socket, const HttpResponse &response)
	{
		switch (response.action) {
		case HttpResponse::Action::Stall:
			return;
		case HttpResponse::Action::Drop:
			socket->abort();
			return;
		case HttpResponse::Action::Raw:
			++m_answered;
			socket->write(response.body);
			socket->disconnectFromHost();
			return;
		case HttpResponse::Action::RawStall:
			++m_answered;
			socket->write(response.body);
			return;
		case HttpResponse::Action::Answer:
			break;
		}
		QByteArray out = "HTTP/1.1 " +
				 QByteArray::number(response.status) +
				 " Status\r\n";
		for (const auto &h : response.headers)
			out += h.first + ": " + h.second + "\r\n";
		out += "Content-Length: " +
		       QByteArray::number(response.body.size()) + "\r\n\r\n" +
		       response.body;
		socket->write(out);
		++m_answered;
	}

	QHash<QByteArray, Handler> m_routes;
	Handler m_fallback = [](const HttpRequest &) {
		return HttpResponse::json(404, {{"error", "not_found"}});
	};
	QList<HttpRequest> m_requests;
	int m_answered = 0;
};

} // namespace quillmarch::test

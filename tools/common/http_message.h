#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QStringList>

namespace quillmarch::tools {

// HTTP/1.1 as the stand-ins read and write it, as pure byte work so that it
// can be checked and fuzzed without sockets.

using HttpHeader = QPair<QByteArray, QByteArray>;

// One request as it came off the wire.
struct HttpRequest {
	QByteArray method;
	QByteArray target; // as sent: path, then "?" and the query if any
	QByteArray path;   // target without the query, still percent-encoded
	QByteArray version;
	QList<HttpHeader> headers; // in order, as sent
	QByteArray body;

	// The first header of that name (any letter case); empty if none.
	QByteArray header(const QByteArray &name) const;
	bool hasHeader(const QByteArray &name) const;
	// Whether the connection stays open after the answer.
	bool keepAlive() const;
	// The "Cookie" headers as name → value; the first of a name wins.
	QHash<QByteArray, QByteArray> cookies() const;
	// The path split at "/" with each segment percent-decoded, so an
	// encoded slash stays inside its segment: "/a/b%2Fc" gives
	// ["a", "b/c"].
	QStringList segments() const;
	// The body as a JSON object; `ok` false when it is not one.
	QJsonObject json(bool *ok = nullptr) const;
};

// What a server does with one request.
struct HttpReply {
	enum class Action {
		Answer, // status line, headers, body
		Drop,   // close the connection without a byte of answer
		Stall,  // never answer; the connection stays open
		Cut,    // status line, headers, half the body, then close
		Raw,    // the body as it is, for answers no good server gives;
			// then as Stall, or closed with `close`
	};

	Action action = Action::Answer;
	int status = 200;
	QByteArray contentType = "application/json";
	QByteArray body;
	QList<HttpHeader> headers; // more header lines, e.g. Set-Cookie
	int delayMs = 0;           // wait this long before acting
	bool close = false;        // close the connection after the answer

	static HttpReply json(int status, const QJsonObject &object);
	static HttpReply text(int status, const QByteArray &body,
			      const QByteArray &contentType = "text/plain");
	static HttpReply of(Action action);
	static HttpReply raw(const QByteArray &bytes);

	HttpReply &withHeader(const QByteArray &name, const QByteArray &value);
	HttpReply &after(int ms);

	QByteArray serialize(bool closing) const;
};

QByteArray httpReasonPhrase(int status);

// How much of a request a server reads before it refuses it.
struct HttpLimits {
	int maxHeadBytes = 16 * 1024;
	qint64 maxBodyBytes = 1024 * 1024;
};

// Takes bytes as they arrive and hands out complete requests. A line may
// end in a bare line feed, as people type requests by hand. Bodies need a
// Content-Length: clients of these small APIs never stream them. After an
// error the connection is beyond repair and the parser stays failed.
class HttpRequestParser {
public:
	enum class Result { NeedMore, Request, Error };

	explicit HttpRequestParser(const HttpLimits &limits = HttpLimits())
		: m_limits(limits)
	{
	}

	void feed(const QByteArray &bytes) { m_buffer += bytes; }
	// On Error `errorStatus` is the status to answer with before closing:
	// 400 for what is not HTTP, 413 and 431 for a body or head over the
	// limits, 501 for a chunked body, 505 for another HTTP version.
	Result next(HttpRequest *out, int *errorStatus);
	// Bytes received and not handed out yet.
	qint64 buffered() const { return m_buffer.size(); }

private:
	Result fail(int status, int *errorStatus);

	HttpLimits m_limits;
	QByteArray m_buffer;
	int m_failedWith = 0;
	bool m_haveHead = false;
	HttpRequest m_head; // read while its body is still coming
	qint64 m_bodyLength = 0;
};

} // namespace quillmarch::tools

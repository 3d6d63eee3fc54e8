#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QStringList>

namespace quillmarch::portalsim {

using HttpHeader = QPair<QByteArray, QByteArray>;

// One request as it came off the wire.
struct HttpRequest {
	QByteArray method;
	QByteArray target; // as sent: path, then "?" and the query if any
	QByteArray path;   // target without the query, still percent-encoded
	QByteArray version;
	QList<HttpHeader> headers;
	QByteArray body;

	// The first header of that name (case-insensitive), empty if none.
	QByteArray header(const QByteArray &name) const;
	// Whether the connection stays open after the answer.
	bool keepAlive() const;
	// The "Cookie" header as name → value.
	QHash<QByteArray, QByteArray> cookies() const;
	// The path split at "/" with each segment percent-decoded, so an
	// encoded slash stays inside its segment. "/a/b%2Fc" gives
	// ["a", "b/c"].
	QStringList segments() const;
	// The body as a JSON object; `ok` false when it is not one.
	QJsonObject json(bool *ok = nullptr) const;
};

// What the server does with one request.
struct HttpReply {
	enum class Action {
		Answer, // status line, headers, body
		Drop,   // close the connection without a byte of answer
		Stall,  // never answer; the connection stays open
		Cut,    // status line, headers, half the body, then close
	};

	Action action = Action::Answer;
	int status = 200;
	QByteArray contentType = "application/json";
	QByteArray body;
	QList<QByteArray> setCookies; // each a full "Set-Cookie" value
	int delayMs = 0;

	static HttpReply json(int status, const QJsonObject &object);
	// The portal's error shape: {"detail": {"error": code}}.
	static HttpReply error(int status, const QString &code);
	// An error with a sentence for the user: {"detail": text}, plus
	// {"error": code} when a code is given.
	static HttpReply message(int status, const QString &text,
				 const QString &code = QString());
	static HttpReply text(int status, const QByteArray &body,
			      const QByteArray &contentType);

	QByteArray serialize(bool close) const;
};

QByteArray reasonPhrase(int status);

// Takes bytes as they arrive and hands out complete requests. Bodies need a
// Content-Length; clients of a JSON API never stream them. After an error
// the connection is beyond repair and the parser stays failed.
class HttpRequestParser {
public:
	static constexpr int kMaxHeadBytes = 16 * 1024;
	static constexpr int kMaxBodyBytes = 1024 * 1024;

	enum class Result { NeedMore, Request, Error };

	void feed(const QByteArray &bytes) { m_buffer += bytes; }
	// On Error `errorStatus` is the status to answer with before closing.
	Result next(HttpRequest *out, int *errorStatus);

private:
	Result fail(int status, int *errorStatus);

	QByteArray m_buffer;
	int m_failedWith = 0;
};

} // namespace quillmarch::portalsim

#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace quillmarch::sim {

// The simulated device's HTTP interface as pure data and byte work, so it
// can be checked and fuzzed without sockets: its routes, and HTTP/1.1 as
// its small server reads and writes it.

// One request as the server read it.
struct HttpRequest {
	QByteArray verb;
	QByteArray target;
	QString path; // the target without a query
	bool keepAlive = true;
	QList<QPair<QByteArray, QByteArray>> headers; // in order, as sent
	qint64 contentLength = 0;
	QByteArray body;

	// The first header of that name (any letter case); empty if none.
	QByteArray header(const char *name) const;
};

// The device method behind a verb and path; empty when there is none.
// *allowed lists the verbs the path takes (empty: an unknown path).
QString deviceMethodFor(const QByteArray &verb, const QString &path,
			QByteArray *allowed);

// Where the head at the start of `buffer` ends: the offset of the blank
// line, with *terminator set to the bytes to skip after the head (a line
// feed, and a carriage return if any, then the last line feed). -1 while
// the blank line has not arrived.
int httpHeadEnd(const QByteArray &buffer, int *terminator);

// Reads the request line and header lines (without the blank line) into
// *out. Returns 0, or the status to refuse the request with: 400 for what
// is not HTTP, 501 for a chunked body, 505 for another HTTP version.
int parseHttpHead(const QByteArray &head, HttpRequest *out);

QByteArray httpReasonPhrase(int status);

// A whole answer: status line, Content-Type, Content-Length, Connection
// and the extra header lines, then the body.
QByteArray httpAnswer(int status, const QByteArray &contentType,
		      const QByteArray &body,
		      const QList<QByteArray> &extraHeaders, bool close);

// The page a device's web server shows for an error it has no JSON for.
QByteArray httpErrorPage(int status);

} // namespace quillmarch::sim

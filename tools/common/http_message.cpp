#include "http_message.h"

#include <QJsonDocument>
#include <QString>

namespace quillmarch::tools {

namespace {

bool isToken(const QByteArray &text)
{
	static const QByteArray kSymbols("!#$%&'*+-.^_`|~");
	if (text.isEmpty())
		return false;
	for (const char c : text) {
		if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') &&
		    !(c >= '0' && c <= '9') && !kSymbols.contains(c))
			return false;
	}
	return true;
}

bool hasControlOrSpace(const QByteArray &text)
{
	for (const char c : text)
		if (uchar(c) <= 0x20 || c == 0x7f)
			return true;
	return false;
}

// Where the head at the start of `buffer` ends: the offset of its blank
// line, with *skip set to the bytes from there to the body. -1 while the
// blank line has not arrived.
int headEnd(const QByteArray &buffer, int *skip)
{
	const int crlf = int(buffer.indexOf("\n\r\n"));
	const int lf = int(buffer.indexOf("\n\n"));
	if (lf >= 0 && (crlf < 0 || lf < crlf)) {
		*skip = 2;
		return lf;
	}
	*skip = 3;
	return crlf;
}

// Reads the request line and header lines into *out. Returns 0, or the
// status to refuse the request with.
int parseHead(const QByteArray &head, HttpRequest *out, qint64 *length)
{
	QList<QByteArray> lines = head.split('\n');
	for (QByteArray &line : lines) {
		if (line.endsWith('\r'))
			line.chop(1);
		if (line.contains('\r') || line.contains('\0'))
			return 400;
	}
	const QList<QByteArray> parts = lines.first().split(' ');
	if (parts.size() != 3 || !isToken(parts.at(0)) ||
	    !parts.at(1).startsWith('/') || hasControlOrSpace(parts.at(1)))
		return 400;
	if (!parts.at(2).startsWith("HTTP/"))
		return 400;
	if (parts.at(2) != "HTTP/1.1" && parts.at(2) != "HTTP/1.0")
		return 505;
	out->method = parts.at(0);
	out->target = parts.at(1);
	out->version = parts.at(2);
	const int query = int(out->target.indexOf('?'));
	out->path = query < 0 ? out->target : out->target.left(query);

	bool haveLength = false;
	*length = 0;
	for (int i = 1; i < lines.size(); ++i) {
		const QByteArray &line = lines.at(i);
		const int colon = int(line.indexOf(':'));
		// No folded continuation lines and no space before the colon.
		if (colon <= 0 || !isToken(line.left(colon)))
			return 400;
		const QByteArray name = line.left(colon);
		const QByteArray value = line.mid(colon + 1).trimmed();
		out->headers.append({name, value});
		if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
			bool ok = value.size() <= 12 && !value.isEmpty();
			for (const char c : value)
				ok = ok && c >= '0' && c <= '9';
			const qint64 given = ok ? value.toLongLong() : -1;
			// Two lengths that differ leave the body's end open.
			if (!ok || (haveLength && given != *length))
				return 400;
			haveLength = true;
			*length = given;
		} else if (name.compare("Transfer-Encoding",
					Qt::CaseInsensitive) == 0) {
			return 501;
		}
	}
	return 0;
}

} // namespace

QByteArray HttpRequest::header(const QByteArray &name) const
{
	for (const HttpHeader &h : headers) {
		if (h.first.compare(name, Qt::CaseInsensitive) == 0)
			return h.second;
	}
	return QByteArray();
}

bool HttpRequest::hasHeader(const QByteArray &name) const
{
	for (const HttpHeader &h : headers) {
		if (h.first.compare(name, Qt::CaseInsensitive) == 0)
			return true;
	}
	return false;
}

bool HttpRequest::keepAlive() const
{
	QByteArray connection;
	for (const HttpHeader &h : headers) {
		if (h.first.compare("Connection", Qt::CaseInsensitive) == 0)
			connection += h.second.toLower() + ',';
	}
	if (version == "HTTP/1.0")
		return connection.contains("keep-alive");
	return !connection.contains("close");
}

QHash<QByteArray, QByteArray> HttpRequest::cookies() const
{
	QHash<QByteArray, QByteArray> out;
	for (const HttpHeader &h : headers) {
		if (h.first.compare("Cookie", Qt::CaseInsensitive) != 0)
			continue;
		for (const QByteArray &pair : h.second.split(';')) {
			const int eq = int(pair.indexOf('='));
			if (eq <= 0)
				continue;
			const QByteArray name = pair.left(eq).trimmed();
			if (!out.contains(name))
				out.insert(name, pair.mid(eq + 1).trimmed());
		}
	}
	return out;
}

QStringList HttpRequest::segments() const
{
	QStringList out;
	for (const QByteArray &raw : path.split('/')) {
		if (!raw.isEmpty())
			out.append(QString::fromUtf8(
				QByteArray::fromPercentEncoding(raw)));
	}
	return out;
}

QJsonObject HttpRequest::json(bool *ok) const
{
	QJsonParseError error{};
	const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
	const bool good = error.error == QJsonParseError::NoError &&
			  doc.isObject();
	if (ok)
		*ok = good;
	return good ? doc.object() : QJsonObject();
}

HttpReply HttpReply::json(int status, const QJsonObject &object)
{
	return text(status,
		    QJsonDocument(object).toJson(QJsonDocument::Compact),
		    "application/json");
}

HttpReply HttpReply::text(int status, const QByteArray &body,
			  const QByteArray &contentType)
{
	HttpReply r;
	r.status = status;
	r.body = body;
	r.contentType = contentType;
	return r;
}

HttpReply HttpReply::of(Action action)
{
	HttpReply r;
	r.action = action;
	return r;
}

HttpReply HttpReply::raw(const QByteArray &bytes)
{
	HttpReply r = of(Action::Raw);
	r.body = bytes;
	return r;
}

HttpReply &HttpReply::withHeader(const QByteArray &name,
				 const QByteArray &value)
{
	headers.append({name, value});
	return *this;
}

HttpReply &HttpReply::after(int ms)
{
	delayMs = ms;
	return *this;
}

QByteArray HttpReply::serialize(bool closing) const
{
	QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' +
			 httpReasonPhrase(status) + "\r\n";
	if (!contentType.isEmpty())
		out += "Content-Type: " + contentType + "\r\n";
	out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
	out += "Cache-Control: no-store\r\n";
	for (const HttpHeader &h : headers)
		out += h.first + ": " + h.second + "\r\n";
	out += closing ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
	return out + "\r\n" + body;
}

QByteArray httpReasonPhrase(int status)
{
	static const QHash<int, QByteArray> kPhrases = {
		{200, "OK"},
		{201, "Created"},
		{204, "No Content"},
		{206, "Partial Content"},
		{302, "Found"},
		{304, "Not Modified"},
		{400, "Bad Request"},
		{401, "Unauthorized"},
		{402, "Payment Required"},
		{403, "Forbidden"},
		{404, "Not Found"},
		{405, "Method Not Allowed"},
		{409, "Conflict"},
		{411, "Length Required"},
		{413, "Payload Too Large"},
		{422, "Unprocessable Entity"},
		{429, "Too Many Requests"},
		{431, "Request Header Fields Too Large"},
		{500, "Internal Server Error"},
		{501, "Not Implemented"},
		{502, "Bad Gateway"},
		{503, "Service Unavailable"},
		{504, "Gateway Timeout"},
		{505, "HTTP Version Not Supported"}};
	return kPhrases.value(status, status >= 500 ? "Server Error" : "Error");
}

HttpRequestParser::Result HttpRequestParser::fail(int status, int *errorStatus)
{
	m_failedWith = status;
	m_buffer.clear();
	*errorStatus = status;
	return Result::Error;
}

HttpRequestParser::Result HttpRequestParser::next(HttpRequest *out,
						  int *errorStatus)
{
	if (m_failedWith)
		return fail(m_failedWith, errorStatus);
	if (!m_haveHead) {
		// Blank lines before a request line are allowed.
		int blank = 0;
		while (blank < m_buffer.size() && (m_buffer.at(blank) == '\r' ||
						   m_buffer.at(blank) == '\n'))
			++blank;
		m_buffer.remove(0, blank);
		int skip = 0;
		const int end = headEnd(m_buffer, &skip);
		// Two bytes of a blank line may be in already: only more than
		// that past the limit is sure to be too much.
		if (end < 0 ? m_buffer.size() > m_limits.maxHeadBytes + 2
			    : end > m_limits.maxHeadBytes)
			return fail(431, errorStatus);
		if (end < 0)
			return Result::NeedMore;
		m_head = HttpRequest();
		const int status =
			parseHead(m_buffer.left(end), &m_head, &m_bodyLength);
		if (status != 0)
			return fail(status, errorStatus);
		if (m_bodyLength > m_limits.maxBodyBytes)
			return fail(413, errorStatus);
		m_buffer.remove(0, end + skip);
		m_haveHead = true;
	}
	if (m_buffer.size() < m_bodyLength)
		return Result::NeedMore;
	*out = m_head;
	out->body = m_buffer.left(int(m_bodyLength));
	m_buffer.remove(0, int(m_bodyLength));
	m_haveHead = false;
	return Result::Request;
}

} // namespace quillmarch::tools

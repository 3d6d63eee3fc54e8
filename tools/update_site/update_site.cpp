#include "update_site.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace quillmarch::updatesite {

using tools::HttpReply;
using tools::HttpRequest;

namespace {

// A package is never larger than this, so a mistaken root cannot make the
// site read a disk image into memory.
constexpr qint64 kMaxFileBytes = 256 * 1024 * 1024;

const struct {
	const char *name;
	Misbehaviour kind;
} kNames[] = {
	{"none", Misbehaviour::None},
	{"wrong-length", Misbehaviour::WrongLength},
	{"wrong-checksum", Misbehaviour::WrongChecksum},
	{"wrong-size", Misbehaviour::WrongSize},
	{"truncated", Misbehaviour::Truncated},
	{"slow", Misbehaviour::Slow},
	{"oversized", Misbehaviour::Oversized},
	{"404", Misbehaviour::NotFound},
	{"500", Misbehaviour::ServerError},
	{"stall", Misbehaviour::Stall},
};

QString flipFirstDigit(const QString &hex)
{
	if (hex.isEmpty())
		return hex;
	QString out = hex;
	out[0] = out.at(0) == QLatin1Char('0') ? QLatin1Char('1')
					       : QLatin1Char('0');
	return out;
}

} // namespace

bool misbehaviourFromText(const QString &text, Misbehaviour *kind, int *amount)
{
	const int eq = text.indexOf(QLatin1Char('='));
	const QString name = eq < 0 ? text : text.left(eq);
	int value = 0;
	if (eq >= 0) {
		bool ok = false;
		value = text.mid(eq + 1).toInt(&ok);
		if (!ok || value < 0)
			return false;
	}
	for (const auto &entry : kNames) {
		if (name == QLatin1String(entry.name)) {
			*kind = entry.kind;
			*amount = value;
			return true;
		}
	}
	return false;
}

UpdateSite::UpdateSite(const QString &rootDir, QObject *parent)
	: QObject(parent),
	  m_root(QDir(rootDir).absolutePath()),
	  m_server(this)
{
	m_server.setHandler(
		[this](const HttpRequest &request) { return serve(request); });
}

bool UpdateSite::listen(quint16 port)
{
	return m_server.listen(QHostAddress::LocalHost, port);
}

QString UpdateSite::baseUrl() const
{
	return QStringLiteral("http://") + m_server.endpoint();
}

void UpdateSite::setMisbehaviour(Misbehaviour kind, int amount)
{
	m_kind = kind;
	m_amount = amount;
}

int UpdateSite::requestCount(const QByteArray &pathSuffix) const
{
	int n = 0;
	for (const HttpRequest &r : m_server.requests())
		n += r.path.endsWith(pathSuffix) ? 1 : 0;
	return n;
}

HttpReply UpdateSite::serve(const HttpRequest &request) const
{
	if (request.method != "GET" && request.method != "HEAD")
		return HttpReply::text(405, "only GET\n");
	const QStringList segments = request.segments();
	for (const QString &segment : segments) {
		// Only plain names: nothing reaches outside the root.
		if (segment.isEmpty() || segment == QLatin1String("..") ||
		    segment == QLatin1String(".") ||
		    segment.contains(QLatin1Char('/')))
			return HttpReply::text(404, "not found\n");
	}
	const QString path =
		m_root + QLatin1Char('/') + segments.join(QLatin1Char('/'));
	QFile file(path);
	if (segments.isEmpty() || !QFileInfo(path).isFile() ||
	    file.size() > kMaxFileBytes || !file.open(QIODevice::ReadOnly))
		return HttpReply::text(404, "not found\n");
	const QByteArray bytes = file.readAll();

	HttpReply reply = path.endsWith(QLatin1String(".json"))
				  ? manifest(bytes)
				  : package(bytes);
	if (m_kind == Misbehaviour::Slow)
		reply.after(m_amount > 0 ? m_amount : 1000);
	if (m_kind == Misbehaviour::Stall)
		reply = HttpReply::of(HttpReply::Action::Stall);
	return reply;
}

HttpReply UpdateSite::manifest(QByteArray bytes) const
{
	if (m_kind == Misbehaviour::WrongChecksum ||
	    m_kind == Misbehaviour::WrongSize) {
		QJsonObject root = QJsonDocument::fromJson(bytes).object();
		QJsonObject packages =
			root.value(QLatin1String("packages")).toObject();
		for (auto it = packages.begin(); it != packages.end(); ++it) {
			QJsonObject entry = it.value().toObject();
			if (m_kind == Misbehaviour::WrongChecksum)
				entry.insert(
					QStringLiteral("sha256"),
					flipFirstDigit(
						entry.value(QLatin1String(
								    "sha256"))
							.toString()));
			else
				entry.insert(QStringLiteral("size"),
					     entry.value(QLatin1String("size"))
							     .toDouble() +
						     1);
			it.value() = entry;
		}
		root.insert(QStringLiteral("packages"), packages);
		bytes = QJsonDocument(root).toJson();
	}
	return HttpReply::text(200, bytes, "application/json");
}

HttpReply UpdateSite::package(const QByteArray &bytes) const
{
	switch (m_kind) {
	case Misbehaviour::NotFound:
		return HttpReply::text(404, "not found\n");
	case Misbehaviour::ServerError:
		return HttpReply::text(500, "internal error\n");
	case Misbehaviour::Truncated: {
		HttpReply reply =
			HttpReply::text(200, bytes, "application/zip");
		reply.action = HttpReply::Action::Cut;
		return reply;
	}
	case Misbehaviour::WrongLength: {
		// The header promises more than comes; the connection then
		// closes, as a server that lost its file midway does.
		const qint64 claimed =
			bytes.size() + (m_amount > 0 ? m_amount : 1024);
		HttpReply reply = HttpReply::raw(
			"HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\n"
			"Content-Length: " +
			QByteArray::number(claimed) +
			"\r\nConnection: close\r\n\r\n" + bytes);
		reply.close = true;
		return reply;
	}
	case Misbehaviour::Oversized:
		return HttpReply::text(
			200,
			bytes + QByteArray(m_amount > 0 ? m_amount : 65536,
					   'x'),
			"application/zip");
	default:
		return HttpReply::text(200, bytes, "application/zip");
	}
}

} // namespace quillmarch::updatesite

// What a data-server client sends arrives in reads of any size. Input:
//   1 byte    where to cut the rest, as a fraction of its length
//   then      the bytes the client sends
// Split whole or cut once at that point, the bytes must give the same lines,
// each trimmed, non-empty and without a line feed, and the same unfinished
// tail. Every reply must be one compact JSON object on one line; a reply
// from the command handler carries ok (added when it has none) and the op.
#include "server/hosted_server.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QList>

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

// Hands the request back, so whatever the client sent is serialised again;
// without its ok, which the completion must then add.
QJsonObject echo(const QString &op, const QJsonObject &request)
{
	QJsonObject reply = request;
	reply.remove(QLatin1String("ok"));
	reply.insert(QStringLiteral("seen"), op);
	return reply;
}

const QJsonObject &snapshot()
{
	static const QJsonObject object =
		QJsonDocument::fromJson(
			R"({"fields":{"home_score":"3"},"source":"Gym","sport":"hockey","updated_at":""})")
			.object();
	return object;
}

void checkReply(const QByteArray &line, const QByteArray &wire)
{
	if (!wire.endsWith('\n') || wire.count('\n') != 1)
		abort();
	QJsonParseError error;
	const QJsonDocument document =
		QJsonDocument::fromJson(wire.chopped(1), &error);
	if (error.error != QJsonParseError::NoError || !document.isObject())
		abort();
	// Compact: writing the parsed object again gives the same bytes.
	if (HostedServer::encodeLine(document.object()) != wire)
		abort();

	const QJsonObject reply = document.object();
	if (line == "get") {
		if (reply != snapshot())
			abort();
		return;
	}
	if (reply.contains(QLatin1String("seen"))) {
		if (reply.value(QLatin1String("ok")) != QJsonValue(true) ||
		    reply.value(QLatin1String("op")) !=
			    reply.value(QLatin1String("seen")))
			abort();
	}
}

struct Outcome {
	QList<QByteArray> replies;
	QByteArray rest;
};

Outcome serve(const QList<QByteArray> &reads, bool check)
{
	Outcome out;
	for (const QByteArray &bytes : reads) {
		const int scanFrom = int(out.rest.size());
		out.rest.append(bytes);
		const QList<QByteArray> lines =
			HostedServer::takeLines(&out.rest, scanFrom);
		for (const QByteArray &line : lines) {
			if (line.isEmpty() || line.contains('\n') ||
			    line != line.trimmed())
				abort();
			const QByteArray wire = HostedServer::encodeLine(
				HostedServer::replyFor(line, snapshot(), echo));
			if (check)
				checkReply(line, wire);
			out.replies.append(wire);
		}
	}
	return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const QByteArray stream(reinterpret_cast<const char *>(data) + 1,
				static_cast<int>(size - 1));
	const int cut = int(qint64(stream.size()) * data[0] / 255);

	const Outcome whole = serve({stream}, true);
	if (whole.rest.contains('\n') || !stream.endsWith(whole.rest))
		abort();
	if (whole.replies.size() > stream.count('\n'))
		abort();
	const Outcome split = serve({stream.left(cut), stream.mid(cut)}, false);
	if (split.replies != whole.replies || split.rest != whole.rest)
		abort();
	return 0;
}

// What the plug-in sends the Bluetooth helper arrives in reads of any size.
// Input:
//   1 byte    where to cut the rest, as a fraction of its length
//   then      the bytes the plug-in sends
// Read whole or cut once at that point, the bytes must give the same
// requests. Each request then runs on a fake central that brings every
// connection up and confirms every write with a notification; every line
// the helper sends back must be one compact JSON object: a reply to an id
// the plug-in used, with a result or a known error, or a known event.
#include "bridge.h"
#include "fake_central.h"
#include "line_io.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSet>

#include <cstdint>
#include <cstdlib>

using namespace quillmarch::ble;

namespace {

const QSet<QString> kCodes{"unknown_op",        "bluetooth_unavailable",
			   "permission_denied", "not_found",
			   "connect_timeout",   "ble_error",
			   "not_quillmarch",    "not_paired",
			   "disconnected",      "bad_request"};

void checkLine(const QJsonObject &line, const QList<QJsonValue> &ids)
{
	const QByteArray wire = encodeLine(line);
	if (!wire.endsWith('\n') || wire.count('\n') != 1)
		abort();
	if (line.contains(QLatin1String("ev"))) {
		const QString ev = line.value(QLatin1String("ev")).toString();
		if (ev != QLatin1String("data") &&
		    ev != QLatin1String("disconnected"))
			abort();
		return;
	}
	if (!ids.contains(line.value(QLatin1String("reqId"))))
		abort();
	const QJsonValue ok = line.value(QLatin1String("ok"));
	if (ok == QJsonValue(true)) {
		if (!line.value(QLatin1String("result")).isObject())
			abort();
	} else if (ok == QJsonValue(false)) {
		const QJsonObject error =
			line.value(QLatin1String("error")).toObject();
		// The fake central never fails, so every message is one of
		// the helper's own texts.
		if (!kCodes.contains(
			    error.value(QLatin1String("code")).toString()) ||
		    error.value(QLatin1String("message")).toString().isEmpty())
			abort();
	} else {
		abort();
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
	static QCoreApplication app(*argc, *argv);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const QByteArray input(reinterpret_cast<const char *>(data + 1),
			       int(size - 1));
	const int cut = int(qint64(input.size()) * data[0] / 255);

	LineReader whole;
	const QList<QJsonObject> requests = whole.feed(input);
	LineReader split;
	QList<QJsonObject> pieces = split.feed(input.left(cut));
	pieces += split.feed(input.mid(cut));
	if (pieces != requests)
		abort();

	QList<QJsonObject> sent;
	FakeCentral *fake = nullptr;
	{
		Bridge bridge(
			[&](QObject *parent) {
				return fake = new FakeCentral(parent);
			},
			[&](const QJsonObject &line) { sent.append(line); },
			Bridge::Timings());
		QList<QJsonValue> ids;
		for (const QJsonObject &request : requests) {
			ids.append(request.value(QLatin1String("reqId")));
			bridge.handle(request);
			if (!fake || fake->calls.isEmpty())
				continue;
			// The radio answers what the request asked of it.
			const QString call = fake->calls.last();
			const QString id = call.section(QLatin1Char(' '), 1, 1);
			if (call.startsWith(QLatin1String("connect "))) {
				fake->calls.append(QStringLiteral("up"));
				fake->linkUp(id);
			} else if (call.startsWith(QLatin1String("write "))) {
				fake->calls.append(QStringLiteral("confirmed"));
				Q_EMIT fake->writeConfirmed(
					id, kCommandUuid, CentralError::none());
				Q_EMIT fake->valueUpdated(
					id, kResponseUuid,
					QByteArray::fromHex(
						call.section(QLatin1Char(' '),
							     2)
							.toLatin1()),
					CentralError::none());
			}
		}
		for (const QJsonObject &line : sent)
			checkLine(line, ids);
	}
	// The single-shot timers the bridge armed go with it.
	QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
	return 0;
}

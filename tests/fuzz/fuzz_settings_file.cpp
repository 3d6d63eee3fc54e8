// settings.json is the user's to edit by hand, so it may hold anything. The
// input is the whole file. Loading must keep what parses as an object and
// start over from defaults otherwise, keeping a byte-for-byte copy of a
// non-empty unreadable file. Every getter must answer without overflow (the
// sanitizers watch the conversions), and saving and loading again, or
// writing one setting, must give back the same settings.
#include "base/settings_store.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

// Everything the plug-in can read back from the store, as text.
QStringList readAll(const SettingsStore &s)
{
	QStringList out{s.selectedDevice(),
			QString::number(s.serverEnabled()),
			QString::number(s.serverPort()),
			QString::number(s.serverAllowNetwork()),
			QString::number(s.shareConnection()),
			QString::number(s.autoCheckUpdates()),
			QString::number(s.lastUpdateCheck())};
	QStringList ids = s.lanDeviceIds();
	ids += s.data().value(QLatin1String("routes")).toObject().keys();
	ids << QString() << QStringLiteral("QM-7F3A21");
	for (const QString &id : ids) {
		const LanDevice lan = s.lanDevice(id);
		out << id << s.preferredRoute(id) << lan.host << lan.token
		    << lan.name;
		if (s.preferredRoute(id).isNull())
			abort();
	}
	return out;
}

QByteArray fileBytes(const QString &path)
{
	QFile f(path);
	return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static QTemporaryDir dir;
	const QString path = dir.filePath(QStringLiteral("settings.json"));
	const QByteArray bytes(reinterpret_cast<const char *>(data),
			       static_cast<int>(size));
	QFile::remove(path);
	QFile::remove(path + QStringLiteral(".unreadable"));
	{
		QFile f(path);
		if (!f.open(QIODevice::WriteOnly) ||
		    f.write(bytes) != bytes.size())
			abort();
	}

	SettingsStore store;
	store.setPath(path);
	store.load();
	QJsonParseError error{};
	const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
	const bool readable = error.error == QJsonParseError::NoError &&
			      doc.isObject();
	if (store.data() != (readable ? doc.object() : QJsonObject()))
		abort();
	const bool copied = QFile::exists(store.unreadableCopyPath());
	if (copied != (!readable && !bytes.isEmpty()))
		abort();
	if (copied && fileBytes(store.unreadableCopyPath()) != bytes)
		abort();

	const QStringList before = readAll(store);

	store.save();
	SettingsStore again;
	again.setPath(path);
	again.load();
	if (again.data() != store.data() || readAll(again) != before)
		abort();
	// The saved file is one the next load reads without a fallback.
	if (fileBytes(store.unreadableCopyPath()) !=
	    (copied ? bytes : QByteArray("<none>")))
		abort();

	// A setter writes its own value and leaves the rest alone.
	again.setServerPort(again.serverPort());
	SettingsStore third;
	third.setPath(path);
	third.load();
	if (readAll(third) != before)
		abort();
	return 0;
}

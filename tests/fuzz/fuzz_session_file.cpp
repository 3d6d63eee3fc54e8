// session.json keeps the portal sign-in between OBS runs; it is read at
// start whatever it holds. The input is the whole file. Loading it never
// signs the client in, and anything but a JSON array of strings leaves the
// jar empty, whatever it held before. The cookies that have not expired
// must survive a save and a load in a fresh client unchanged, in a file only
// its owner may read.
#include "account/portal_client.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

QByteArrayList rawForms(const QList<QNetworkCookie> &cookies)
{
	QByteArrayList out;
	for (const QNetworkCookie &c : cookies)
		out << c.toRawForm(QNetworkCookie::Full);
	return out;
}

bool holdsStrings(const QByteArray &bytes)
{
	const QJsonDocument doc = QJsonDocument::fromJson(bytes);
	if (!doc.isArray())
		return false;
	for (const QJsonValue &v : doc.array())
		if (v.isString() && !v.toString().isEmpty())
			return true;
	return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
	static QCoreApplication app(*argc, *argv);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static QTemporaryDir dir;
	static PortalClient client(QStringLiteral("http://127.0.0.1:9"));
	const QString path = dir.filePath(QStringLiteral("session.json"));
	const QString copy = dir.filePath(QStringLiteral("copy/session.json"));
	const QByteArray bytes(reinterpret_cast<const char *>(data),
			       static_cast<int>(size));
	{
		QFile f(path);
		if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
		    f.write(bytes) != bytes.size())
			abort();
	}

	// Whatever the jar held before is replaced by what the file holds.
	client.jar()->insertCookie(QNetworkCookie("held", "1"));
	client.setSessionFile(path);
	const QList<QNetworkCookie> loaded = client.jar()->cookies();
	if (client.isSignedIn() || !client.email().isEmpty())
		abort();
	if (!loaded.isEmpty() && !holdsStrings(bytes))
		abort();

	const QDateTime now = QDateTime::currentDateTimeUtc();
	QList<QNetworkCookie> kept;
	for (const QNetworkCookie &c : loaded)
		if (c.isSessionCookie() || c.expirationDate() > now)
			kept << c;

	QFile::remove(copy);
	client.jar()->setSessionFile(copy);
	client.jar()->save();
	if (QFile::permissions(copy) & ~(QFile::ReadOwner | QFile::WriteOwner |
					 QFile::ReadUser | QFile::WriteUser))
		abort();
	PortalClient fresh(QStringLiteral("http://127.0.0.1:9"));
	fresh.setSessionFile(copy);
	if (rawForms(fresh.jar()->cookies()) != rawForms(kept))
		abort();
	return 0;
}

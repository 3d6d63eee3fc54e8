#include "update/update_manifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <cmath>
#include <limits>

namespace quillmarch::update {

namespace {

struct VersionParts {
	QList<qint64> numbers;
	bool preRelease = false;
};

VersionParts versionParts(const QString &text)
{
	VersionParts parts;
	QString t = text.trimmed();
	if (t.startsWith(QLatin1Char('v')) || t.startsWith(QLatin1Char('V')))
		t.remove(0, 1);
	const int dash = t.indexOf(QLatin1Char('-'));
	if (dash >= 0) {
		parts.preRelease = true;
		t.truncate(dash);
	}
	// Empty pieces are kept ("1..2" is 1.0.2); a piece that is not a
	// number counts as 0.
	const QStringList pieces = t.split(QLatin1Char('.'));
	for (const QString &piece : pieces) {
		bool ok = false;
		const qint64 n = piece.toLongLong(&ok, 10);
		parts.numbers.append(ok ? n : 0);
	}
	while (parts.numbers.size() < 3)
		parts.numbers.append(0);
	return parts;
}

const QRegularExpression &versionPattern()
{
	static const QRegularExpression re(
		QStringLiteral("^\\d+\\.\\d+\\.\\d+(-[0-9A-Za-z.]+)?$"));
	return re;
}

const QRegularExpression &checksumPattern()
{
	static const QRegularExpression re(QStringLiteral("^[0-9a-f]{64}$"));
	return re;
}

QString notesText(const QJsonValue &value)
{
	if (value.isArray()) {
		QStringList lines;
		const QJsonArray array = value.toArray();
		for (const QJsonValue &line : array)
			lines.append(line.toVariant().toString());
		return lines.join(QLatin1Char('\n'));
	}
	return value.toVariant().toString();
}

// A package size the download can be compared with: a JSON number,
// truncated; anything else, negative or absurd means "unknown".
qint64 sizeValue(const QJsonValue &value)
{
	if (!value.isDouble())
		return 0;
	const double d = std::trunc(value.toDouble());
	if (!std::isfinite(d) || d < 1 ||
	    d >= double(std::numeric_limits<qint64>::max()))
		return 0;
	return qint64(d);
}

} // namespace

int compareVersions(const QString &a, const QString &b)
{
	const VersionParts pa = versionParts(a);
	const VersionParts pb = versionParts(b);
	const int n = int(qMax(pa.numbers.size(), pb.numbers.size()));
	for (int i = 0; i < n; ++i) {
		const qint64 x = i < pa.numbers.size() ? pa.numbers.at(i) : 0;
		const qint64 y = i < pb.numbers.size() ? pb.numbers.at(i) : 0;
		if (x != y)
			return x < y ? -1 : 1;
	}
	if (pa.preRelease == pb.preRelease)
		return 0;
	return pa.preRelease ? -1 : 1;
}

bool urlAllowed(const QUrl &url)
{
	const QString scheme = url.scheme();
	const QString host = url.host();
	if (scheme == QLatin1String("https"))
		return !host.isEmpty();
	if (scheme == QLatin1String("http"))
		return host == QLatin1String("127.0.0.1") ||
		       host == QLatin1String("localhost");
	return false;
}

bool urlAllowed(const QString &url)
{
	return urlAllowed(QUrl(url));
}

ManifestResult parseManifest(const QByteArray &bytes,
			     const UpdateConfig &config)
{
	ManifestResult result;
	const QJsonDocument doc = QJsonDocument::fromJson(bytes);
	if (!doc.isObject()) {
		result.error = QStringLiteral(
			"The update information was not readable.");
		return result;
	}
	const QJsonObject o = doc.object();

	const QJsonValue schema = o.value(QLatin1String("schema"));
	if (!schema.isUndefined() && schema.toDouble(-1) != 1.0) {
		result.error = QStringLiteral(
			"This update needs a newer Quillmarch plugin than the one installed. Download the installer from the Quillmarch website.");
		return result;
	}

	const QString version = o.value(QLatin1String("version")).toString();
	if (!versionPattern().match(version).hasMatch()) {
		result.error = QStringLiteral(
			"The update information has no valid version.");
		return result;
	}

	UpdateInfo &info = result.info;
	info.version = version;
	info.released =
		o.value(QLatin1String("released")).toVariant().toString();
	info.minObs = o.value(QLatin1String("min_obs")).toVariant().toString();
	info.notes = notesText(o.value(QLatin1String("notes")));
	result.ok = true;

	if (compareVersions(version, config.currentVersion) != 1)
		return result;

	const QJsonObject package = o.value(QLatin1String("packages"))
					    .toObject()
					    .value(config.platformKey)
					    .toObject();
	if (package.isEmpty()) {
		result.ok = false;
		result.error =
			QStringLiteral(
				"Version %1 is out, but not available for this computer yet.")
				.arg(version);
		return result;
	}

	info.url = package.value(QLatin1String("url")).toString();
	info.sha256 =
		package.value(QLatin1String("sha256")).toString().toLower();
	info.size = sizeValue(package.value(QLatin1String("size")));
	// An OBS minimum that is no version cannot be checked, and its text
	// would end up in the sentence shown to the user.
	static const QRegularExpression obsVersion(
		QStringLiteral("^\\d+(\\.\\d+){0,3}(-[0-9A-Za-z.]+)?$"));
	if (!urlAllowed(info.url) ||
	    !checksumPattern().match(info.sha256).hasMatch() ||
	    (!info.minObs.isEmpty() &&
	     !obsVersion.match(info.minObs).hasMatch())) {
		result.ok = false;
		result.error =
			QStringLiteral("The update information is incomplete.");
		return result;
	}

	if (info.minObs.isEmpty() || config.obsVersion.isEmpty() ||
	    compareVersions(config.obsVersion, info.minObs) >= 0) {
		result.available = true;
		return result;
	}
	result.ok = false;
	result.error =
		QStringLiteral(
			"Version %1 needs OBS %2 or newer (this is OBS %3).")
			.arg(version, info.minObs, config.obsVersion);
	return result;
}

} // namespace quillmarch::update

// The update manifest comes from the internet; whatever it holds, the
// plug-in may only ever offer a download it can verify. Input: the
// manifest's bytes. Checked for every input:
//   - an offered release has a newer valid version, an address the updater
//     may fetch, a 64-digit lower-case checksum and a size that is not
//     negative;
//   - an unusable manifest has a sentence for the user with every
//     placeholder filled;
//   - version comparison is antisymmetric on the texts found.
#include "update/update_manifest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const QByteArray bytes(reinterpret_cast<const char *>(data),
			       static_cast<int>(size));
	UpdateConfig config;
	config.currentVersion = QStringLiteral("1.0.1");
	config.platformKey = QStringLiteral("linux-x86_64");
	config.obsVersion = QStringLiteral("29.0.2");
	const ManifestResult r = update::parseManifest(bytes, config);

	if (r.available) {
		static const QRegularExpression hex(
			QStringLiteral("^[0-9a-f]{64}$"));
		if (!r.ok || !r.error.isEmpty() ||
		    update::compareVersions(r.info.version,
					    config.currentVersion) != 1 ||
		    !update::urlAllowed(r.info.url) ||
		    !hex.match(r.info.sha256).hasMatch() || r.info.size < 0)
			abort();
	}
	if (!r.ok && (r.error.isEmpty() || r.error.contains(QLatin1Char('%'))))
		abort();

	const QString other = QJsonDocument::fromJson(bytes)
				      .object()
				      .value(QLatin1String("min_obs"))
				      .toString();
	const QString version = r.info.version.isEmpty()
					? QString::fromUtf8(bytes.left(64))
					: r.info.version;
	if (update::compareVersions(version, other) !=
	    -update::compareVersions(other, version))
		abort();
	return 0;
}

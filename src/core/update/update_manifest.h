#pragma once

#include <QByteArray>
#include <QString>

class QUrl;

namespace quillmarch {

// What the application tells the updater about itself and where it lives.
struct UpdateConfig {
	// The published manifest, an HTTPS address ending in
	// "/downloads/obs/latest.json".
	QString manifestUrl;
	QString currentVersion;
	QString platformKey;
	// As libobs reports it; empty when unknown.
	QString obsVersion;
	// The plug-in's own bundle folder, the one an update replaces.
	QString bundlePath;
	// Scratch folder for the download; emptied before every download.
	QString downloadDir;
	// The maker's download page, for users who cannot update in place.
	QString websiteUrl;
	// The plug-in binary inside the bundle; empty means the platform's
	// usual place (updateDefaultBinaryRelPath()).
	QString binaryRelPath;
	int timeoutMs = 15000;
};

// The release a check found.
struct UpdateInfo {
	QString version;
	QString released;
	QString notes;
	QString minObs;
	QString url;
	QString sha256;  // lower case
	qint64 size = 0; // bytes; 0 when unknown
};

// What reading a manifest yields. `ok`: the manifest was usable (an
// up-to-date answer is ok too); `available`: it offers a newer release that
// can be installed here. `error` is the user's sentence when not ok.
struct ManifestResult {
	bool ok = false;
	bool available = false;
	UpdateInfo info;
	QString error;
};

// Pure rules of the update check: no I/O, so they are tested and fuzzed
// on their own.
namespace update {

// Bytes of a manifest that are read at most.
constexpr qint64 kManifestMaxBytes = 1048576;

// -1, 0 or 1. A leading "v" is ignored, missing parts count as 0, and a
// pre-release sorts before its release; pre-release texts themselves are
// not compared.
int compareVersions(const QString &a, const QString &b);

// HTTPS anywhere, plain HTTP only to this computer.
bool urlAllowed(const QUrl &url);
bool urlAllowed(const QString &url);

ManifestResult parseManifest(const QByteArray &bytes,
			     const UpdateConfig &config);

} // namespace update
} // namespace quillmarch

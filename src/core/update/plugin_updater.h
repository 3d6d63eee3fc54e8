#pragma once

#include "update/update_manifest.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QCryptographicHash;
class QNetworkAccessManager;
class QNetworkReply;
class QProcess;

namespace quillmarch {

// Keeps the plug-in current: checks the published manifest, downloads the
// newer release, verifies and unpacks it, and replaces the plug-in bundle
// on disk. The new version is loaded at the next start of OBS; on every
// failure the installed version stays as it was.
//
// Main thread only; at most one check or installation runs at a time
// (busy()). stateChanged() follows every change of state or message.
class PluginUpdater : public QObject {
	Q_OBJECT

public:
	enum State {
		Idle,
		Checking,
		UpToDate,
		Available,
		Downloading,
		Installing,
		Installed,
		Failed,
	};
	Q_ENUM(State)

	// Limits of one run. Production uses the defaults; tests shrink them.
	struct Limits {
		// The archive tool is killed after this long.
		int unpackTimeoutMs = 120000;
		// A download with no declared size may be this large.
		qint64 maxDownloadBytes = 209715200;
		// What a download may exceed its declared size by.
		qint64 sizeSlackBytes = 4096;
		// false: always replace file by file, as when the bundle
		// folder cannot be renamed.
		bool wholeSwap = true;
	};

	explicit PluginUpdater(QObject *parent = nullptr);
	~PluginUpdater() override;

	void setConfig(const UpdateConfig &config) { m_config = config; }
	const UpdateConfig &config() const { return m_config; }
	void setLimits(const Limits &limits) { m_limits = limits; }

	// Fetches the manifest. An automatic check (userInitiated false)
	// that fails goes back to Idle without a message. Ignored while busy
	// and once an update is installed.
	void check(bool userInitiated);
	// Downloads and installs info(); only from Available or Failed.
	void install();
	// Whether this user may replace the bundle, i.e. the plug-in was not
	// installed for all users.
	bool canInstallInPlace() const;
	// Deletes the "*.old" files a file-by-file replacement left in the
	// bundle. Called at start-up, before anything of the bundle is used.
	static void cleanupLeftovers(const QString &bundlePath);

	State state() const { return m_state; }
	QString message() const { return m_message; }
	const UpdateInfo &info() const { return m_info; }
	int progress() const { return m_progress; }
	bool busy() const { return m_busy; }

	// The key of this build's package in the manifest.
	static QString platformKey();
	static int compareVersions(const QString &a, const QString &b);
	static bool urlAllowed(const QString &url);
	static ManifestResult parseManifest(const QByteArray &bytes,
					    const UpdateConfig &config);

	// The cap on the bytes of one download of `declaredSize` bytes (0 or
	// less: unknown).
	qint64 downloadCap(qint64 declaredSize) const;

Q_SIGNALS:
	void stateChanged();

private:
	void setState(State state, const QString &message);
	void fail(const QString &message);
	QString userAgent() const;
	QString binaryRelPath() const;

	void checkFinished(QNetworkReply *reply, bool userInitiated);
	void startDownload();
	void downloadReadable();
	void downloadProgress(qint64 received, qint64 total);
	void downloadFinished();
	void finishDownload(const QString &zipPath);
	void extractAndInstall(const QString &zipPath);
	void unpackFinished(bool ok);
	void applyStaged(const QString &extractDir);

	UpdateConfig m_config;
	Limits m_limits;
	State m_state = Idle;
	QString m_message;
	UpdateInfo m_info;
	int m_progress = 0;
	bool m_busy = false;

	QNetworkAccessManager *m_manager = nullptr;
	QPointer<QNetworkReply> m_reply;
	QByteArray m_manifestBytes;
	bool m_manifestTooLarge = false;

	// The running download.
	QFile m_file;
	std::unique_ptr<QCryptographicHash> m_hash;
	qint64 m_received = 0;
	qint64 m_cap = 0;
	bool m_overflow = false;
	bool m_writeFailed = false;

	QPointer<QProcess> m_unpacker;
	QString m_extractDir;
};

} // namespace quillmarch

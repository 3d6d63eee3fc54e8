#include "update/plugin_updater.h"
#include "update/update_install.h"
#include "update/update_platform.h"
#include "base/log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace quillmarch {

namespace {

const char *const kPackageName = "package.zip";
const char *const kExtractName = "extracted";
const char *const kPreviousName = "previous";

bool httpSuccess(QNetworkReply *reply)
{
	const int status =
		reply->attribute(QNetworkRequest::HttpStatusCodeAttribute)
			.toInt();
	return reply->error() == QNetworkReply::NoError && status >= 200 &&
	       status <= 299;
}

// Redirects are followed only to addresses the updater may fetch at all,
// and never from an encrypted address to a plain one. Checking every hop,
// not just the first address, keeps a compromised mirror from sending the
// plug-in somewhere unencrypted.
void verifyRedirects(QNetworkReply *reply)
{
	QObject::connect(
		reply, &QNetworkReply::redirected, reply,
		[reply](const QUrl &target) {
			const QUrl from = reply->url();
			const bool downgrade =
				from.scheme() == QLatin1String("https") &&
				target.scheme() != QLatin1String("https");
			if (update::urlAllowed(target) && !downgrade)
				Q_EMIT reply->redirectAllowed();
			else
				reply->abort();
		});
}

} // namespace

PluginUpdater::PluginUpdater(QObject *parent)
	: QObject(parent),
	  m_manager(new QNetworkAccessManager(this))
{
	m_manager->setRedirectPolicy(
		QNetworkRequest::UserVerifiedRedirectPolicy);
}

PluginUpdater::~PluginUpdater()
{
	// Replies and the archive tool are children; stop them from calling
	// back into a half-destroyed object.
	if (m_reply) {
		m_reply->disconnect(this);
		m_reply->abort();
	}
	if (m_unpacker) {
		m_unpacker->disconnect(this);
		m_unpacker->kill();
		m_unpacker->waitForFinished(1000);
	}
}

QString PluginUpdater::platformKey()
{
	return update::platformKey();
}

int PluginUpdater::compareVersions(const QString &a, const QString &b)
{
	return update::compareVersions(a, b);
}

bool PluginUpdater::urlAllowed(const QString &url)
{
	return update::urlAllowed(url);
}

ManifestResult PluginUpdater::parseManifest(const QByteArray &bytes,
					    const UpdateConfig &config)
{
	return update::parseManifest(bytes, config);
}

void PluginUpdater::cleanupLeftovers(const QString &bundlePath)
{
	update::cleanupLeftovers(bundlePath);
}

qint64 PluginUpdater::downloadCap(qint64 declaredSize) const
{
	const qint64 slack = m_limits.sizeSlackBytes;
	if (declaredSize < 1)
		return m_limits.maxDownloadBytes;
	return std::min(declaredSize, m_limits.maxDownloadBytes - slack) +
	       slack;
}

void PluginUpdater::setState(State state, const QString &message)
{
	m_state = state;
	m_message = message;
	Q_EMIT stateChanged();
}

void PluginUpdater::fail(const QString &message)
{
	m_busy = false;
	setState(Failed, message);
}

QString PluginUpdater::userAgent() const
{
	return QStringLiteral("Quillmarch-OBS/%1 (%2)")
		.arg(m_config.currentVersion, m_config.platformKey);
}

QString PluginUpdater::binaryRelPath() const
{
	return m_config.binaryRelPath.isEmpty() ? update::defaultBinaryRelPath()
						: m_config.binaryRelPath;
}

// ---- check ---------------------------------------------------------------

void PluginUpdater::check(bool userInitiated)
{
	if (m_busy || m_state == Installed)
		return;
	if (!update::urlAllowed(m_config.manifestUrl)) {
		if (userInitiated)
			fail(QStringLiteral(
				"The update address is not valid."));
		return;
	}

	m_busy = true;
	setState(Checking, QStringLiteral("Checking for updates…"));

	QNetworkRequest req{QUrl(m_config.manifestUrl)};
	req.setRawHeader("Accept", "application/json");
	req.setRawHeader("User-Agent", userAgent().toUtf8());
	req.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
			 QNetworkRequest::AlwaysNetwork);
	req.setTransferTimeout(m_config.timeoutMs);

	m_manifestBytes.clear();
	m_manifestTooLarge = false;
	QNetworkReply *reply = m_manager->get(req);
	m_reply = reply;
	verifyRedirects(reply);
	// A manifest is small; a body past the limit is not one and is not
	// worth receiving in full.
	connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
		m_manifestBytes += reply->readAll();
		if (m_manifestBytes.size() > update::kManifestMaxBytes) {
			m_manifestTooLarge = true;
			reply->abort();
		}
	});
	connect(reply, &QNetworkReply::finished, this,
		[this, reply, userInitiated] {
			checkFinished(reply, userInitiated);
		});
}

void PluginUpdater::checkFinished(QNetworkReply *reply, bool userInitiated)
{
	reply->deleteLater();
	m_reply = nullptr;
	m_busy = false;

	QString error;
	ManifestResult result;
	if (m_manifestTooLarge) {
		error = QStringLiteral(
			"The update information was not readable.");
	} else if (!httpSuccess(reply)) {
		error = QStringLiteral(
			"Could not reach the Quillmarch update service. Check your internet connection.");
	} else {
		m_manifestBytes += reply->readAll();
		result = update::parseManifest(
			m_manifestBytes.left(update::kManifestMaxBytes),
			m_config);
		if (!result.ok)
			error = result.error;
	}
	m_manifestBytes.clear();

	if (!error.isEmpty()) {
		logWarning(
			QStringLiteral("update check failed: %1").arg(error));
		if (userInitiated)
			setState(Failed, error);
		else
			setState(Idle, QString());
		return;
	}
	m_info = result.info;
	if (result.available)
		setState(Available, QStringLiteral("Version %1 is available.")
					    .arg(m_info.version));
	else
		setState(UpToDate,
			 QStringLiteral("Quillmarch %1 is up to date.")
				 .arg(m_config.currentVersion));
}

// ---- install ---------------------------------------------------------------

bool PluginUpdater::canInstallInPlace() const
{
	if (m_config.bundlePath.isEmpty())
		return false;
	const QFileInfo bundle(m_config.bundlePath);
	if (!bundle.isDir() || !bundle.isWritable())
		return false;
	const QFileInfo parent(bundle.absolutePath());
	if (!parent.isWritable())
		return false;
	const QFileInfo binary(
		QDir(m_config.bundlePath).filePath(binaryRelPath()));
	return binary.isFile() && !binary.isSymLink();
}

void PluginUpdater::install()
{
	if (m_busy || (m_state != Available && m_state != Failed) ||
	    m_info.url.isEmpty())
		return;
	if (!canInstallInPlace()) {
		const QString site =
			m_config.websiteUrl.isEmpty()
				? QStringLiteral("the Quillmarch website")
				: m_config.websiteUrl;
		fail(QStringLiteral(
			     "This copy of the plugin was installed for all users, so it cannot update itself. Download and run the installer from %1.")
			     .arg(site));
		return;
	}
	startDownload();
}

void PluginUpdater::startDownload()
{
	m_busy = true;
	m_progress = 0;

	// The folder is emptied recursively: it must never be a guess like
	// the working directory.
	const QString dir = m_config.downloadDir;
	if (dir.isEmpty() || QDir::isRelativePath(dir)) {
		fail(QStringLiteral("Could not prepare a download folder (%1).")
			     .arg(QStringLiteral("no absolute folder given")));
		return;
	}
	const QString removeError = update::removeTree(dir);
	if (!removeError.isEmpty()) {
		fail(QStringLiteral("Could not prepare a download folder (%1).")
			     .arg(removeError));
		return;
	}
	if (!QDir().mkpath(dir)) {
		fail(QStringLiteral("Could not prepare a download folder (%1).")
			     .arg(dir));
		return;
	}

	m_file.setFileName(QDir(dir).filePath(QLatin1String(kPackageName)));
	if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
		fail(QStringLiteral("Could not write the update to disk."));
		return;
	}
	m_hash = std::make_unique<QCryptographicHash>(
		QCryptographicHash::Sha256);
	m_received = 0;
	m_overflow = false;
	m_writeFailed = false;
	m_cap = downloadCap(m_info.size);

	setState(Downloading,
		 QStringLiteral("Downloading version %1…").arg(m_info.version));

	QNetworkRequest req{QUrl(m_info.url)};
	req.setRawHeader("User-Agent", userAgent().toUtf8());
	req.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
			 QNetworkRequest::AlwaysNetwork);
	req.setTransferTimeout(2 * m_config.timeoutMs);
	QNetworkReply *reply = m_manager->get(req);
	m_reply = reply;
	verifyRedirects(reply);
	connect(reply, &QNetworkReply::readyRead, this,
		&PluginUpdater::downloadReadable);
	connect(reply, &QNetworkReply::downloadProgress, this,
		&PluginUpdater::downloadProgress);
	connect(reply, &QNetworkReply::finished, this,
		&PluginUpdater::downloadFinished);
}

void PluginUpdater::downloadReadable()
{
	if (!m_reply || m_overflow)
		return;
	const QByteArray data = m_reply->readAll();
	m_received += data.size();
	if (m_received > m_cap) {
		// Whatever follows is not the package the manifest described.
		m_overflow = true;
		m_reply->abort();
		return;
	}
	m_hash->addData(data);
	if (m_file.write(data) != data.size())
		m_writeFailed = true;
}

void PluginUpdater::downloadProgress(qint64 received, qint64 total)
{
	if (m_overflow || m_state != Downloading)
		return;
	const qint64 whole = total >= 1 ? total : m_info.size;
	int percent = 0;
	if (whole < 1) {
		if (m_progress == 0)
			return;
	} else {
		percent =
			int(std::clamp<qint64>(received * 100 / whole, 0, 100));
		if (percent == m_progress)
			return;
	}
	m_progress = percent;
	setState(Downloading, QStringLiteral("Downloading version %1… %2%")
				      .arg(m_info.version)
				      .arg(percent));
}

void PluginUpdater::downloadFinished()
{
	QNetworkReply *reply = m_reply;
	if (!reply)
		return;
	downloadReadable();
	m_reply = nullptr;
	reply->deleteLater();
	m_file.close();

	QString error;
	if (m_overflow) {
		error = QStringLiteral(
			"The download was larger than expected, so it was discarded.");
	} else if (!httpSuccess(reply)) {
		error = QStringLiteral(
			"The download did not finish. Check your internet connection and try again.");
	} else if (m_writeFailed) {
		error = QStringLiteral("Could not write the update to disk.");
	} else if (m_info.size >= 1 && m_received != m_info.size) {
		error = QStringLiteral(
			"The download was incomplete, so it was discarded. Try again.");
	} else if (QString::fromLatin1(m_hash->result().toHex()) !=
		   m_info.sha256) {
		error = QStringLiteral(
			"The download did not match its checksum, so it was discarded. Nothing was changed.");
	}
	m_hash.reset();
	if (!error.isEmpty()) {
		logWarning(
			QStringLiteral("update download failed: %1 (%2 bytes)")
				.arg(error)
				.arg(m_received));
		fail(error);
		return;
	}
	finishDownload(m_file.fileName());
}

void PluginUpdater::finishDownload(const QString &zipPath)
{
	setState(Installing,
		 QStringLiteral("Installing version %1…").arg(m_info.version));
	extractAndInstall(zipPath);
}

void PluginUpdater::extractAndInstall(const QString &zipPath)
{
	m_extractDir =
		QDir(m_config.downloadDir).filePath(QLatin1String(kExtractName));
	if (!QDir().mkpath(m_extractDir)) {
		fail(QStringLiteral(
			"The update could not be unpacked. Nothing was changed."));
		return;
	}
	const update::UnpackCommand command =
		update::unpackCommand(zipPath, m_extractDir);
	if (command.program.isEmpty()) {
		logWarning(QStringLiteral(
			"cannot unpack the update: no archive tool (bsdtar or unzip) is installed"));
		fail(QStringLiteral(
			"The update could not be unpacked on this computer. Nothing was changed."));
		return;
	}

	auto *process = new QProcess(this);
	m_unpacker = process;
	process->setProgram(command.program);
	process->setArguments(command.arguments);
	process->setProcessChannelMode(QProcess::MergedChannels);
	connect(process, &QProcess::errorOccurred, this,
		[this, process](QProcess::ProcessError error) {
			if (error != QProcess::FailedToStart)
				return;
			logWarning(QStringLiteral("cannot start %1: %2")
					   .arg(process->program(),
						process->errorString()));
			process->deleteLater();
			fail(QStringLiteral(
				"The update could not be unpacked on this computer. Nothing was changed."));
		});
	connect(process,
		QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
		this, [this, process](int code, QProcess::ExitStatus status) {
			const QByteArray output = process->readAll();
			process->deleteLater();
			const bool ok = status == QProcess::NormalExit &&
					code == 0;
			if (!ok)
				logWarning(
					QStringLiteral(
						"unpacking the update failed (exit %1): %2")
						.arg(code)
						.arg(QString::fromLocal8Bit(
							     output.right(2000))
							     .trimmed()));
			unpackFinished(ok);
		});
	// A tool stuck on a damaged archive must not keep the updater busy.
	QTimer::singleShot(m_limits.unpackTimeoutMs, process,
			   [process] { process->kill(); });
	process->start();
	// Nothing is ever typed into the tool; a question it asks ends at
	// once instead of waiting for the time-out.
	process->closeWriteChannel();
}

void PluginUpdater::unpackFinished(bool ok)
{
	if (!ok) {
		fail(QStringLiteral(
			"The update could not be unpacked. Nothing was changed."));
		return;
	}
	applyStaged(m_extractDir);
}

void PluginUpdater::applyStaged(const QString &extractDir)
{
	QString root;
	switch (update::inspectUnpacked(extractDir, binaryRelPath(), &root)) {
	case update::PackageProblem::Shape:
		fail(QStringLiteral(
			"The update package was not in the expected shape. Nothing was changed."));
		return;
	case update::PackageProblem::Link:
		fail(QStringLiteral(
			"The update package contained an unexpected link, so it was rejected. Nothing was changed."));
		return;
	case update::PackageProblem::MissingBinary:
		fail(QStringLiteral(
			"The update package did not contain the plugin for this computer. Nothing was changed."));
		return;
	case update::PackageProblem::None:
		break;
	}

	const QDir dir(m_config.downloadDir);
	const update::InstallResult result = update::installTree(
		root, m_config.bundlePath,
		dir.filePath(QLatin1String(kPreviousName)), m_limits.wholeSwap);
	if (!result.ok) {
		logWarning(QStringLiteral("installing the update failed: %1")
				   .arg(result.error));
		fail(QStringLiteral(
			     "The update could not be installed (%1). The current version was left in place.")
			     .arg(result.error));
		return;
	}
	QFile::remove(dir.filePath(QLatin1String(kPackageName)));
	update::removeTree(extractDir);
	m_busy = false;
	setState(
		Installed,
		QStringLiteral(
			"Version %1 is installed. Restart OBS to start using it.")
			.arg(m_info.version));
}

} // namespace quillmarch

#pragma once

#include "http_server.h"

#include <QObject>
#include <QString>

namespace quillmarch::updatesite {

// What the site does wrong, to see how the updater copes.
enum class Misbehaviour {
	None,
	WrongLength,   // packages: a Content-Length larger than the body
	WrongChecksum, // manifests: every package's sha256 altered
	WrongSize,     // manifests: every package's size one byte more
	Truncated,     // packages: half the body, then the connection closes
	Slow,          // everything: answered after `amount` ms
	Oversized,     // packages: `amount` extra bytes after the package
	NotFound,      // packages: 404
	ServerError,   // packages: 500
	Stall,         // everything: never answered
};

// "wrong-length", "slow=2000", ...; false for an unknown name.
bool misbehaviourFromText(const QString &text, Misbehaviour *kind, int *amount);

// The maker's update site as a stand-in on 127.0.0.1: every file below a
// folder is served at its relative path ("downloads/obs/latest.json"), read
// from disk at each request so a release can be rebuilt while it runs.
// Files ending in ".json" are manifests, the rest packages.
class UpdateSite : public QObject {
public:
	explicit UpdateSite(const QString &rootDir, QObject *parent = nullptr);

	bool listen(quint16 port = 0);
	// "http://127.0.0.1:PORT"
	QString baseUrl() const;
	QString errorString() const { return m_server.errorString(); }

	void setMisbehaviour(Misbehaviour kind, int amount = 0);

	// Requests in arrival order, e.g. to see that nothing was downloaded.
	const QList<tools::HttpRequest> &requests() const
	{
		return m_server.requests();
	}
	int requestCount(const QByteArray &pathSuffix) const;

private:
	tools::HttpReply serve(const tools::HttpRequest &request) const;
	tools::HttpReply manifest(QByteArray bytes) const;
	tools::HttpReply package(const QByteArray &bytes) const;

	QString m_root;
	tools::HttpServer m_server;
	Misbehaviour m_kind = Misbehaviour::None;
	int m_amount = 0;
};

} // namespace quillmarch::updatesite

#pragma once

#include <QString>

namespace quillmarch {

// The few things the application object needs from its host. Inside OBS
// these come from libobs; tests hand in a temporary directory instead, so the
// application object builds and runs without OBS.
class AppEnvironment {
public:
	virtual ~AppEnvironment() = default;

	// Full path of a file in the module's configuration directory, or
	// empty when the host has none.
	virtual QString configPath(const QString &file) const = 0;
	// Full path of a file shipped in the module's data directory, or empty
	// when it is not there.
	virtual QString moduleFile(const QString &file) const = 0;
	// The host application's version text, or empty.
	virtual QString hostVersion() const = 0;
	// The account portal. The plug-in uses the address it was built for;
	// tests point it at a simulator.
	virtual QString portalBaseUrl() const;
	// The maker's web site, where the update manifest
	// ("/downloads/obs/latest.json") and the download page ("/download")
	// live. Fixed at build time like the portal.
	virtual QString updateSiteUrl() const;
};

} // namespace quillmarch
